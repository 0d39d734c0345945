#include "ui/Controls.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace tobble::ui {

namespace {

QColor focusRing() { return withOpacity(Tobble::accent(), 0.5); }

void paintFocusRing(QPainter& painter, const QRectF& rect, double radius) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(focusRing(), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), radius, radius);
    painter.restore();
}

}  // namespace

void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& color) {
    if (color.alpha() == 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRoundedRect(rect, radius, radius);
    painter.restore();
}

// ---- Divider

Divider::Divider(int inset, QWidget* parent) : QWidget(parent), inset_(inset) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRectF(inset_, 0, width() - 2 * inset_, 1), Tobble::border());
}

// ---- TextView

TextView::TextView(QString text, double size, Weight weight, QColor color, QWidget* parent)
    : QWidget(parent), text_(std::move(text)), color_(std::move(color)) {
    setFont(uiFont(size, weight));
    setAccessibleName(text_);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextView::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    setAccessibleName(text_);
    if (wrap_) setFixedHeight(heightForWidth(wrapWidth_));
    updateGeometry();
    update();
}

void TextView::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void TextView::setWordWrap(int width) {
    wrap_ = true;
    wrapWidth_ = width;
    setFixedWidth(width);
    setFixedHeight(heightForWidth(width));
}

QSize TextView::sizeHint() const {
    const QFontMetricsF metrics(font());
    if (wrap_) return {wrapWidth_, heightForWidth(wrapWidth_)};
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text_))) + 1,
            static_cast<int>(std::ceil(metrics.height()))};
}

QSize TextView::minimumSizeHint() const {
    if (elide_ == Qt::ElideNone || wrap_) return sizeHint();
    const QFontMetricsF metrics(font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(QStringLiteral("W…")))),
            static_cast<int>(std::ceil(metrics.height()))};
}

int TextView::heightForWidth(int width) const {
    if (!wrap_) return -1;
    const QFontMetricsF metrics(font());
    const QRectF bounds =
        metrics.boundingRect(QRectF(0, 0, width, 10000), int(alignment_ | Qt::TextWordWrap), text_);
    return static_cast<int>(std::ceil(bounds.height()));
}

void TextView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(color_);
    painter.setFont(font());
    if (wrap_) {
        painter.drawText(rect(), int(alignment_ | Qt::TextWordWrap), text_);
        return;
    }
    const QFontMetricsF metrics(font());
    const QString shown = metrics.elidedText(text_, elide_, width());
    painter.drawText(rect(), int(alignment_), shown);
}

// ---- PaintedButton

PaintedButton::PaintedButton(QSize size, Painter painter, QWidget* parent)
    : QAbstractButton(parent),
      size_(size),
      painter_(std::move(painter)),
      pressAmount_(0, [this] { update(); }),
      hoverAmount_(0, [this] { update(); }) {
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::pressed, this, [this] { setPressedLook(true); });
    connect(this, &QAbstractButton::released, this, [this] { setPressedLook(false); });
}

void PaintedButton::setPainter(Painter painter) {
    painter_ = std::move(painter);
    update();
}

void PaintedButton::setExpanded(bool expanded) {
    if (expanded_ == expanded) return;
    expanded_ = expanded;
    QAccessible::State changed;
    changed.expanded = true;
    changed.collapsed = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void PaintedButton::setExclusiveChoice(bool choice) {
    choice_ = choice;
    setCheckable(choice);
}

void PaintedButton::nextCheckState() {
    if (!choice_) QAbstractButton::nextCheckState();
}

void PaintedButton::setPreferredSize(QSize size) {
    size_ = size;
    updateGeometry();
}

QSize PaintedButton::minimumSizeHint() const {
    return sizePolicy().horizontalPolicy() == QSizePolicy::Fixed ? size_ : QSize(0, size_.height());
}

void PaintedButton::setPressedLook(bool pressed) {
    pressAmount_.animateTo(pressed ? 1.0 : 0.0, Motion::spring(0.2, 0.7));
}

void PaintedButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    hoverAmount_.animateTo(1.0, Motion::easeInOut(0.12));
    QAbstractButton::enterEvent(event);
}

void PaintedButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    hoverAmount_.animateTo(0.0, Motion::easeInOut(0.12));
    QAbstractButton::leaveEvent(event);
}

void PaintedButton::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

void PaintedButton::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        animateClick();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void PaintedButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF bounds = rect();
    if (iconStyle_) {
        const double press = pressAmount_.value();
        const double scale = 1.0 - 0.1 * press;
        painter.setOpacity(1.0 - 0.35 * press);
        painter.translate(bounds.center());
        painter.scale(scale, scale);
        painter.translate(-bounds.center());
    }
    if (painter_) painter_(painter, bounds, State{hovered_, isDown(), hoverAmount_.value()});
    if (hasFocus() && keyboardFocus_) {
        painter.setOpacity(1.0);
        paintFocusRing(painter, bounds, radius_);
    }
}

// ---- Slider

Slider::Slider(QWidget* parent) : QAbstractSlider(parent), tint_(Tobble::accent()) {
    setOrientation(Qt::Horizontal);
    setRange(0, static_cast<int>(kSteps));
    setSingleStep(10);
    setPageStep(100);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(20);
    connect(this, &QAbstractSlider::valueChanged, this, [this](int v) {
        if (!programmatic_) emit userValueChanged(v / kSteps);
    });
}

void Slider::setValueF(double value) {
    const int steps = static_cast<int>(std::lround(std::clamp(value, 0.0, maximumF()) * kSteps));
    if (isSliderDown() || steps == this->value()) return;
    programmatic_ = true;
    setValue(steps);
    programmatic_ = false;
}

void Slider::setMaximumF(double maximum) {
    const int steps = static_cast<int>(std::lround(std::max(maximum, 0.01) * kSteps));
    if (steps == this->maximum()) return;
    // Shrinking the range moves a value beyond it to the new end, which is no change of the user's.
    programmatic_ = true;
    setMaximum(steps);
    programmatic_ = false;
    update();
}

void Slider::setTint(const QColor& tint) {
    if (tint == tint_) return;
    tint_ = tint;
    update();
}

QRectF Slider::trackRect() const {
    const double knob = 14;
    return {knob / 2, height() / 2.0 - 2, width() - knob, 4};
}

double Slider::fractionAt(double x) const {
    const QRectF track = trackRect();
    return std::clamp((x - track.left()) / std::max(1.0, track.width()), 0.0, 1.0);
}

void Slider::dragTo(double fraction) {
    if (!isSliderDown()) {
        setSliderDown(true);
        emit editingChanged(true);
    }
    int steps = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * maximum()));
    // Above 100 % the way back to an application's own level is easy to find by hand.
    if (maximum() > kSteps && std::abs(steps - static_cast<int>(kSteps)) <= kDetentSteps) {
        steps = static_cast<int>(kSteps);
    }
    setSliderPosition(steps);
}

void Slider::releaseDrag() {
    if (!isSliderDown()) return;
    setSliderDown(false);
    emit editingChanged(false);
}

void Slider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractSlider::mousePressEvent(event);
    keyboardFocus_ = false;
    dragTo(fractionAt(event->position().x()));
    event->accept();
}

void Slider::mouseMoveEvent(QMouseEvent* event) {
    if (!isSliderDown()) return;
    dragTo(fractionAt(event->position().x()));
    event->accept();
}

void Slider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractSlider::mouseReleaseEvent(event);
    releaseDrag();
    event->accept();
}

void Slider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = trackRect();
    const double fraction = sliderPosition() / static_cast<double>(std::max(1, maximum()));
    fillRounded(painter, track, 2, Tobble::inkAt(0.08));
    if (maximum() > kSteps) {
        const double x = track.left() + track.width() * kSteps / maximum();
        painter.fillRect(QRectF(x - 0.5, track.top() - 3, 1, track.height() + 6),
                         Tobble::inkAt(0.25));
    }
    QRectF filled = track;
    filled.setWidth(track.width() * fraction);
    fillRounded(painter, filled.adjusted(-2, 0, 0, 0), 2, tint_);

    const QPointF centre(track.left() + track.width() * fraction, height() / 2.0);
    const double radius = 7;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Tobble::inkAt(0.10));
    painter.drawEllipse(centre + QPointF(0, 0.5), radius + 0.5, radius + 0.5);
    painter.setBrush(Qt::white);
    painter.setPen(QPen(Tobble::inkAt(0.12), 0.5));
    painter.drawEllipse(centre, radius, radius);
    if (hasFocus()) {
        painter.setPen(QPen(focusRing(), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(centre, radius + 2, radius + 2);
    }
}

// ---- Toggle

Toggle::Toggle(QWidget* parent)
    : QAbstractButton(parent), tint_(Tobble::accent()), knob_(0, [this] { update(); }) {
    setCheckable(true);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(sizeHint());
}

void Toggle::checkStateSet() { knob_.animateTo(isChecked() ? 1 : 0, Motion::spring(0.25, 0.8)); }

void Toggle::nextCheckState() {
    QAbstractButton::nextCheckState();
    checkStateSet();
}

void Toggle::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void Toggle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double t = knob_.value();
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    fillRounded(painter, track, track.height() / 2,
                mix(Tobble::inkAt(0.12), tint_, std::clamp(t, 0.0, 1.0)));
    const double d = track.height() - 4;
    const double x = track.left() + 2 + (track.width() - 4 - d) * t;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Tobble::inkAt(0.12));
    painter.drawEllipse(QRectF(x, track.top() + 2.5, d, d));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, d, d));
    if (hasFocus()) paintFocusRing(painter, rect(), height() / 2.0);
}

// ---- KeyCapView

KeyCapView::KeyCapView(QString key, QWidget* parent) : QWidget(parent), key_(std::move(key)) {
    setFont(uiFont(11, Weight::Medium));
    setAccessibleName(key_);
    setFixedSize(sizeHint());
}

QSize KeyCapView::sizeHint() const {
    const QFontMetricsF metrics(font());
    const int textWidth = static_cast<int>(std::ceil(metrics.horizontalAdvance(key_))) + 14;
    return {std::max(28, textWidth), 28};
}

void KeyCapView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    fillRounded(painter, bounds, 6, Tobble::border());
    painter.setPen(QPen(Tobble::borderMed(), 0.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(bounds.adjusted(0.25, 0.25, -0.25, -0.25), 5.75, 5.75);
    painter.setPen(Tobble::textSecondary());
    painter.setFont(font());
    painter.drawText(bounds, Qt::AlignCenter, key_);
}

}  // namespace tobble::ui
