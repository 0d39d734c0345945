#include "ui/SettingsView.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "services/AudioClientViewModel.h"
#include "services/KeyboardShortcut.h"
#include "services/VolumeStore.h"
#include "ui/AppRowView.h"
#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/Shortcut.h"
#include "ui/Theme.h"

namespace tobble::ui {

namespace {

constexpr const char* kDefaultVolumeKey = "TobbleDefaultVolume";

PaintedButton* tileButton(const QString& icon, double size, Weight weight, QColor colour,
                          QWidget* parent) {
    auto* button = new PaintedButton(
        QSize(28, 28),
        [icon, size, weight, colour](QPainter& painter, const QRectF& bounds,
                                     const PaintedButton::State&) {
            fillRounded(painter, bounds, 6, Tobble::border());
            paintIcon(painter, bounds, icon, size, weight, colour);
        },
        parent);
    button->setIconStyle(true);
    button->setFixedSize(28, 28);
    return button;
}

// `child` inside the settings' side margins.
QWidget* padded(QWidget* child, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(16, 0, 16, 12);
    layout->addWidget(child);
    return box;
}

QWidget* iconTile(const QString& icon, QWidget* parent) {
    auto* tile = new PaintedButton(
        QSize(26, 26),
        [icon](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            fillRounded(painter, bounds, 5, Tobble::accentSoft());
            paintIcon(painter, bounds, icon, 12, Weight::Medium, Tobble::accent());
        },
        parent);
    tile->setFixedSize(26, 26);
    tile->setFocusPolicy(Qt::NoFocus);
    tile->setAttribute(Qt::WA_TransparentForMouseEvents);
    return tile;
}

// A setting that is switched on or off: its title with a note below, the switch at the end.
struct ToggleRow {
    QWidget* content;
    TextView* note;
    Toggle* toggle;
};
ToggleRow makeToggleRow(const char* title, const QString& noteText) {
    auto* content = new QWidget();
    auto* layout = new QHBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    texts->addWidget(new TextView(title, 13, Weight::Medium, Tobble::textPrimary(), content));
    auto* note = new TextView(noteText, 11, Weight::Regular, Tobble::textTertiary(), content);
    note->setWordWrap(200);
    texts->addWidget(note);
    layout->addLayout(texts, 1);
    auto* toggle = new Toggle(content);
    toggle->setAccessibleName(title);
    layout->addWidget(toggle);
    return {content, note, toggle};
}

}  // namespace

QString SettingsView::statusText(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::NotRegistered:
            return "Disabled";
        case LoginItemStatus::Enabled:
            return "Enabled";
        case LoginItemStatus::RequiresApproval:
            return "Waiting for the desktop to allow it";
        case LoginItemStatus::NotFound:
            // A build tree cannot start at login: the autostart entry must name a program that
            // stays where it is.
            return QString::fromUtf8(
                "Needs an installed Tobble: install the Debian package, or run "
                "\u201ccmake --install\u201d, then turn this on");
        case LoginItemStatus::Unknown:
            break;
    }
    return "Unknown status";
}

QColor SettingsView::statusColor(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::Enabled:
            return Tobble::success();
        case LoginItemStatus::RequiresApproval:
            return Tobble::warning();
        default:
            return Tobble::textTertiary();
    }
}

SettingsView::SettingsView(PanelContext& context, std::function<void()> onBack, QWidget* parent)
    : QWidget(parent),
      context_(context),
      onBack_(std::move(onBack)),
      defaults_(context.environment.defaults) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    setFixedWidth(320);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 0, 4, 4);
    column->setSpacing(0);

    // Header
    auto* header = new QWidget(this);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(8, 12, 8, 12);
    headerLayout->setSpacing(8);
    backButton_ = tileButton("chevron.left", 12, Weight::Semibold, Tobble::textSecondary(), header);
    backButton_->setToolTip("Back");
    backButton_->setAccessibleName("Back");
    connect(backButton_, &QAbstractButton::clicked, this, [this] {
        if (onBack_) onBack_();
    });
    headerLayout->addWidget(backButton_);
    headerLayout->addWidget(
        new TextView("Settings", 14, Weight::Semibold, Tobble::textPrimary(), header));
    headerLayout->addStretch(1);
    column->addWidget(header);
    column->addWidget(new Divider(0, this));

    // Sections. The panel grows with them up to the hidden apps' list, which scrolls past a few
    // lines: a user may hide any number of apps.
    auto* sections = new QWidget(this);
    auto* sectionsLayout = new QVBoxLayout(sections);
    sectionsLayout->setContentsMargins(0, 0, 0, 0);
    sectionsLayout->setSpacing(0);
    sectionsLayout->addWidget(buildDefaultVolume(sections));
    sectionsLayout->addWidget(new Divider(0, sections));
    sectionsLayout->addWidget(buildBoostRow(sections));
    sectionsLayout->addWidget(new Divider(0, sections));
    sectionsLayout->addWidget(buildShortcutRow(sections));
    sectionsLayout->addWidget(new Divider(0, sections));
    sectionsLayout->addWidget(buildLaunchRow(sections));
    hiddenDivider_ = new Divider(0, sections);
    sectionsLayout->addWidget(hiddenDivider_);
    sectionsLayout->addWidget(buildHiddenApps(sections));
    sectionsLayout->addSpacing(4);
    column->addWidget(sections);

    // Error row
    errorSection_ = new QWidget(this);
    auto* errorColumn = new QVBoxLayout(errorSection_);
    errorColumn->setContentsMargins(0, 0, 0, 0);
    errorColumn->setSpacing(0);
    errorColumn->addWidget(new Divider(0, errorSection_));
    auto* errorRow = new QWidget(errorSection_);
    auto* errorLayout = new QHBoxLayout(errorRow);
    errorLayout->setContentsMargins(8, 12, 8, 12);
    errorLayout->setSpacing(6);
    auto* errorIcon = new PaintedButton(
        QSize(16, 16),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, bounds, "exclamationmark.circle.fill", 12, Weight::Medium,
                      Tobble::destructive());
        },
        errorRow);
    errorIcon->setFixedSize(16, 16);
    errorIcon->setFocusPolicy(Qt::NoFocus);
    errorIcon->setAttribute(Qt::WA_TransparentForMouseEvents);
    errorText_ = new TextView({}, 11, Weight::Regular, Tobble::destructive(), errorRow);
    errorText_->setWordWrap(320 - 8 - 16 - 16 - 6 - 8);
    errorLayout->addWidget(errorIcon, 0, Qt::AlignTop);
    errorLayout->addWidget(errorText_, 1);
    errorColumn->addWidget(errorRow);
    column->addWidget(errorSection_);
    errorSection_->hide();

    column->addWidget(new Divider(0, this));
    column->addWidget(buildFooter());

    hiddenObservation_ = context_.hiddenApps.observe(
        [this](const app::HiddenAppsStore::HiddenApps&) { rebuildHiddenApps(); });
    accessibilitySubscription_ =
        context_.shell.accessibility.observe([this](bool) { renderFooter(); });
    updateSubscription_ =
        context_.shell.updates.observeUpdateAvailable([this](bool) { renderFooter(); });
    rebuildHiddenApps();
    refreshStatus();
    renderFooter();
}

SettingsView::~SettingsView() {
    stopRecorder();
    if (polling_) context_.shell.accessibility.stopPolling();
    delete popover_;
}

QSize SettingsView::sizeHint() const { return {320, layout()->sizeHint().height()}; }

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshStatus();
    if (!polling_) {
        polling_ = true;
        context_.shell.accessibility.startPolling();
    }
    renderFooter();
}

void SettingsView::hideEvent(QHideEvent* event) {
    // Leaving the screen ends recording without saving anything. The caps are redrawn later:
    // a hide can come from the panel being destroyed, when no widget may be made.
    if (isRecordingShortcut()) {
        stopRecorder();
        QMetaObject::invokeMethod(
            this, [this] { rebuildShortcut(); }, Qt::QueuedConnection);
    }
    if (polling_) {
        polling_ = false;
        context_.shell.accessibility.stopPolling();
    }
    QWidget::hideEvent(event);
}

QWidget* SettingsView::settingsRow(const QString& icon, QWidget* content, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 12, 8, 12);
    layout->setSpacing(10);
    layout->addWidget(iconTile(icon, row));
    content->setParent(row);
    layout->addWidget(content, 1);
    return row;
}

// ---- default volume

// What new applications really get, however the value was stored.
double SettingsView::defaultVolume() const { return app::VolumeStore::defaultVolume(defaults_); }

void SettingsView::setDefaultVolume(double volume) {
    defaults_.setNumber(kDefaultVolumeKey, volume);
    volumeSlider_->setValueF(volume);
    volumePercent_->setText(percentText(volume));
}

QWidget* SettingsView::buildDefaultVolume(QWidget* parent) {
    auto* section = new QWidget(parent);
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* title = new TextView("Default volume", 13, Weight::Medium, Tobble::textPrimary());
    column->addWidget(settingsRow("speaker.wave.2", title, section));
    auto* sliderRow = new QWidget(section);
    auto* sliderLayout = new QHBoxLayout(sliderRow);
    sliderLayout->setContentsMargins(8, 0, 8, 12);
    sliderLayout->setSpacing(8);
    volumeSlider_ = new Slider(sliderRow);
    volumeSlider_->setMaximumWidth(QWIDGETSIZE_MAX);
    volumeSlider_->setAccessibleName("Default volume");
    volumePercent_ = new TextView({}, 11, Weight::Medium, Tobble::textSecondary(), sliderRow);
    volumePercent_->setFixedWidth(32);
    volumePercent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    sliderLayout->addWidget(volumeSlider_, 1);
    sliderLayout->addWidget(volumePercent_);
    column->addWidget(sliderRow);
    const double volume = defaultVolume();
    volumeSlider_->setValueF(volume);
    volumePercent_->setText(percentText(volume));
    connect(volumeSlider_, &Slider::userValueChanged, this, [this](double v) {
        defaults_.setNumber(kDefaultVolumeKey, v);
        volumePercent_->setText(percentText(v));
    });
    return section;
}

// ---- volume above 100 %

QWidget* SettingsView::buildBoostRow(QWidget* parent) {
    const auto row = makeToggleRow("Allow volume above 100%", "Application sliders go up to 200%");
    boostToggle_ = row.toggle;
    boostToggle_->setChecked(context_.viewModel.volumeBoostAllowed());
    connect(boostToggle_, &QAbstractButton::clicked, this,
            [this](bool on) { context_.viewModel.setVolumeBoostAllowed(on); });
    return settingsRow("speaker.wave.2", row.content, parent);
}

// ---- shortcut

QWidget* SettingsView::buildShortcutRow(QWidget* parent) {
    auto* content = new QWidget();
    auto* layout = new QHBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(
        new TextView("Open Tobble", 13, Weight::Medium, Tobble::textPrimary(), content));
    layout->addStretch(1);
    shortcutHost_ = new QWidget(content);
    shortcutCaps_ = new QHBoxLayout(shortcutHost_);
    shortcutCaps_->setContentsMargins(0, 0, 0, 0);
    shortcutCaps_->setSpacing(4);
    layout->addWidget(shortcutHost_);
    auto* section = new QWidget(parent);
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(settingsRow("keyboard", content, section));

    // Under the row: why the shortcut does not work, when it does not.
    constexpr int kNoteWidth = 320 - 8 - 16 - 16;
    shortcutNote_ = new TextView({}, 11, Weight::Regular, Tobble::warning(), section);
    shortcutNote_->setWordWrap(kNoteWidth);
    column->addWidget(padded(shortcutNote_, section));
    shortcutHelp_ = new QWidget(section);
    auto* help = new QVBoxLayout(shortcutHelp_);
    help->setContentsMargins(16, 0, 16, 12);
    help->setSpacing(6);
    auto* explanation = new TextView(
        QString::fromUtf8("This desktop does not let apps take a keyboard shortcut of their own. "
                          "Add one in your desktop\u2019s keyboard settings that runs:"),
        11, Weight::Regular, Tobble::textSecondary(), shortcutHelp_);
    explanation->setWordWrap(kNoteWidth);
    help->addWidget(explanation);
    auto* commandLine = new QHBoxLayout();
    commandLine->setSpacing(8);
    auto* command =
        new TextView(kPanelToggleCommand, 11, Weight::Medium, Tobble::textPrimary(), shortcutHelp_);
    command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    commandLine->addWidget(command, 1);
    copyCommand_ = new PaintedButton(
        QSize(96, 22),
        [this](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            fillRounded(painter, bounds, 5, Tobble::accentSoft());
            painter.setFont(uiFont(11, Weight::Medium));
            painter.setPen(Tobble::accent());
            painter.drawText(bounds, Qt::AlignCenter, commandCopied_ ? "Copied" : "Copy command");
        },
        shortcutHelp_);
    copyCommand_->setFixedSize(96, 22);
    copyCommand_->setAccessibleName("Copy command");
    connect(copyCommand_, &QAbstractButton::clicked, this, [this] {
        if (context_.shell.copyToClipboard) context_.shell.copyToClipboard(kPanelToggleCommand);
        commandCopied_ = true;
        copyCommand_->update();
    });
    commandLine->addWidget(copyCommand_);
    help->addLayout(commandLine);
    column->addWidget(shortcutHelp_);
    rebuildShortcut();
    renderShortcutNote();
    return section;
}

void SettingsView::renderShortcutNote() {
    if (!shortcutNote_) return;
    const bool possible = context_.shell.accessibility.isGranted();
    shortcutHelp_->setVisible(!possible);
    std::optional<std::string> problem = refusal_;
    if (!problem && possible && context_.shell.shortcutProblem) {
        problem = context_.shell.shortcutProblem();
    }
    shortcutNote_->setText(problem ? QString::fromStdString(*problem) : QString());
    shortcutNote_->parentWidget()->setVisible(problem.has_value());
    updateGeometry();
}

QStringList SettingsView::shownShortcutCaps() const {
    if (isRecordingShortcut()) return {};
    // What the shell binds, so a stored value it cannot use shows as the default it falls back to.
    const auto stored = app::KeyboardShortcut::fromDefaults(defaults_);
    return shortcut::symbols(stored.modifiers, stored.key);
}

void SettingsView::rebuildShortcut() {
    while (QLayoutItem* item = shortcutCaps_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (isRecordingShortcut()) {
        auto* prompt = new TextView(QString::fromUtf8("Press shortcut\u2026"), 11, Weight::Medium,
                                    Tobble::accent(), shortcutHost_);
        prompt->setFixedHeight(28);
        shortcutCaps_->addWidget(prompt);
        return;
    }
    const QStringList caps = shownShortcutCaps();
    int width = 0;
    for (const auto& cap : caps) width += KeyCapView(cap).sizeHint().width() + 4;
    auto* button = new PaintedButton(
        QSize(std::max(0, width - 4), 28),
        [caps](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            double x = bounds.left();
            for (const auto& cap : caps) {
                KeyCapView view(cap);
                const QSize size = view.sizeHint();
                painter.save();
                painter.translate(x, bounds.top());
                view.render(&painter, QPoint(), QRegion(), QWidget::RenderFlags());
                painter.restore();
                x += size.width() + 4;
            }
        },
        shortcutHost_);
    button->setFixedSize(button->sizeHint());
    button->setAccessibleName(
        QStringLiteral("Shortcut %1, press to record a new one").arg(caps.join('+')));
    connect(button, &QAbstractButton::clicked, this, [this] { startRecordingShortcut(); });
    shortcutCaps_->addWidget(button);
}

void SettingsView::startRecordingShortcut() {
    if (recorder_) return;
    auto& queue = context_.environment.dispatcher.mainQueue();
    recorder_ = std::make_unique<ShortcutRecorder>(
        [&queue](std::function<void()> work) { queue.async(std::move(work)); },
        [this](const ShortcutRecorder::Outcome& outcome) {
            finishRecording(outcome.accepted, outcome.modifiers, outcome.key);
        });
    rebuildShortcut();
}

void SettingsView::finishRecording(bool accepted, int64_t modifiers, const std::string& key) {
    refusal_.reset();
    // A key this keyboard has no code for could be stored but never bound: refuse it now.
    if (accepted && context_.shell.canBindShortcut &&
        !context_.shell.canBindShortcut(modifiers, key)) {
        refusal_ = app::KeyboardShortcut{modifiers, key}.displayText() +
                   " cannot be used as a shortcut on this keyboard";
        accepted = false;
    }
    if (accepted) {
        app::KeyboardShortcut{modifiers, key}.store(defaults_);
    }
    stopRecorder();
    rebuildShortcut();
    if (accepted && context_.shell.shortcutDidChange) context_.shell.shortcutDidChange();
    // The shell has re-bound the shortcut by now, and knows whether it worked.
    renderShortcutNote();
}

void SettingsView::stopRecorder() { recorder_.reset(); }

// ---- launch at login

QWidget* SettingsView::buildLaunchRow(QWidget* parent) {
    const auto row = makeToggleRow("Launch at login", {});
    statusLabel_ = row.note;
    toggle_ = row.toggle;
    connect(toggle_, &QAbstractButton::clicked, this, [this](bool on) { setLaunchAtLogin(on); });
    return settingsRow("arrow.up.right.circle", row.content, parent);
}

void SettingsView::refreshStatus() {
    status_ = context_.shell.loginItem.status();
    launchAtLoginEnabled_ =
        status_ == LoginItemStatus::Enabled || status_ == LoginItemStatus::RequiresApproval;
    renderStatus();
}

void SettingsView::setLaunchAtLogin(bool on) {
    auto failure =
        on ? context_.shell.loginItem.registerItem() : context_.shell.loginItem.unregisterItem();
    errorMessage_ = std::move(failure);
    refreshStatus();
}

void SettingsView::renderStatus() {
    toggle_->setChecked(launchAtLoginEnabled_);
    statusLabel_->setText(statusText(status_));
    statusLabel_->setColor(statusColor(status_));
    errorSection_->setVisible(errorMessage_.has_value());
    errorText_->setText(errorMessage_ ? QString::fromStdString(*errorMessage_) : QString());
    updateGeometry();
}

// ---- hidden apps

QWidget* SettingsView::buildHiddenApps(QWidget* parent) {
    hiddenSection_ = new QWidget(parent);
    auto* column = new QVBoxLayout(hiddenSection_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    hiddenHeader_ = new PaintedButton(QSize(312, 50), {}, hiddenSection_);
    hiddenHeader_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    hiddenHeader_->setPainter([this](QPainter& painter, const QRectF& bounds,
                                     const PaintedButton::State&) {
        const QRectF content = bounds.adjusted(8, 12, -8, -12);
        const QRectF tile(content.left(), content.center().y() - 13, 26, 26);
        fillRounded(painter, tile, 5, Tobble::accentSoft());
        paintIcon(painter, tile, "eye", 12, Weight::Medium, Tobble::accent());
        painter.setFont(uiFont(13, Weight::Medium));
        painter.setPen(Tobble::textPrimary());
        painter.drawText(QRectF(tile.right() + 10, content.top(), 150, content.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, "Hidden apps");
        const QRectF chevron(content.right() - 28, content.center().y() - 14, 28, 28);
        paintIcon(painter, chevron, showHiddenApps_ ? "chevron.down" : "chevron.right", 9,
                  Weight::Semibold, Tobble::textSecondary());
        painter.setFont(uiFont(12, Weight::Regular));
        painter.setPen(Tobble::textTertiary());
        painter.drawText(QRectF(chevron.left() - 10 - 60, content.top(), 60, content.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(hiddenLineIDs_.size()));
    });
    connect(hiddenHeader_, &QAbstractButton::clicked, this,
            [this] { setShowHiddenApps(!showHiddenApps_); });
    column->addWidget(hiddenHeader_);
    hiddenScroll_ = new QScrollArea(hiddenSection_);
    hiddenScroll_->setFrameShape(QFrame::NoFrame);
    hiddenScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    hiddenScroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    hiddenScroll_->setWidgetResizable(true);
    hiddenScroll_->setFocusPolicy(Qt::NoFocus);
    hiddenScroll_->setStyleSheet(
        "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }");
    hiddenList_ = new QWidget();
    hiddenListLayout_ = new QVBoxLayout(hiddenList_);
    hiddenListLayout_->setContentsMargins(0, 0, 0, 0);
    hiddenListLayout_->setSpacing(0);
    hiddenScroll_->setWidget(hiddenList_);
    column->addWidget(hiddenScroll_);
    return hiddenSection_;
}

bool SettingsView::isHiddenAppsSectionShown() const { return !hiddenSection_->isHidden(); }

void SettingsView::setShowHiddenApps(bool show) {
    showHiddenApps_ = show;
    hiddenScroll_->setVisible(show);
    hiddenList_->adjustSize();
    hiddenScroll_->setFixedHeight(
        std::min(hiddenListLayout_->sizeHint().height(), kHiddenListMaxHeight));
    hiddenHeader_->update();
    hiddenHeader_->setExpanded(show);
    hiddenHeader_->setAccessibleName(QStringLiteral("Hidden apps: %1").arg(hiddenLineIDs_.size()));
    updateGeometry();
}

void SettingsView::showHiddenApp(const std::string& bundleID) {
    context_.hiddenApps.unhide(bundleID);
    context_.hiddenApps.persist();
}

void SettingsView::rebuildHiddenApps() {
    while (QLayoutItem* item = hiddenListLayout_->takeAt(0)) {
        if (item->widget()) item->widget()->deleteLater();
        delete item;
    }
    const auto apps = context_.hiddenApps.hiddenApps();
    std::vector<std::pair<std::string, std::string>> byName;  // (name, bundle id)
    for (const auto& [id, name] : apps) byName.emplace_back(name, id);
    std::sort(byName.begin(), byName.end());
    hiddenLineIDs_.clear();
    for (const auto& [name, id] : byName) {
        hiddenLineIDs_.push_back(id);
        auto* line = new QWidget(hiddenList_);
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(8, 8, 8, 8);
        layout->setSpacing(8);
        layout->addWidget(new TextView(QString::fromStdString(name), 12, Weight::Regular,
                                       Tobble::textSecondary(), line),
                          1);
        auto* show = tileButton("eye", 11, Weight::Medium, Tobble::accent(), line);
        const QString tooltip = QStringLiteral("Show ") + QString::fromStdString(name);
        show->setToolTip(tooltip);
        show->setAccessibleName(tooltip);
        const std::string bundleID = id;
        connect(show, &QAbstractButton::clicked, this,
                [this, bundleID] { showHiddenApp(bundleID); });
        layout->addWidget(show);
        hiddenListLayout_->addWidget(line);
    }
    const bool any = !apps.empty();
    hiddenSection_->setVisible(any);
    hiddenDivider_->setVisible(any);
    setShowHiddenApps(showHiddenApps_);
}

// ---- footer

QWidget* SettingsView::buildFooter() {
    auto* footer = new QWidget(this);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(8, 10, 8, 10);
    layout->setSpacing(8);
    infoButton_ = new PaintedButton(
        QSize(24, 24),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, bounds, "questionmark.circle", 13, Weight::Medium,
                      Tobble::textTertiary());
        },
        footer);
    infoButton_->setFixedSize(24, 24);
    infoButton_->setAccessibleName("About Tobble");
    connect(infoButton_, &QAbstractButton::clicked, this,
            [this] { setInfoPopoverShown(!(popover_ && popover_->isVisible())); });
    layout->addWidget(infoButton_);
    layout->addStretch(1);

    // Where no tray menu offers it, this is the way to end the program.
    quitButton_ = new PaintedButton(
        QSize(24, 24),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, bounds, "power", 12, Weight::Medium, Tobble::textTertiary());
        },
        footer);
    quitButton_->setFixedSize(24, 24);
    quitButton_->setToolTip("Quit Tobble");
    quitButton_->setAccessibleName("Quit Tobble");
    connect(quitButton_, &QAbstractButton::clicked, this, [this] {
        if (context_.shell.quit) context_.shell.quit();
    });
    layout->addWidget(quitButton_);

    updateButton_ = new PaintedButton(QSize(120, 20), {}, footer);
    connect(updateButton_, &QAbstractButton::clicked, this, [this] {
        if (context_.shell.updates.hasUpdater()) context_.shell.updates.checkForUpdates();
    });
    layout->addWidget(updateButton_);
    return footer;
}

bool SettingsView::isShortcutHelpShown() const { return !shortcutHelp_->isHidden(); }

QString SettingsView::shortcutNoteText() const {
    return shortcutNote_->parentWidget()->isHidden() ? QString() : shortcutNote_->text();
}

QString SettingsView::updateButtonText() const {
    return context_.shell.updates.updateAvailable() ? "Update available" : "Check for updates";
}

void SettingsView::renderFooter() {
    renderShortcutNote();
    const bool available = context_.shell.updates.updateAvailable();
    const QString text = updateButtonText();
    const QFont font = uiFont(11, Weight::Medium);
    const int width =
        static_cast<int>(QFontMetricsF(font).horizontalAdvance(text)) + (available ? 10 : 18);
    updateButton_->setFixedSize(width, 20);
    updateButton_->setAccessibleName(text);
    updateButton_->setPainter([available, text, font](QPainter& painter, const QRectF& bounds,
                                                      const PaintedButton::State&) {
        const QColor colour = available ? Tobble::success() : Tobble::accent();
        double x = bounds.left();
        if (available) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawEllipse(QRectF(x, bounds.center().y() - 2.5, 5, 5));
            x += 9;
        } else {
            paintIcon(painter, QRectF(x, bounds.center().y() - 7, 14, 14),
                      "arrow.triangle.2.circlepath", 10, Weight::Medium, colour);
            x += 18;
        }
        painter.setFont(font);
        painter.setPen(colour);
        painter.drawText(QRectF(x, bounds.top(), bounds.right() - x, bounds.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, text);
    });
}

// ---- information popover

QWidget* SettingsView::buildPopover() {
    auto* popover = new QWidget(this, Qt::Popup | Qt::FramelessWindowHint);
    popover->setAttribute(Qt::WA_TranslucentBackground, false);
    popover->setAutoFillBackground(true);
    QPalette palette = popover->palette();
    palette.setColor(QPalette::Window, Tobble::surface());
    popover->setPalette(palette);
    popover->setFixedWidth(220);
    auto* column = new QVBoxLayout(popover);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    auto* top = new QHBoxLayout();
    const auto orUnknown = [](const std::string& s) {
        return s.empty() ? QStringLiteral("?") : QString::fromStdString(s);
    };
    top->addWidget(new TextView("Tobble " + orUnknown(context_.shell.appVersion), 12,
                                Weight::Medium, Tobble::textPrimary(), popover));
    top->addStretch(1);
    top->addWidget(new TextView("build " + orUnknown(context_.shell.buildNumber), 11,
                                Weight::Regular, Tobble::textTertiary(), popover));
    column->addLayout(top);
    column->addWidget(new Divider(0, popover));
    const auto link = [this, popover](const QString& title, const QString& detail,
                                      const QString& icon, const QString& url) {
        auto* button = new PaintedButton(
            QSize(192, 30),
            [title, detail, icon](QPainter& painter, const QRectF& bounds,
                                  const PaintedButton::State&) {
                paintIcon(painter, QRectF(bounds.left(), bounds.center().y() - 7, 14, 14), icon, 11,
                          Weight::Medium, Tobble::accent());
                const double x = bounds.left() + 22;
                painter.setFont(uiFont(11, Weight::Medium));
                painter.setPen(Tobble::textPrimary());
                painter.drawText(
                    QRectF(x, bounds.top(), bounds.width() - 40, bounds.height() / 2 + 1),
                    Qt::AlignLeft | Qt::AlignBottom, title);
                painter.setFont(uiFont(10, Weight::Regular));
                painter.setPen(Tobble::textTertiary());
                painter.drawText(
                    QRectF(x, bounds.center().y() + 1, bounds.width() - 40, bounds.height() / 2),
                    Qt::AlignLeft | Qt::AlignTop, detail);
                paintIcon(painter, QRectF(bounds.right() - 12, bounds.center().y() - 6, 12, 12),
                          "arrow.up.right", 9, Weight::Semibold, Tobble::textTertiary());
            },
            popover);
        button->setAccessibleName(title);
        connect(button, &QAbstractButton::clicked, this, [this, url] {
            if (context_.shell.openURL) context_.shell.openURL(url.toStdString());
        });
        return button;
    };
    column->addWidget(link("Website", QUrl(kWebsiteURL).host(), "globe", kWebsiteURL));
    column->addWidget(
        link("See documentation", "Guides and troubleshooting", "book", kDocumentationURL));
    return popover;
}

void SettingsView::setInfoPopoverShown(bool shown) {
    if (!shown) {
        if (popover_) popover_->hide();
        return;
    }
    if (!popover_) popover_ = buildPopover();
    popover_->adjustSize();
    const QPoint anchor = infoButton_->mapToGlobal(QPoint(0, 0));
    popover_->move(anchor.x(), anchor.y() - popover_->height() - 6);
    popover_->show();
}

}  // namespace tobble::ui
