#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/pipeline/RenderDSP.h"

// The buffer loops of the per-application I/O callback: gain, limiter and peak over one cycle's
// interleaved samples, for each pair of channel layouts.
namespace tobble::engine {

// Portable vector types (GCC and Clang): one register of samples at a time, four lanes, or
// eight where the build targets AVX. They compile to vector code at the default optimisation
// level, and every lane performs exactly the scalar operations of RenderDSP.h, so results are
// identical to the sample-by-sample definitions.
#if defined(__GNUC__)
namespace simd {
#if defined(__AVX__)
inline constexpr size_t kLanes = 8;
#else
inline constexpr size_t kLanes = 4;
#endif
using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
using Mask = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));

inline Floats splat(float value) noexcept { return Floats{} + value; }
inline Floats select(Mask mask, Floats yes, Floats no) noexcept { return mask ? yes : no; }
inline Floats load(const float* from) noexcept {
    Floats v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}
inline void store(float* to, Floats v) noexcept { __builtin_memcpy(to, &v, sizeof v); }
// |x| by clearing the sign bit; differs from magnitude() only in the sign of zero and NaN,
// which neither the peak nor the limiter can tell apart.
inline Floats abs(Floats x) noexcept {
    Mask bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    bits &= 0x7FFFFFFF;
    Floats result;
    __builtin_memcpy(&result, &bits, sizeof result);
    return result;
}
inline bool any(Mask mask) noexcept {
    uint64_t words[kLanes / 2];
    __builtin_memcpy(words, &mask, sizeof words);
    uint64_t bits = 0;
    for (uint64_t word : words) bits |= word;
    return bits != 0;
}

inline Floats softLimit(Floats x, Floats a) noexcept {
    const Floats t = (a - splat(kLimiterKnee)) / splat(kLimiterKneeWidth);
    Floats y = splat(kLimiterKnee) + splat(kLimiterKneeHeadroom) * t * (splat(2.0f) - t);
    y = select(y > splat(1.0f), splat(1.0f), y);
    y = select(a < splat(kLimiterCeiling), y, splat(1.0f));
    y = select(a == a, y, splat(0.0f));
    const Floats limited = select(x < splat(0.0f), -y, y);
    return select(a <= splat(kLimiterKnee), x, limited);
}

// Gain for one register of samples; folds their magnitudes into the peak and notes any that
// need the limiter (at or above the knee, or NaN).
inline void gainStep(const float* in, float* out, Floats gains, Floats& peak,
                     Mask& reachesKnee) noexcept {
    const Floats x = gains * load(in);
    const Floats a = abs(x);
    peak = select(a > peak, a, peak);
    reachesKnee |= !(a <= splat(kLimiterKnee));
    store(out, x);
}
}  // namespace simd
#endif

// Each loop below writes gain × input through the limiter and returns the largest
// |gain × input| before limiting (0 for no frames). Callers have checked the buffer sizes.

// Same layout in and out (stereo to stereo): a flat run of samples. Every cycle of a stereo
// application on a stereo device comes here, so it gets the fast treatment: gain and peak in a
// first pass, then the limiter only over the steps that reached the knee (or hold a NaN), since
// below the knee the limiter returns its input.
inline float renderContiguous(std::span<const float> in, std::span<float> out,
                              float gain) noexcept {
    const size_t count = std::min(in.size(), out.size());
    float peak = 0.0f;
    bool reachesKnee = false;
    size_t i = 0;
#if defined(__GNUC__)
    {
        using simd::Floats;
        using simd::kLanes;
        const Floats gains = simd::splat(gain);
        // Four independent peaks, so that consecutive steps need not wait for each other.
        Floats peak0 = simd::splat(0.0f), peak1 = peak0, peak2 = peak0, peak3 = peak0;
        simd::Mask knee = {};
        for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
            simd::gainStep(&in[i], &out[i], gains, peak0, knee);
            simd::gainStep(&in[i + kLanes], &out[i + kLanes], gains, peak1, knee);
            simd::gainStep(&in[i + 2 * kLanes], &out[i + 2 * kLanes], gains, peak2, knee);
            simd::gainStep(&in[i + 3 * kLanes], &out[i + 3 * kLanes], gains, peak3, knee);
        }
        for (; i + kLanes <= count; i += kLanes) {
            simd::gainStep(&in[i], &out[i], gains, peak0, knee);
        }
        for (const Floats& lanes : {peak0, peak1, peak2, peak3}) {
            for (size_t lane = 0; lane < kLanes; ++lane) {
                peak = lanes[lane] > peak ? lanes[lane] : peak;
            }
        }
        reachesKnee = simd::any(knee);
    }
#endif
    for (; i < count; ++i) {
        const float x = gain * in[i];
        const float a = magnitude(x);
        peak = a > peak ? a : peak;
        reachesKnee = reachesKnee || !(a <= kLimiterKnee);
        out[i] = x;
    }
    if (!reachesKnee) return peak;

    i = 0;
#if defined(__GNUC__)
    for (; i + simd::kLanes <= count; i += simd::kLanes) {
        const simd::Floats x = simd::load(&out[i]);
        const simd::Floats a = simd::abs(x);
        if (simd::any(!(a <= simd::splat(kLimiterKnee)))) {
            simd::store(&out[i], simd::softLimit(x, a));
        }
    }
#endif
    for (; i < count; ++i) out[i] = softLimit(out[i]);
    return peak;
}

// Input channels 0 and 1 of each frame to output channels 0 and 1; further output channels
// are left untouched and further input channels ignored.
inline float renderStereo(std::span<const float> in, uint32_t inChannels, std::span<float> out,
                          uint32_t outChannels, size_t frames, float gain) noexcept {
    float peak = 0.0f;
    for (size_t i = 0; i < frames; ++i) {
        const float x0 = gain * in[i * inChannels];
        const float x1 = gain * in[i * inChannels + 1];
        const float a0 = magnitude(x0);
        const float a1 = magnitude(x1);
        peak = a0 > peak ? a0 : peak;
        peak = a1 > peak ? a1 : peak;
        out[i * outChannels] = softLimit(x0, a0);
        out[i * outChannels + 1] = softLimit(x1, a1);
    }
    return peak;
}

// The first input channel of each frame (frames `inStride` samples apart) to every output
// channel of the frame.
inline float renderMono(std::span<const float> in, uint32_t inStride, std::span<float> out,
                        uint32_t outChannels, size_t frames, float gain) noexcept {
    float peak = 0.0f;
    for (size_t i = 0; i < frames; ++i) {
        const float x = gain * in[i * inStride];
        const float a = magnitude(x);
        peak = a > peak ? a : peak;
        const float y = softLimit(x, a);
        for (size_t channel = 0; channel < outChannels; ++channel) {
            out[i * outChannels + channel] = y;
        }
    }
    return peak;
}

}  // namespace tobble::engine
