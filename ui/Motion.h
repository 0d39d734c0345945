#pragma once

#include <QObject>
#include <QVariantAnimation>
#include <functional>

namespace tobble::ui {

// A timing curve of the panel's animations: a damped spring (response, damping fraction), or an
// ease-in-out, ease-out or linear curve of a given duration.
class Motion {
  public:
    enum class Kind { Spring, EaseInOut, EaseOut, Linear };

    // `response` is the period of the undamped oscillation in seconds, `damping` the fraction of
    // critical damping (1 settles without overshoot, less overshoots and rings).
    static Motion spring(double response, double damping) {
        return {Kind::Spring, response, damping};
    }
    static Motion easeInOut(double seconds) { return {Kind::EaseInOut, seconds, 0}; }
    static Motion easeOut(double seconds) { return {Kind::EaseOut, seconds, 0}; }
    static Motion linear(double seconds) { return {Kind::Linear, seconds, 0}; }

    Kind kind() const { return kind_; }
    // Seconds until the curve is within 0.1 % of its target.
    double duration() const;
    // Progress from 0 to 1 (a spring may pass beyond 1 on its way) `seconds` after the start.
    double progress(double seconds) const;

    // Off in tests and in tobble-snapshot: every animated value jumps to its target.
    static void setAnimationsEnabled(bool enabled);
    static bool animationsEnabled();

  private:
    Motion(Kind kind, double a, double b) : kind_(kind), a_(a), b_(b) {}
    Kind kind_;
    double a_;
    double b_;
};

// One animated number (an opacity, a scale, a colour blend) that repaints its owner as it moves.
class AnimatedValue {
  public:
    AnimatedValue(double initial, std::function<void()> changed);
    ~AnimatedValue();
    AnimatedValue(const AnimatedValue&) = delete;
    AnimatedValue& operator=(const AnimatedValue&) = delete;

    double value() const { return value_; }
    double target() const { return target_; }
    // Moves towards `target` along `motion` from wherever the value is now.
    void animateTo(double target, const Motion& motion);
    void jumpTo(double target);

  private:
    double value_;
    double target_;
    double from_ = 0;
    std::function<void()> changed_;
    QVariantAnimation* animation_ = nullptr;
    Motion motion_ = Motion::linear(0);
};

}  // namespace tobble::ui
