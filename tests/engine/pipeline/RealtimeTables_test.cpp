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

// A fade of zero frames would divide by zero in the callback's progress.
TEST(CrossfadeStateTest, FadeLastsAtLeastOneFrame) {
    TAKCrossfadeState fade;
    fade.startFading(0);
    EXPECT_EQ(fade.totalSamples(), 1);
}

}  // namespace
}  // namespace tobble::engine
