#include <gtest/gtest.h>

#include <limits>

#include "engine/pipeline/TAKCrossfadeState.h"
#include "engine/pipeline/TAKVolumeState.h"

namespace tobble::engine {
namespace {

TEST(VolumeStateTest, SlotsWrapToTheirLowFiveBits) {
    TAKVolumeState volumes;
    volumes.write(33, 0.5f, false);
    EXPECT_EQ(volumes.volumes[1].load(), 0.5f);
    volumes.write(0xFFFFFFFF, 0.25f, true);
    EXPECT_EQ(volumes.volumes[31].load(), 0.25f);
    EXPECT_EQ(volumes.mutes[31].load(), 1u);
    EXPECT_EQ(volumes.volume(0), 1.0f);
    EXPECT_EQ(volumes.volume(30), 1.0f);
}

TEST(VolumeStateTest, VolumesAreClampedNaNMeansFullVolumeAndResetRestoresDefaults) {
    TAKVolumeState volumes;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, float> cases[] = {{1.7f, 1.0f}, {-0.2f, 0.0f}, {nan, 1.0f}};
    for (const auto& [written, stored] : cases) {
        volumes.write(4, written, true);
        EXPECT_EQ(volumes.volume(4), stored) << written;
    }
    volumes.reset(36);
    EXPECT_EQ(volumes.volume(4), 1.0f);
    EXPECT_FALSE(volumes.muted(4));
}

class CrossfadeStateTest : public ::testing::Test {
  protected:
    CrossfadeStateTest() {
        fade._progress.store(0.7f);
        fade._secondarySampleCount.store(100);
        fade._totalSamples.store(200);
        fade._secondarySamplesProcessed.store(300);
    }
    TAKCrossfadeState fade;
};

TEST_F(CrossfadeStateTest, PreparingStartsFromZero) {
    fade.beginPreparing();
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::preparing));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 0);
}

TEST_F(CrossfadeStateTest, FadingRestartsTheFadeWithALengthOfAtLeastOneFrame) {
    fade.startFading(4800);
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::fading));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.totalSamples(), 4800);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 300);  // the new pipeline's count goes on
    fade.startFading(0);
    EXPECT_EQ(fade.totalSamples(), 1);
}

TEST_F(CrossfadeStateTest, FinishReturnsToIdleWithEverythingZero) {
    fade.finish();
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::idle));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.totalSamples(), 0);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 0);
}

}  // namespace
}  // namespace tobble::engine
