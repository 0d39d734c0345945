#include <gtest/gtest.h>

#include <limits>

#include "engine/pipeline/TAKVolumeState.h"

namespace tobble::engine {
namespace {

TEST(VolumeStateTest, SlotsWrapToTheirLowFiveBits) {
    TAKVolumeState volumes;
    volumes.write(33, 0.5f, false);
    volumes.write(0xFFFFFFFF, 0.25f, true);
    EXPECT_EQ(volumes.volume(1), 0.5f);
    EXPECT_EQ(volumes.volume(31), 0.25f);
    EXPECT_TRUE(volumes.muted(31));
    EXPECT_EQ(volumes.volume(0), 1.0f);
}

TEST(VolumeStateTest, VolumesAreClampedNaNMeansFullVolumeAndResetRestoresDefaults) {
    TAKVolumeState volumes;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, float> cases[] = {
        {1.7f, 1.7f}, {2.5f, kMaxVolume}, {-0.2f, 0.0f}, {nan, 1.0f}};
    for (const auto& [written, stored] : cases) {
        volumes.write(4, written, true);
        EXPECT_EQ(volumes.volume(4), stored) << written;
    }
    volumes.reset(36);
    EXPECT_EQ(volumes.volume(4), 1.0f);
    EXPECT_FALSE(volumes.muted(4));
}

}  // namespace
}  // namespace tobble::engine
