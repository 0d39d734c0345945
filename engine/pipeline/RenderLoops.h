#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/pipeline/RenderDSP.h"

// The buffer loops of the per-application I/O callback: gain and peak over one cycle's
// interleaved samples, for each pair of channel layouts; NaN samples become silence.
namespace tobble::engine {

#if defined(__GNUC__)
// Portable vector types (GCC and Clang) of `Lanes` samples. Every lane performs exactly the
// scalar operations of RenderDSP.h, so results are identical to the sample-by-sample
// definitions. Everything is forced inline so that a caller compiled for a wider instruction
// set (the eight-lane loop) gets it in its own instructions, at every optimisation level.
#define TOBBLE_SIMD [[gnu::always_inline]] inline
namespace simd {
// Spelled out per width: the vector attribute does not take a size that depends on a template
// parameter.
template <size_t Lanes>
struct Registers;
template <>
struct Registers<4> {
    using Floats = float __attribute__((vector_size(16)));
    using Mask = int32_t __attribute__((vector_size(16)));
};
template <>
struct Registers<8> {
    using Floats = float __attribute__((vector_size(32)));
    using Mask = int32_t __attribute__((vector_size(32)));
};

template <size_t Lanes>
struct Ops {
    using Floats = typename Registers<Lanes>::Floats;
    using Mask = typename Registers<Lanes>::Mask;
    static_assert(sizeof(Floats) == Lanes * sizeof(float));

    TOBBLE_SIMD static Floats splat(float value) noexcept { return Floats{} + value; }
    TOBBLE_SIMD static Floats select(Mask mask, Floats yes, Floats no) noexcept {
        return mask ? yes : no;
    }
    TOBBLE_SIMD static Floats load(const float* from) noexcept {
        Floats v;
        __builtin_memcpy(&v, from, sizeof v);
        return v;
    }
    TOBBLE_SIMD static void store(float* to, Floats v) noexcept {
        __builtin_memcpy(to, &v, sizeof v);
    }
    // |x| by clearing the sign bit; differs from magnitude() only in the sign of zero and NaN,
    // which the peak cannot tell apart.
    TOBBLE_SIMD static Floats abs(Floats x) noexcept {
        Mask bits;
        __builtin_memcpy(&bits, &x, sizeof bits);
        bits &= 0x7FFFFFFF;
        Floats result;
        __builtin_memcpy(&result, &bits, sizeof result);
        return result;
    }
    TOBBLE_SIMD static bool any(Mask mask) noexcept {
        uint64_t words[Lanes / 2];
        __builtin_memcpy(words, &mask, sizeof words);
        uint64_t bits = 0;
        for (uint64_t word : words) bits |= word;
        return bits != 0;
    }

    // Gain for one register of samples; folds their magnitudes into the peak and notes any
    // NaN among them.
    TOBBLE_SIMD static void gainStep(const float* in, float* out, Floats gains, Floats& peak,
                                     Mask& anyNaN) noexcept {
        const Floats x = gains * load(in);
        const Floats a = abs(x);
        peak = select(a > peak, a, peak);
        anyNaN |= a != a;
        store(out, x);
    }
};
}  // namespace simd

// Each loop writes gain × input and returns the largest |gain × input| (0 for no frames, NaN
// left out). Callers have checked the buffer sizes.

// Same layout in and out (stereo to stereo): a flat run of samples. Every cycle of a stereo
// application on a stereo device comes here, so it gets the fast treatment: gain and peak in
// one pass, and a second only in the rare cycle that holds a NaN.
template <size_t Lanes>
TOBBLE_SIMD float renderContiguousLanes(std::span<const float> in, std::span<float> out,
                                        float gain) noexcept {
    using V = simd::Ops<Lanes>;
    using Floats = typename V::Floats;
    const size_t count = std::min(in.size(), out.size());
    const Floats gains = V::splat(gain);
    // Four independent peaks, so that consecutive steps need not wait for each other.
    Floats peak0 = V::splat(0.0f), peak1 = peak0, peak2 = peak0, peak3 = peak0;
    typename V::Mask nan = {};
    size_t i = 0;
    for (; i + 4 * Lanes <= count; i += 4 * Lanes) {
        V::gainStep(&in[i], &out[i], gains, peak0, nan);
        V::gainStep(&in[i + Lanes], &out[i + Lanes], gains, peak1, nan);
        V::gainStep(&in[i + 2 * Lanes], &out[i + 2 * Lanes], gains, peak2, nan);
        V::gainStep(&in[i + 3 * Lanes], &out[i + 3 * Lanes], gains, peak3, nan);
    }
    for (; i + Lanes <= count; i += Lanes) V::gainStep(&in[i], &out[i], gains, peak0, nan);
    float peak = 0.0f;
    for (const Floats& lanes : {peak0, peak1, peak2, peak3}) {
        for (size_t lane = 0; lane < Lanes; ++lane) peak = lanes[lane] > peak ? lanes[lane] : peak;
    }
    bool anyNaN = V::any(nan);
    for (; i < count; ++i) {
        const float x = gain * in[i];
        const float a = magnitude(x);
        peak = a > peak ? a : peak;
        anyNaN = anyNaN || a != a;
        out[i] = x;
    }
    if (anyNaN) {
        for (i = 0; i < count; ++i) out[i] = orSilence(out[i]);
    }
    return peak;
}
#undef TOBBLE_SIMD
#endif  // __GNUC__

// renderContiguousLanes with the widest registers the processor offers: eight lanes where it
// has AVX2 (chosen once, at start-up), four otherwise.
float renderContiguous(std::span<const float> in, std::span<float> out, float gain) noexcept;

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
        out[i * outChannels] = orSilence(x0);
        out[i * outChannels + 1] = orSilence(x1);
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
        const float y = orSilence(x);
        for (size_t channel = 0; channel < outChannels; ++channel) {
            out[i * outChannels + channel] = y;
        }
    }
    return peak;
}

}  // namespace tobble::engine
