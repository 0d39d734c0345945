#include "ui/AppIconView.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>

#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/Theme.h"

namespace tobble::ui {

AppIconView::AppIconView(QWidget* parent) : QWidget(parent), opacity_(1.0, [this] { update(); }) {
    setFixedSize(24, 24);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void AppIconView::setIcon(const system::IconHandle& icon) {
    if (icon == icon_ && (!image_.isNull() || icon.kind == system::IconHandle::Kind::None)) return;
    icon_ = icon;
    image_ = {};
    // Loaded at 2× so the icon stays sharp on high-density screens and in 2× snapshots.
    switch (icon.kind) {
        case system::IconHandle::Kind::FilePath:
            image_.load(QString::fromStdString(icon.value));
            break;
        case system::IconHandle::Kind::ThemeName: {
            const QIcon themed = QIcon::fromTheme(QString::fromStdString(icon.value));
            if (!themed.isNull()) image_ = themed.pixmap(QSize(48, 48)).toImage();
            break;
        }
        case system::IconHandle::Kind::Generic: {
            const QIcon generic = QIcon::fromTheme("application-x-executable");
            if (!generic.isNull()) image_ = generic.pixmap(QSize(48, 48)).toImage();
            break;
        }
        case system::IconHandle::Kind::LetterTile:
        case system::IconHandle::Kind::None:
            break;
    }
    update();
}

void AppIconView::setDimmed(bool dimmed) {
    opacity_.animateTo(dimmed ? 0.4 : 1.0, Motion::easeInOut(0.15));
}

void AppIconView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(opacity_.value());
    const QRectF bounds(0, 0, 24, 24);
    QPainterPath clip;
    clip.addRoundedRect(bounds, 5, 5);

    if (!image_.isNull()) {
        painter.setClipPath(clip);
        painter.drawImage(bounds, image_);
        return;
    }
    if (icon_.kind == system::IconHandle::Kind::LetterTile) {
        const QColor base = QColor::fromRgb(icon_.color);
        QLinearGradient gradient(bounds.topLeft(), bounds.bottomLeft());
        gradient.setColorAt(0, base.lighter(112));
        gradient.setColorAt(1, base.darker(108));
        painter.fillPath(clip, gradient);
        painter.setPen(Qt::white);
        painter.setFont(uiFont(12, Weight::Semibold));
        painter.drawText(bounds, Qt::AlignCenter,
                         QString::fromStdString(icon_.value).left(1).toUpper());
        return;
    }
    fillRounded(painter, bounds, 5, Tobble::border());
    paintIcon(painter, bounds, "app.fill", 12, Weight::Medium, Tobble::textTertiary());
}

}  // namespace tobble::ui
