#include "shell/TobblePanel.h"

#include <QEvent>
#include <QKeyEvent>
#include <QVBoxLayout>

namespace tobble::shell {

TobblePanel::TobblePanel()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("TobblePanel"));
    setWindowTitle(QStringLiteral("Tobble"));
    setAttribute(Qt::WA_TranslucentBackground);
    // Opening the panel must not take the keyboard from the application the user works in.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility);
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

void TobblePanel::placeCentred(const QRect& area) {
    const QSize size = fittingSize();
    setGeometry(area.x() + (area.width() - size.width()) / 2,
                area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

void TobblePanel::refit() {
    const QSize size = fittingSize();
    if (size == this->size()) return;
    // QRect::center() rounds down; the exact centre keeps repeated resizes from drifting.
    const QRect old = geometry();
    const int centreX2 = 2 * old.x() + old.width();
    const int centreY2 = 2 * old.y() + old.height();
    setGeometry((centreX2 - size.width()) / 2, (centreY2 - size.height()) / 2, size.width(),
                size.height());
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
