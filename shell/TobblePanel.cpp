#include "shell/TobblePanel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "ui/Theme.h"

namespace tobble::shell {

namespace {
constexpr Qt::WindowFlags kFloating = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
}

TobblePanel::TobblePanel() : QWidget(nullptr, kFloating) {
    setObjectName(QStringLiteral("TobblePanel"));
    setWindowTitle(QStringLiteral("Tobble"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility);
    setFocusPolicy(Qt::StrongFocus);
    // A view change can destroy the focused control (a picked device, a hidden app): the
    // keyboard then goes on from the first control instead of nowhere.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && now != this) return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                QWidget* focus = QApplication::focusWidget();
                if (isVisible() && isActiveWindow() && (focus == nullptr || focus == this)) {
                    focusFirstControl();
                }
            },
            Qt::QueuedConnection);
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

TobblePanel::~TobblePanel() { clearContent(); }

void TobblePanel::setContent(std::unique_ptr<QWidget> content) {
    clearContent();
    if (!content) return;
    content_ = content.release();
    content_->setParent(this);
    content_->installEventFilter(this);
    layout()->addWidget(content_);
    content_->show();
    refit();
}

void TobblePanel::clearContent() {
    if (!content_) return;
    QWidget* old = content_;
    content_ = nullptr;
    layout()->removeWidget(old);
    delete old;
}

QSize TobblePanel::fittingSize() const {
    if (!content_) return QSize(1, 1);
    const QSize hint = content_->sizeHint().expandedTo(content_->minimumSizeHint());
    return hint.isValid() ? hint.expandedTo(QSize(1, 1)) : QSize(1, 1);
}

QSize TobblePanel::cappedSize() const {
    const QSize size = fittingSize();
    return {size.width(), std::min(size.height(), maximumHeight_)};
}

void TobblePanel::placeCentred(const QRect& area) {
    maximumHeight_ = std::max(1, area.height());
    const QSize size = cappedSize();
    setGeometry(area.x() + (area.width() - size.width()) / 2,
                area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

void TobblePanel::refit() {
    const QSize size = cappedSize();
    if (size == this->size()) return;
    // QRect::center() rounds down; the exact centre keeps repeated resizes from drifting.
    const QRect old = geometry();
    const int centreX2 = 2 * old.x() + old.width();
    const int centreY2 = 2 * old.y() + old.height();
    setGeometry((centreX2 - size.width()) / 2, (centreY2 - size.height()) / 2, size.width(),
                size.height());
}

void TobblePanel::setWindowed(bool windowed) {
    if (windowed == windowed_) return;
    windowed_ = windowed;
    const bool wasVisible = isVisible();
    setWindowFlags(windowed ? Qt::Window : kFloating);
    // A framed window has square corners: the content's rounded surface sits on an opaque one.
    setAttribute(Qt::WA_TranslucentBackground, !windowed);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility, !windowed);
    setAutoFillBackground(windowed);
    if (wasVisible) show();
}

void TobblePanel::paintEvent(QPaintEvent*) {
    // A framed window is opaque: its corners show the surface, not whatever was there before.
    if (!windowed_) return;
    QPainter painter(this);
    painter.fillRect(rect(), ui::Tobble::surface());
}

void TobblePanel::closeEvent(QCloseEvent* event) {
    // The window manager's close button hides the panel; the program goes on in the background.
    event->ignore();
    if (onClose) onClose();
}

void TobblePanel::takeKeyboard() {
    activateWindow();
    raise();
    focusFirstControl();
    // Until the window manager activates the panel, the focus given above is only remembered,
    // and arrives as the window's focus, not the keyboard's: the control would show no ring.
    // It is given again, as from the keyboard, once the panel is active.
    focusOnActivation_ = !isActiveWindow();
}

QList<QWidget*> TobblePanel::controlsInVisualOrder() const {
    QList<QWidget*> controls;
    if (!content_) return controls;
    for (QWidget* widget : content_->findChildren<QWidget*>()) {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled() &&
            widget->isVisibleTo(this) && !widget->isWindow()) {
            controls.push_back(widget);
        }
    }
    // By the vertical centre; controls whose centres lie within a few pixels of each other
    // are one line of the panel and read left to right.
    const auto centreY = [this](QWidget* w) {
        return w->mapTo(this, QPoint(0, w->height() / 2)).y();
    };
    const auto left = [this](QWidget* w) { return w->mapTo(this, QPoint(0, 0)).x(); };
    std::stable_sort(controls.begin(), controls.end(),
                     [&](QWidget* a, QWidget* b) { return centreY(a) < centreY(b); });
    constexpr int kSameLine = 6;
    for (qsizetype start = 0; start < controls.size();) {
        qsizetype end = start + 1;
        while (end < controls.size() &&
               centreY(controls[end]) - centreY(controls[start]) <= kSameLine) {
            ++end;
        }
        std::stable_sort(controls.begin() + start, controls.begin() + end,
                         [&](QWidget* a, QWidget* b) { return left(a) < left(b); });
        start = end;
    }
    return controls;
}

void TobblePanel::focusFirstControl() {
    const auto controls = controlsInVisualOrder();
    if (controls.isEmpty()) {
        setFocus(Qt::ActiveWindowFocusReason);
        return;
    }
    controls.front()->setFocus(Qt::TabFocusReason);
}

bool TobblePanel::focusNextPrevChild(bool next) {
    const auto controls = controlsInVisualOrder();
    if (controls.isEmpty()) return false;
    const qsizetype current = controls.indexOf(QApplication::focusWidget());
    qsizetype target = 0;
    if (current < 0) {
        target = next ? 0 : controls.size() - 1;
    } else {
        target = (current + (next ? 1 : controls.size() - 1)) % controls.size();
    }
    QWidget* control = controls[target];
    control->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    // A control inside a scrolled list is brought into view.
    for (QWidget* up = control->parentWidget(); up && up != this; up = up->parentWidget()) {
        if (auto* scroll = qobject_cast<QScrollArea*>(up)) scroll->ensureWidgetVisible(control);
    }
    return true;
}

void TobblePanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && onClose) {
        onClose();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TobblePanel::eventFilter(QObject* watched, QEvent* event) {
    // Rows came or went: the content's layout asks to be redone. Refit once it has been.
    if (watched == content_ && event->type() == QEvent::LayoutRequest) scheduleRefit();
    return QWidget::eventFilter(watched, event);
}

bool TobblePanel::event(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) scheduleRefit();
    // Said because a compositor may refuse the panel the keyboard; then it stays until closed.
    if (event->type() == QEvent::WindowActivate && std::exchange(focusOnActivation_, false)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                QWidget* focused = QApplication::focusWidget();
                const auto controls = controlsInVisualOrder();
                if (!focused || controls.isEmpty() || focused != controls.front()) return;
                focused->clearFocus();
                focused->setFocus(Qt::TabFocusReason);
            },
            Qt::QueuedConnection);
    }
    if (event->type() == QEvent::WindowActivate && closesOnDeactivation_) {
        logger_.info("panel has the keyboard; it closes when another window takes it");
    }
    if (event->type() == QEvent::WindowDeactivate && closesOnDeactivation_ && isVisible() &&
        onClose) {
        // Not from inside the event: closing destroys the content.
        QMetaObject::invokeMethod(
            this,
            [this] {
                // A menu of the panel's own is open: the panel is still in use.
                if (QApplication::activePopupWidget()) return;
                if (isVisible() && QApplication::activeWindow() != this && onClose) onClose();
            },
            Qt::QueuedConnection);
    }
    return QWidget::event(event);
}

void TobblePanel::scheduleRefit() {
    if (refitScheduled_) return;
    refitScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refitScheduled_ = false;
            refit();
        },
        Qt::QueuedConnection);
}

}  // namespace tobble::shell
