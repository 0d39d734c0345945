#include "ui/AccessibilityOnboardingView.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "services/KeyboardShortcut.h"
#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/Shortcut.h"
#include "ui/Theme.h"

namespace tobble::ui {

namespace {

constexpr int kWidth = 280;

struct StepText {
    const char* icon;
    const char* title;
    const char* enabledText;
    const char* heading;
    const char* description;
};

// Step one where the session lets no program take a global shortcut (Wayland without the
// shortcuts portal): the desktop's own keyboard settings bind the command instead.
constexpr const char* kDesktopShortcutDescription =
    "This desktop does not let apps take a keyboard shortcut of their own. Add one in your "
    "desktop\u2019s keyboard settings that runs the command below.";

const StepText kSteps[3] = {
    {"keyboard", "Keyboard Shortcut", "Ready", "Keyboard Shortcut",
     "Press this shortcut in any app to open Tobble. You can change it in Settings."},
    {"arrow.up.right.circle", "Launch at Login", "Enabled", "Launch at Login",
     "Start Tobble automatically when you log in so your audio routing is always ready."},
    {"arrow.triangle.2.circlepath", "Automatic Updates", "Enabled", "Automatic Updates",
     "Keep Tobble up to date with the latest features and fixes. You can always check manually "
     "from Settings."},
};

PaintedButton* textButton(const QString& text, double size, Weight weight, QColor colour,
                          QWidget* parent) {
    const QFont font = uiFont(size, weight);
    auto* button = new PaintedButton(
        QSize(static_cast<int>(QFontMetricsF(font).horizontalAdvance(text)) + 4, 20),
        [text, font, colour](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            painter.setFont(font);
            painter.setPen(colour);
            painter.drawText(bounds, Qt::AlignCenter, text);
        },
        parent);
    button->setFixedSize(button->sizeHint());
    button->setAccessibleName(text);
    return button;
}

}  // namespace

AccessibilityOnboardingView::AccessibilityOnboardingView(ShellHooks& shell,
                                                         dispatch::Dispatcher& dispatcher,
                                                         std::function<void()> onDismiss,
                                                         QWidget* parent)
    : QWidget(parent),
      shell_(shell),
      dispatcher_(dispatcher),
      onDismiss_(std::move(onDismiss)),
      alive_(std::make_shared<bool>(true)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedWidth(kWidth);
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(0);
    column_->setSizeConstraint(QLayout::SetMinAndMaxSize);
    grantSubscription_ =
        shell_.accessibility.observe([this](bool granted) { grantChanged(granted); });
    rebuild();
}

AccessibilityOnboardingView::~AccessibilityOnboardingView() {
    *alive_ = false;
    if (polling_) shell_.accessibility.stopPolling();
}

QSize AccessibilityOnboardingView::sizeHint() const {
    return {kWidth, column_->sizeHint().height()};
}

StepStatus AccessibilityOnboardingView::stepStatus(int step) const {
    return status_[std::clamp(step, 1, 3) - 1];
}

PaintedButton* AccessibilityOnboardingView::stepHeader(int step) const {
    return headers_[std::clamp(step, 1, 3) - 1];
}

void AccessibilityOnboardingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!polling_) {
        shell_.accessibility.refresh();
        shell_.accessibility.startPolling();
        polling_ = true;
    }
}

void AccessibilityOnboardingView::hideEvent(QHideEvent* event) {
    if (polling_) {
        polling_ = false;
        shell_.accessibility.stopPolling();
    }
    QWidget::hideEvent(event);
}

void AccessibilityOnboardingView::grantChanged(bool granted) {
    if (granted && activeStep_ == 1) {
        status_[0] = StepStatus::enabled;
        std::weak_ptr<bool> alive = alive_;
        dispatcher_.mainQueue().asyncAfter(0.8, [this, alive] {
            if (auto a = alive.lock(); a && *a) advanceTo(2);
        });
    }
    rebuild();
}

void AccessibilityOnboardingView::advanceTo(int step) {
    activeStep_ = std::clamp(step, 1, 4);
    rebuild();
}

void AccessibilityOnboardingView::rebuild() {
    while (QLayoutItem* item = column_->takeAt(0)) {
        if (item->widget()) {
            item->widget()->hide();
            item->widget()->deleteLater();
        }
        delete item;
    }
    headers_[0] = headers_[1] = headers_[2] = nullptr;
    primary_ = secondary_ = confirm_ = back_ = nullptr;
    for (int step = 1; step <= 3; ++step) {
        if (step > 1) column_->addWidget(new Divider(12, this));
        column_->addWidget(step == activeStep_ ? buildContent(step) : buildHeader(step));
    }
    if (activeStep_ == 4) {
        column_->addWidget(new Divider(12, this));
        column_->addWidget(buildFooter());
    }
    updateGeometry();
    if (shell_.preferredSizeChanged) shell_.preferredSizeChanged();
}

QWidget* AccessibilityOnboardingView::buildHeader(int step) {
    const StepText& text = kSteps[step - 1];
    const StepStatus status = status_[step - 1];
    const QString statusText = status == StepStatus::enabled   ? text.enabledText
                               : status == StepStatus::skipped ? "Skipped"
                                                               : "";
    const QColor statusColour =
        status == StepStatus::enabled ? Tobble::success() : Tobble::textTertiary();
    auto* header = new PaintedButton(
        QSize(kWidth, 40),
        [text, statusText, statusColour](QPainter& painter, const QRectF& bounds,
                                         const PaintedButton::State& state) {
            painter.fillRect(bounds, Tobble::inkAt(0.025 * state.hover));
            const QRectF content = bounds.adjusted(16, 12, -16, -12);
            paintIcon(painter, QRectF(content.left(), content.center().y() - 8, 16, 16), text.icon,
                      11, Weight::Medium, Tobble::textSecondary());
            painter.setFont(uiFont(12, Weight::Medium));
            painter.setPen(Tobble::textSecondary());
            painter.drawText(content.adjusted(24, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                             text.title);
            if (!statusText.isEmpty()) {
                painter.setFont(uiFont(11, Weight::Medium));
                painter.setPen(statusColour);
                painter.drawText(content, Qt::AlignRight | Qt::AlignVCenter, statusText);
            }
        },
        this);
    header->setCornerRadius(0);
    header->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    header->setAccessibleName(statusText.isEmpty()
                                  ? QString(text.title)
                                  : QStringLiteral("%1: %2").arg(text.title, statusText));
    // Only steps already passed can be reopened.
    header->setEnabled(activeStep_ > step);
    if (activeStep_ <= step) header->setCursor(Qt::ArrowCursor);
    connect(header, &QAbstractButton::clicked, this, [this, step] {
        if (activeStep_ > step) advanceTo(step);
    });
    headers_[step - 1] = header;
    return header;
}

QWidget* AccessibilityOnboardingView::buildContent(int step) {
    const StepText& text = kSteps[step - 1];
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 24, 0, 0);
    column->setSpacing(0);
    auto* tile = new PaintedButton(
        QSize(52, 52),
        [text](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            fillRounded(painter, bounds, 10, Tobble::accentSoft());
            paintIcon(painter, bounds, text.icon, 22, Weight::Medium, Tobble::accent());
        },
        content);
    tile->setFixedSize(52, 52);
    tile->setFocusPolicy(Qt::NoFocus);
    tile->setAttribute(Qt::WA_TransparentForMouseEvents);
    column->addWidget(tile, 0, Qt::AlignHCenter);
    column->addSpacing(16);
    auto* heading =
        new TextView(text.heading, 15, Weight::Semibold, Tobble::textPrimary(), content);
    column->addWidget(heading, 0, Qt::AlignHCenter);
    column->addSpacing(8);
    const bool granted = shell_.accessibility.isGranted();
    const char* descriptionText =
        step == 1 && !granted ? kDesktopShortcutDescription : text.description;
    auto* description = new TextView(QString::fromUtf8(descriptionText), 12, Weight::Regular,
                                     Tobble::textSecondary(), content);
    description->setWordWrap(kWidth - 32);
    description->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    auto* descriptionBox = new QWidget(content);
    auto* descriptionLayout = new QVBoxLayout(descriptionBox);
    descriptionLayout->setContentsMargins(16, 0, 16, 0);
    descriptionLayout->addWidget(description);
    column->addWidget(descriptionBox);

    if (step == 1) {
        column->addSpacing(12);
        auto* caps = new QHBoxLayout();
        caps->setSpacing(4);
        caps->addStretch(1);
        for (const QString& cap : {shortcut::modifierSymbol(app::modifier::kCommand),
                                   shortcut::modifierSymbol(app::modifier::kShift), QString("T")}) {
            caps->addWidget(new KeyCapView(cap, content));
        }
        caps->addStretch(1);
        column->addLayout(caps);
        column->addSpacing(16);
        const QString statusText = granted ? QStringLiteral("Works in every app")
                                           : QString::fromLatin1(kPanelToggleCommand);
        const QFont font = uiFont(11, Weight::Medium);
        auto* status = new PaintedButton(
            QSize(static_cast<int>(QFontMetricsF(font).horizontalAdvance(statusText)) + 14, 16),
            [granted, statusText, font](QPainter& painter, const QRectF& bounds,
                                        const PaintedButton::State&) {
                painter.setPen(Qt::NoPen);
                painter.setBrush(granted ? Tobble::success() : Tobble::warning());
                painter.drawEllipse(QRectF(bounds.left(), bounds.center().y() - 3, 6, 6));
                painter.setFont(font);
                painter.setPen(granted ? Tobble::success() : Tobble::textTertiary());
                painter.drawText(bounds.adjusted(12, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                                 statusText);
            },
            content);
        status->setFixedSize(status->sizeHint());
        status->setFocusPolicy(Qt::NoFocus);
        status->setAttribute(Qt::WA_TransparentForMouseEvents);
        status->setAccessibleName(statusText);
        column->addWidget(status, 0, Qt::AlignHCenter);
    }
    column->addSpacing(20);

    primaryTitle_ = step == 1   ? (granted ? "Continue" : "Copy Command")
                    : step == 2 ? "Enable"
                                : "Check Automatically";
    secondaryTitle_ = step == 1 ? "Skip for now" : "Not now";
    const QString primaryTitle = primaryTitle_;
    primary_ = new PaintedButton(
        QSize(kWidth - 32, 36),
        [primaryTitle](QPainter& painter, const QRectF& bounds, const PaintedButton::State& state) {
            fillRounded(painter, bounds, 6,
                        state.pressed ? Tobble::accent().darker(115) : Tobble::accent());
            painter.setFont(uiFont(13, Weight::Semibold));
            painter.setPen(Tobble::onAccent());
            painter.drawText(bounds, Qt::AlignCenter, primaryTitle);
        },
        content);
    primary_->setFixedSize(kWidth - 32, 36);
    primary_->setAccessibleName(primaryTitle);
    connect(primary_, &QAbstractButton::clicked, this, [this] { primaryAction(); });
    column->addWidget(primary_, 0, Qt::AlignHCenter);
    column->addSpacing(8);
    secondary_ = textButton(secondaryTitle_, 11, Weight::Medium, Tobble::textTertiary(), content);
    connect(secondary_, &QAbstractButton::clicked, this, [this] { secondaryAction(); });
    column->addWidget(secondary_, 0, Qt::AlignHCenter);
    column->addSpacing(20);
    return content;
}

QWidget* AccessibilityOnboardingView::buildFooter() {
    auto* footer = new QWidget(this);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(16, 12, 16, 12);
    back_ = textButton("Back", 12, Weight::Medium, Tobble::textSecondary(), footer);
    confirm_ = textButton("Confirm", 12, Weight::Semibold, Tobble::accent(), footer);
    connect(back_, &QAbstractButton::clicked, this, [this] { advanceTo(3); });
    connect(confirm_, &QAbstractButton::clicked, this, [this] { applyChoicesAndDismiss(); });
    layout->addWidget(back_);
    layout->addStretch(1);
    layout->addWidget(confirm_);
    return footer;
}

void AccessibilityOnboardingView::primaryAction() {
    switch (activeStep_) {
        case 1:
            // Nothing to wait for: either the shortcut works here, or the user binds the
            // command in the desktop's settings, which Tobble cannot see.
            if (!shell_.accessibility.isGranted() && shell_.copyToClipboard) {
                shell_.copyToClipboard(kPanelToggleCommand);
            }
            status_[0] = StepStatus::enabled;
            advanceTo(2);
            return;
        case 2:
            status_[1] = StepStatus::enabled;
            advanceTo(3);
            return;
        case 3:
            status_[2] = StepStatus::enabled;
            advanceTo(4);
            return;
        default:
            return;
    }
}

void AccessibilityOnboardingView::secondaryAction() {
    if (activeStep_ < 1 || activeStep_ > 3) return;
    status_[activeStep_ - 1] = StepStatus::skipped;
    advanceTo(activeStep_ + 1);
}

void AccessibilityOnboardingView::applyChoicesAndDismiss() {
    // Failures are not shown here: the settings show the login item's real state later.
    if (status_[1] == StepStatus::enabled) {
        (void)shell_.loginItem.registerItem();
    } else {
        const LoginItemStatus current = shell_.loginItem.status();
        if (current == LoginItemStatus::Enabled || current == LoginItemStatus::RequiresApproval) {
            (void)shell_.loginItem.unregisterItem();
        }
    }
    if (shell_.updates.hasUpdater())
        shell_.updates.setAutomaticChecks(status_[2] == StepStatus::enabled);
    if (onDismiss_) onDismiss_();
}

void AccessibilityOnboardingView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(shape, Tobble::surface());
    // A hairline edge, so the surface does not dissolve into a desktop of the same colour.
    painter.strokePath(shape, QPen(Tobble::inkAt(0.16), 1));
}

std::unique_ptr<QWidget> makeOnboardingView(ShellHooks& shell, dispatch::Dispatcher& dispatcher,
                                            std::function<void()> onDismiss, QWidget* parent) {
    return std::make_unique<AccessibilityOnboardingView>(shell, dispatcher, std::move(onDismiss),
                                                         parent);
}

}  // namespace tobble::ui
