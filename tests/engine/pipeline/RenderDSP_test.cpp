#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/pipeline/RenderDSP.h"
#include "engine/pipeline/RenderLoops.h"

namespace tobble::engine {
namespace {

constexpr auto primary = CrossfadeRole::primary;
constexpr auto secondary = CrossfadeRole::secondary;
constexpr int64_t idle = 0;
constexpr int64_t preparing = 1;
constexpr int64_t fading = 2;

TEST(SoftLimitTest, TransparentUpToTheKnee) {
    EXPECT_EQ(softLimit(0.2f), 0.2f);
    EXPECT_EQ(softLimit(-0.5f), -0.5f);
    EXPECT_EQ(softLimit(0.84999996f), 0.84999996f);
    EXPECT_EQ(softLimit(0.0f), 0.0f);
}

TEST(SoftLimitTest, CompressesTheKneeOntoTheTopOfTheRange) {
    // 0.9 sits half-way through the knee: 0.85 + 0.15 × 0.5 × 1.5.
    EXPECT_NEAR(softLimit(0.9f), 0.9625f, 1e-6f);
    EXPECT_EQ(softLimit(-0.9f), -softLimit(0.9f));
    EXPECT_EQ(softLimit(1.0f), 1.0f);
    EXPECT_EQ(softLimit(0.95f), 1.0f);
    EXPECT_EQ(softLimit(-3.0f), -1.0f);
    EXPECT_EQ(softLimit(std::numeric_limits<float>::infinity()), 1.0f);
    EXPECT_EQ(softLimit(-std::numeric_limits<float>::infinity()), -1.0f);
}

TEST(SoftLimitTest, RisesMonotonicallyAndNeverLeavesFullScale) {
    float previous = softLimit(0.8f);
    for (float x = 0.8f; x < 1.1f; x += 0.0001f) {
        const float y = softLimit(x);
        EXPECT_GE(y, previous) << x;
        EXPECT_LE(y, 1.0f) << x;
        previous = y;
    }
    EXPECT_NEAR(softLimit(0.9499f), 1.0f, 1e-3f);  // meets full scale without a step
}

TEST(SoftLimitTest, NaNBecomesSilence) {
    EXPECT_EQ(softLimit(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(softLimit(-std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(SmoothPeakTest, AttacksByHalfTheDistance) {
    float level = 0.0f;
    const float expected[] = {0.5f, 0.75f, 0.875f};
    for (float value : expected) {
        level = smoothPeak(level, 1.0f);
        EXPECT_EQ(level, value);
    }
}

TEST(SmoothPeakTest, ReleasesByFivePercentPerStepAndHoldsAnEqualPeak) {
    float level = 0.875f;
    for (int step = 0; step < 5; ++step) {
        const float before = level;
        level = smoothPeak(level, 0.0f);
        EXPECT_FLOAT_EQ(level, before * 0.95f);
    }
    EXPECT_EQ(smoothPeak(0.25f, 0.25f), 0.25f);
}

TEST(FadeProgressTest, FractionOfTheFadePlayedCappedAtOne) {
    EXPECT_EQ(fadeProgress(2400, 4800), 0.5f);
    EXPECT_EQ(fadeProgress(9600, 4800), 1.0f);
    EXPECT_EQ(fadeProgress(5, 0), 1.0f);
}

TEST(CrossfadeGainTest, PreparingKeepsTheOldPipelineAndSilencesTheNewOne) {
    EXPECT_EQ(crossfadeGain(preparing, 0.0f, primary), 1.0f);
    EXPECT_EQ(crossfadeGain(preparing, 0.0f, secondary), 0.0f);
}

TEST(CrossfadeGainTest, HalfWayBothSidesPlayAtMinusThreeDecibels) {
    EXPECT_NEAR(crossfadeGain(fading, 0.5f, primary), 0.70710677f, 1e-6f);
    EXPECT_NEAR(crossfadeGain(fading, 0.5f, secondary), 0.70710677f, 1e-6f);
}

TEST(CrossfadeGainTest, EqualPowerThroughoutTheFade) {
    for (int step = 0; step <= 100; ++step) {
        const float p = static_cast<float>(step) / 100.0f;
        const float g1 = crossfadeGain(fading, p, primary);
        const float g2 = crossfadeGain(fading, p, secondary);
        EXPECT_NEAR(g1 * g1 + g2 * g2, 1.0f, 1e-6f) << p;
        EXPECT_GE(g1, 0.0f) << p;  // the single-precision pi keeps the end point non-negative
    }
    EXPECT_EQ(crossfadeGain(fading, 0.0f, primary), 1.0f);
    EXPECT_EQ(crossfadeGain(fading, 0.0f, secondary), 0.0f);
    EXPECT_NEAR(crossfadeGain(fading, 1.0f, secondary), 1.0f, 1e-6f);
}

TEST(CrossfadeGainTest, IdleAndUnknownPhases) {
    for (int64_t phase : {idle, int64_t{3}, int64_t{-1}}) {
        EXPECT_EQ(crossfadeGain(phase, 0.0f, primary), 1.0f) << phase;
        EXPECT_EQ(crossfadeGain(phase, 0.99f, primary), 1.0f) << phase;
        EXPECT_EQ(crossfadeGain(phase, 1.0f, primary), 0.0f) << phase;  // faded out, not finished
        EXPECT_EQ(crossfadeGain(phase, 1.0f, secondary), 1.0f) << phase;
    }
}

TEST(BufferLoopsTest, ContiguousMatchesTheScalarLimiterAtEveryLength) {
    // Every length through two unrolled blocks, single vector steps and a scalar tail,
    // with the one loud sample in every position.
    for (size_t count = 0; count <= 72; ++count) {
        for (size_t loud = 0; loud < count; ++loud) {
            std::vector<float> in(count, 0.3f);
            in[loud] = -1.9f;
            std::vector<float> out(count, 9.0f);
            const float peak = renderContiguous(in, out, 0.5f);
            EXPECT_EQ(peak, 0.95f) << count << " " << loud;
            for (size_t i = 0; i < count; ++i) EXPECT_EQ(out[i], softLimit(0.5f * in[i]));
        }
    }
    std::vector<float> none;
    EXPECT_EQ(renderContiguous(none, none, 1.0f), 0.0f);
}

TEST(BufferLoopsTest, PeakIgnoresNaNSamples) {
    std::vector<float> in = {0.1f, std::numeric_limits<float>::quiet_NaN(), -0.4f, 0.2f, 0.3f};
    std::vector<float> out(in.size());
    EXPECT_EQ(renderContiguous(in, out, 1.0f), 0.4f);
    EXPECT_EQ(out[1], 0.0f);
}

}  // namespace
}  // namespace tobble::engine
