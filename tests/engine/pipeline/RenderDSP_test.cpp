#include "engine/pipeline/RenderDSP.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "engine/pipeline/RenderLoops.h"

namespace tobble::engine {
namespace {

constexpr auto primary = CrossfadeRole::primary;
constexpr auto secondary = CrossfadeRole::secondary;
constexpr int64_t fading = 2;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(CrossfadeGainTest, FadingIsEqualPowerFromOldToNew) {
    EXPECT_NEAR(crossfadeGain(fading, 0.5f, primary), 0.7071f, 1e-4f);
    EXPECT_NEAR(crossfadeGain(fading, 0.5f, secondary), 0.7071f, 1e-4f);
    for (int step = 0; step <= 100; ++step) {
        const float p = static_cast<float>(step) / 100.0f;
        const float g1 = crossfadeGain(fading, p, primary);
        const float g2 = crossfadeGain(fading, p, secondary);
        EXPECT_NEAR(g1 * g1 + g2 * g2, 1.0f, 1e-6f) << p;
        EXPECT_GE(g1, 0.0f) << p;  // the single-precision pi keeps the end point non-negative
    }
    EXPECT_EQ(crossfadeGain(fading, 0.0f, primary), 1.0f);
    EXPECT_EQ(crossfadeGain(fading, 0.0f, secondary), 0.0f);
}

TEST(CrossfadeGainTest, IdleAndUnknownPhasesSilenceOnlyAFadedOutPrimary) {
    for (int64_t phase : {int64_t{0}, int64_t{3}, int64_t{-1}}) {
        EXPECT_EQ(crossfadeGain(phase, 0.99f, primary), 1.0f) << phase;
        EXPECT_EQ(crossfadeGain(phase, 1.0f, primary), 0.0f) << phase;
        EXPECT_EQ(crossfadeGain(phase, 1.0f, secondary), 1.0f) << phase;
    }
}

// The vector loops must give exactly what the sample-by-sample definition gives: the one the
// processor gets (eight lanes where it has AVX2) and the four-lane one every x86-64 can run.
using ContiguousLoop = float (*)(std::span<const float>, std::span<float>, float) noexcept;
float fourLanes(std::span<const float> in, std::span<float> out, float gain) noexcept {
    return renderContiguousLanes<4>(in, out, gain);
}

TEST(BufferLoopsTest, ContiguousIsExactlyTheGainAtEveryLength) {
    for (ContiguousLoop loop : {ContiguousLoop{renderContiguous}, ContiguousLoop{fourLanes}}) {
        // Every length through two unrolled blocks, single vector steps and a scalar tail,
        // with the one loud sample in every position.
        for (size_t count = 0; count <= 72; ++count) {
            for (size_t loud = 0; loud < count; ++loud) {
                std::vector<float> in(count, 0.3f);
                in[loud] = -1.9f;
                std::vector<float> out(count, 9.0f);
                ASSERT_EQ(loop(in, out, 0.5f), 0.95f) << count << " " << loud;
                for (size_t i = 0; i < count; ++i) {
                    ASSERT_EQ(out[i], 0.5f * in[i]) << i;
                }
            }
        }
    }
}

TEST(BufferLoopsTest, ANaNSampleBecomesSilenceAndDoesNotReachThePeak) {
    std::vector<float> in = {0.1f, kNaN, -0.4f, 0.2f, 0.3f, 0.1f, 0.1f, 0.1f, 0.1f};
    std::vector<float> out(in.size());
    for (ContiguousLoop loop : {ContiguousLoop{renderContiguous}, ContiguousLoop{fourLanes}}) {
        EXPECT_EQ(loop(in, out, 1.0f), 0.4f);
        EXPECT_EQ(out[1], 0.0f);
        EXPECT_EQ(out[2], -0.4f);
    }
}

}  // namespace
}  // namespace tobble::engine
