#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/pipeline/TAKCrossfadeState.h"
#include "engine/pipeline/TAKRMSBuffer.h"
#include "engine/pipeline/TAKVolumeState.h"

namespace tobble::engine {
namespace {

TEST(VolumeStateTest, StartsAtFullVolumeUnmuted) {
    TAKVolumeState volumes;
    for (uint32_t slot = 0; slot < kRealtimeSlotCount; ++slot) {
        EXPECT_EQ(volumes.volume(slot), 1.0f);
        EXPECT_FALSE(volumes.muted(slot));
    }
}

TEST(VolumeStateTest, SlotsWrapToTheirLowFiveBits) {
    TAKVolumeState volumes;
    volumes.write(33, 0.5f, false);
    EXPECT_EQ(volumes.volumes[1].load(), 0.5f);
    EXPECT_EQ(volumes.volume(1), 0.5f);
    volumes.write(0xFFFFFFFF, 0.25f, true);
    EXPECT_EQ(volumes.volumes[31].load(), 0.25f);
    EXPECT_EQ(volumes.mutes[31].load(), 1u);
    for (uint32_t slot : {0u, 2u, 30u}) EXPECT_EQ(volumes.volume(slot), 1.0f);
}

TEST(VolumeStateTest, VolumesAreClampedAndNaNMeansFullVolume) {
    TAKVolumeState volumes;
    volumes.write(4, 1.7f, false);
    EXPECT_EQ(volumes.volume(4), 1.0f);
    volumes.write(4, -0.2f, false);
    EXPECT_EQ(volumes.volume(4), 0.0f);
    volumes.write(4, std::numeric_limits<float>::quiet_NaN(), false);
    EXPECT_EQ(volumes.volume(4), 1.0f);
    volumes.write(4, -std::numeric_limits<float>::infinity(), false);
    EXPECT_EQ(volumes.volume(4), 0.0f);
}

TEST(VolumeStateTest, MuteIsStoredAsOneOrZeroAndResetRestoresTheDefaults) {
    TAKVolumeState volumes;
    volumes.write(7, 0.3f, true);
    EXPECT_EQ(volumes.mutes[7].load(), 1u);
    volumes.write(7, 0.3f, false);
    EXPECT_EQ(volumes.mutes[7].load(), 0u);
    volumes.write(7, 0.3f, true);
    volumes.reset(39);
    EXPECT_EQ(volumes.volume(7), 1.0f);
    EXPECT_FALSE(volumes.muted(7));
}

TEST(RMSBufferTest, AudibleAboveTheThresholdAndResetClearsBothWords) {
    TAKRMSBuffer levels;
    levels.rms[5].store(0.0001f);
    EXPECT_FALSE(levels.isAudible(5));
    levels.rms[5].store(0.00011f);
    levels.hostTime[5].store(1234);
    EXPECT_TRUE(levels.isAudible(37));
    levels.reset(37);
    EXPECT_EQ(levels.level(5), 0.0f);
    EXPECT_EQ(levels.hostTime[5].load(), 0u);
}

TEST(RealtimeTablesTest, SharedInstancesAreOneObjectEach) {
    EXPECT_EQ(&TAKVolumeState::shared(), &TAKVolumeState::shared());
    EXPECT_EQ(&TAKRMSBuffer::shared(), &TAKRMSBuffer::shared());
}

class CrossfadeStateTest : public ::testing::Test {
protected:
    void dirty() {
        fade._progress.store(0.7f);
        fade._secondarySampleCount.store(100);
        fade._totalSamples.store(200);
        fade._secondarySamplesProcessed.store(300);
    }
    TAKCrossfadeState fade;
};

TEST_F(CrossfadeStateTest, StartsIdleAndZero) {
    EXPECT_EQ(fade.phaseRaw(), 0);
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.totalSamples(), 0);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 0);
}

TEST_F(CrossfadeStateTest, PreparingZeroesEveryCounter) {
    dirty();
    fade.beginPreparing();
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::preparing));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.totalSamples(), 0);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 0);
}

TEST_F(CrossfadeStateTest, FadingRestartsTheFadeButKeepsTheProcessedCount) {
    dirty();
    fade.startFading(4800);
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::fading));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.totalSamples(), 4800);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 300);
}

TEST_F(CrossfadeStateTest, AFadeIsAtLeastOneFrameLong) {
    fade.startFading(0);
    EXPECT_EQ(fade.totalSamples(), 1);
    fade.startFading(-5);
    EXPECT_EQ(fade.totalSamples(), 1);
}

TEST_F(CrossfadeStateTest, FinishReturnsToIdleWithEverythingZero) {
    dirty();
    fade.startFading(4800);
    fade.finish();
    EXPECT_EQ(fade.phaseRaw(), static_cast<int64_t>(CrossfadePhase::idle));
    EXPECT_EQ(fade.progress(), 0.0f);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    EXPECT_EQ(fade.totalSamples(), 0);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 0);
}

}  // namespace
}  // namespace tobble::engine
