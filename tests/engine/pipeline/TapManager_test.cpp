#include <gtest/gtest.h>

#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/ErrorText.h"

namespace tobble::engine {
namespace {

using namespace audio;
using audio::sim::SimCall;
using tobble::testing::errorOf;

class TapManagerTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};
    TAKTapManager taps{sim};
    log::ScopedCapture capture;
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID p42 = sim.addProcess({42, "com.example.A", {}});
    AudioObjectID p7 = sim.addProcess({42, "com.example.A.helper", {}});
    AudioObjectID p19 = sim.addProcess({42, "com.example.A.helper2", {}});
};

TEST_F(TapManagerTest, StreamSpecificTapOnThePreferredDevice) {
    const auto tap = taps.createTap(42, {p42, p7, p19}, std::string("speakers"));
    const auto all = sim.taps();
    ASSERT_EQ(all.size(), 1u);
    const auto& description = all[0].description;
    EXPECT_EQ(description.processes, (std::vector<AudioObjectID>{p42, p7, p19}));
    EXPECT_FALSE(description.isMixdown);
    EXPECT_EQ(description.deviceUID, "speakers");
    EXPECT_EQ(tap.uid, all[0].uid);
    EXPECT_EQ(tap.format.mSampleRate, 48000.0);
}

TEST_F(TapManagerTest, MixdownWithoutALogLineWhenNoStreamCanBeChosen) {
    sim.addDevice({.uid = "mic", .name = "Microphone", .channels = 0});
    for (std::optional<std::string> preferred :
         {std::optional<std::string>(), std::optional<std::string>("nowhere"),
          std::optional<std::string>("mic")}) {
        const auto tap = taps.createTap(42, {p42}, preferred);
        EXPECT_TRUE(sim.taps().back().description.isMixdown);
        taps.destroy(tap);
    }
    EXPECT_TRUE(capture->messages(log::Level::Error).empty());
    EXPECT_TRUE(sim.taps().empty());
}

TEST_F(TapManagerTest, FailedStreamSpecificAttemptFallsBackToMixdownWithOneErrorLine) {
    sim.failNext(SimCall::CreateProcessTap, kAudioHardwareIllegalOperationError);
    const auto tap = taps.createTap(42, {p42, p7}, std::string("speakers"));
    EXPECT_TRUE(sim.taps().at(0).description.isMixdown);
    EXPECT_EQ(tap.format.mChannelsPerFrame, 2u);
    EXPECT_EQ(capture->messages(log::Level::Error),
              std::vector<std::string>{
                  "stream-specific tap create failed pid=42 n=2 status=1852797029 (nope) — "
                  "falling back to mixdown"});
}

TEST_F(TapManagerTest, FailuresThrowWhatFailedAndLeaveNoTap) {
    auto createError = [&](std::set<AudioObjectID> processes) {
        return errorOf([&] { taps.createTap(42, processes, std::string("speakers")); });
    };
    sim.failNext(SimCall::CreateProcessTap, kAudioHardwareIllegalOperationError);
    sim.failNext(SimCall::CreateProcessTap, kAudioHardwareBadObjectError);
    EXPECT_EQ(createError({p42}),  // the mixdown attempt's status
              "CoreAudio error 560947818 (!obj): AudioHardwareCreateProcessTap pid=42 n=1");
    EXPECT_EQ(createError({}), "No audible output process to tap");
    sim.failNext(SimCall::GetPropertyData, kAudioHardwareUnknownPropertyError, 1,
                 kAudioTapPropertyUID);
    EXPECT_EQ(createError({p42}), "Created tap has no kAudioTapPropertyUID");
    EXPECT_TRUE(sim.taps().empty());  // the nameless tap was destroyed again
}

TEST_F(TapManagerTest, UnreadableFormatIsAllZeroAndDestroyFailuresAreLogged) {
    sim.failNext(SimCall::GetPropertyData, kAudioHardwareUnknownPropertyError, 1,
                 kAudioTapPropertyFormat);
    const auto tap = taps.createTap(42, {p42}, std::nullopt);
    EXPECT_EQ(tap.format.mSampleRate, 0.0);
    EXPECT_EQ(tap.format.mChannelsPerFrame, 0u);

    taps.destroy(tap);
    taps.destroy(tap);  // already gone
    EXPECT_EQ(capture->messages(log::Level::Error),
              std::vector<std::string>{"tap destroy failed status=560947818 (!obj) tapID=" +
                                       std::to_string(tap.tapID)});
}

}  // namespace
}  // namespace tobble::engine
