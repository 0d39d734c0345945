#include "ui/Motion.h"

#include <QEasingCurve>
#include <QPointF>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace tobble::ui {

namespace {

bool gAnimationsEnabled = true;

QEasingCurve bezier(double x1, double y1, double x2, double y2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1, 1));
    return curve;
}

}  // namespace

void Motion::setAnimationsEnabled(bool enabled) { gAnimationsEnabled = enabled; }
bool Motion::animationsEnabled() { return gAnimationsEnabled; }

double Motion::duration() const {
    if (kind_ != Kind::Spring) return a_;
    const double omega = 2 * std::numbers::pi / std::max(a_, 0.01);
    const double zeta = std::clamp(b_, 0.01, 1.0);
    return std::log(1000.0) / (zeta * omega);
}

double Motion::progress(double seconds) const {
    if (seconds <= 0) return 0;
    switch (kind_) {
        case Kind::Spring: {
            const double omega = 2 * std::numbers::pi / std::max(a_, 0.01);
            const double zeta = std::clamp(b_, 0.01, 1.0);
            const double decay = std::exp(-zeta * omega * seconds);
            if (zeta >= 1.0) return 1 - decay * (1 + omega * seconds);
            const double omegaD = omega * std::sqrt(1 - zeta * zeta);
            return 1 - decay * (std::cos(omegaD * seconds) +
                                zeta * omega / omegaD * std::sin(omegaD * seconds));
        }
        case Kind::EaseInOut: {
            static const QEasingCurve curve = bezier(0.42, 0, 0.58, 1);
            return seconds >= a_ ? 1.0 : curve.valueForProgress(seconds / a_);
        }
        case Kind::EaseOut: {
            static const QEasingCurve curve = bezier(0, 0, 0.58, 1);
            return seconds >= a_ ? 1.0 : curve.valueForProgress(seconds / a_);
        }
        case Kind::Linear:
            return a_ <= 0 || seconds >= a_ ? 1.0 : seconds / a_;
    }
    return 1.0;
}

AnimatedValue::AnimatedValue(double initial, std::function<void()> changed)
    : value_(initial), target_(initial), changed_(std::move(changed)) {}

AnimatedValue::~AnimatedValue() { delete animation_; }

void AnimatedValue::jumpTo(double target) {
    if (animation_) animation_->stop();
    target_ = target;
    if (value_ != target) {
        value_ = target;
        if (changed_) changed_();
    }
}

void AnimatedValue::animateTo(double target, const Motion& motion) {
    if (target == target_ && (!animation_ || animation_->state() != QAbstractAnimation::Running)) {
        jumpTo(target);
        return;
    }
    if (!Motion::animationsEnabled() || motion.duration() <= 0) {
        jumpTo(target);
        return;
    }
    target_ = target;
    from_ = value_;
    motion_ = motion;
    if (!animation_) {
        animation_ = new QVariantAnimation();
        animation_->setStartValue(0.0);
        animation_->setEndValue(1.0);
        QObject::connect(animation_, &QVariantAnimation::valueChanged, [this](const QVariant& v) {
            const double seconds = v.toDouble() * motion_.duration();
            const double p = animation_->state() == QAbstractAnimation::Running
                                 ? motion_.progress(seconds)
                                 : 1.0;
            value_ = from_ + (target_ - from_) * p;
            if (changed_) changed_();
        });
        QObject::connect(animation_, &QVariantAnimation::finished, [this] {
            value_ = target_;
            if (changed_) changed_();
        });
    }
    animation_->stop();
    animation_->setDuration(std::max(1, static_cast<int>(motion.duration() * 1000)));
    animation_->start();
}

}  // namespace tobble::ui
