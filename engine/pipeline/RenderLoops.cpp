// The eight-lane helpers take and return 32-byte vectors, which GCC flags as an ABI change in
// code built without AVX. They are always inlined into the AVX2 function below, so no call ever
// passes such a vector; the warning is silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include "engine/pipeline/RenderLoops.h"

namespace tobble::engine {
namespace {

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__AVX2__)
// The default x86-64 build targets SSE2 only; this one loop is also built for AVX2, which
// halves its cost where the processor has it.
[[gnu::target("avx2")]] float renderContiguousAvx2(std::span<const float> in, std::span<float> out,
                                                   float gain) noexcept {
    return renderContiguousLanes<8>(in, out, gain);
}

const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

float renderContiguous(std::span<const float> in, std::span<float> out, float gain) noexcept {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__AVX2__)
    if (kHasAvx2) return renderContiguousAvx2(in, out, gain);
    return renderContiguousLanes<4>(in, out, gain);
#elif defined(__GNUC__) && defined(__AVX2__)
    return renderContiguousLanes<8>(in, out, gain);
#elif defined(__GNUC__)
    return renderContiguousLanes<4>(in, out, gain);
#else
    const size_t count = std::min(in.size(), out.size());
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        const float x = gain * in[i];
        const float a = magnitude(x);
        peak = a > peak ? a : peak;
        out[i] = orSilence(x);
    }
    return peak;
#endif
}

}  // namespace tobble::engine
