#pragma once

#include <cmath>
#include <cstdint>

#include "engine/pipeline/TAKCrossfadeState.h"

// The sample arithmetic of the per-application I/O callback, kept free of any state so that it
// can be checked number by number and timed on its own.
namespace tobble::engine {

// The limiter. A mixer at 100 % must be transparent: every sample within full scale passes
// unchanged. Only a cycle whose gained peak would pass full scale (a float source above 1.0, a
// gain above 1) is scaled down, as a whole, so that its peak sits at full scale; the reduction
// is given back over the following cycles. No sample ever leaves beyond full scale.
inline constexpr float kFullScale = 1.0f;
// The reduction is given back completely within 200 ms at 48 kHz: slow enough not to pump on a
// signal that keeps going over, quick enough that a single over is not heard as a dip.
inline constexpr float kLimiterReleaseFrames = 9600.0f;

// Level meter smoothing: fast attack, slow release.
inline constexpr float kAttackCoeff = 0.5f;
inline constexpr float kReleaseCoeff = 0.05f;

// The equal-power fade uses this single-precision value of pi.
inline constexpr float kFadePi = 3.1415925f;

constexpr float magnitude(float x) noexcept { return x < 0.0f ? -x : x; }

// A NaN sample comes out as silence rather than reaching the device.
constexpr float orSilence(float x) noexcept { return x == x ? x : 0.0f; }

// The limiter's gain for this cycle: the last cycle's, raised linearly towards 1 by `frames`.
constexpr float releasedLimiterGain(float gain, int64_t frames) noexcept {
    const float released = gain + static_cast<float>(frames) / kLimiterReleaseFrames;
    return released < 1.0f ? released : 1.0f;
}

// Scales a cycle whose peak passed full scale so that it ends at full scale; rounding cannot
// carry a sample past it.
inline void scaleToFullScale(float* samples, size_t count, float peak) noexcept {
    const float scale = kFullScale / peak;
    for (size_t i = 0; i < count; ++i) {
        const float y = samples[i] * scale;
        samples[i] = y > kFullScale ? kFullScale : (y < -kFullScale ? -kFullScale : y);
    }
}

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

// The fade's part of one cycle's gain: one value for the whole cycle, or, while the fade runs,
// a point on the curve for every frame, `first` + i * `step` of the way through frame i.
struct FadeSpan {
    float gain = 1.0f;
    bool ramps = false;
    CrossfadeRole role = CrossfadeRole::primary;
    double first = 0.0;
    double step = 0.0;
};

// Multiplies every frame of an interleaved block by its point on the fade. A point before the
// fade's start or after its end is held there.
inline void applyFade(float* samples, size_t frames, uint32_t channels,
                      const FadeSpan& span) noexcept {
    for (size_t i = 0; i < frames; ++i) {
        const double at = span.first + span.step * static_cast<double>(i);
        const float progress = at <= 0.0 ? 0.0f : (at >= 1.0 ? 1.0f : static_cast<float>(at));
        const float gain =
            crossfadeGain(static_cast<int64_t>(CrossfadePhase::fading), progress, span.role);
        for (uint32_t c = 0; c < channels; ++c) samples[i * channels + c] *= gain;
    }
}

}  // namespace tobble::engine
