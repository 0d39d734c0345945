#pragma once

#include <cmath>
#include <cstdint>

#include "engine/pipeline/TAKCrossfadeState.h"

// The sample arithmetic of the per-application I/O callback, kept free of any state so that it
// can be checked number by number and timed on its own.
namespace tobble::engine {

// Soft limiter: transparent up to the knee, then a parabola that reaches full scale at the
// ceiling. The constants are the single-precision results the curve is defined with.
inline constexpr float kLimiterCeiling = 0.95f;
inline constexpr float kLimiterKneeWidth = 0.1f;
inline constexpr float kLimiterKnee = 0.84999996f;
inline constexpr float kLimiterKneeHeadroom = 0.15000004f;
static_assert(kLimiterKnee == kLimiterCeiling - kLimiterKneeWidth);
static_assert(kLimiterKneeHeadroom == 1.0f - kLimiterKnee);

// Level meter smoothing: fast attack, slow release.
inline constexpr float kAttackCoeff = 0.5f;
inline constexpr float kReleaseCoeff = 0.05f;

// The equal-power fade uses this single-precision value of pi.
inline constexpr float kFadePi = 3.1415925f;

constexpr float magnitude(float x) noexcept { return x < 0.0f ? -x : x; }

// limit(x) for a caller that already has a = |x|. Written as selects rather than branches so
// that the buffer loops below compile to straight vector code. A NaN sample comes out as
// silence rather than reaching the device.
constexpr float softLimit(float x, float a) noexcept {
    const float t = (a - kLimiterKnee) / kLimiterKneeWidth;
    float y = kLimiterKnee + kLimiterKneeHeadroom * t * (2.0f - t);
    y = y > 1.0f ? 1.0f : y;
    y = a < kLimiterCeiling ? y : 1.0f;
    y = a == a ? y : 0.0f;
    const float limited = x < 0.0f ? -y : y;
    return a <= kLimiterKnee ? x : limited;
}

constexpr float softLimit(float x) noexcept { return softLimit(x, magnitude(x)); }

// One step of the level meter towards this cycle's peak.
constexpr float smoothPeak(float smoothed, float peak) noexcept {
    return smoothed + (peak - smoothed) * (smoothed < peak ? kAttackCoeff : kReleaseCoeff);
}

// How far a fade of `total` frames has come after `played` frames, 0…1. A fade without a
// length counts as complete.
constexpr float fadeProgress(int64_t played, int64_t total) noexcept {
    if (total < 1) return 1.0f;
    const float progress = static_cast<float>(played) / static_cast<float>(total);
    return progress < 1.0f ? progress : 1.0f;
}

// Gain of one side of a cross-fade. For the secondary in `fading`, `progress` is the value
// after this cycle's advance. Unknown phases behave as idle.
inline float crossfadeGain(int64_t phase, float progress, CrossfadeRole role) noexcept {
    const float angle = progress * kFadePi * 0.5f;
    const auto known = static_cast<CrossfadePhase>(phase);
    if (role == CrossfadeRole::secondary) {
        if (known == CrossfadePhase::fading) return std::sin(angle);
        if (known == CrossfadePhase::preparing) return 0.0f;
        return 1.0f;
    }
    if (known == CrossfadePhase::preparing) return 1.0f;
    if (known == CrossfadePhase::fading) return std::cos(angle);
    return progress >= 1.0f ? 0.0f : 1.0f;
}

}  // namespace tobble::engine
