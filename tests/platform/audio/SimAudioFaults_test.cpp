// Fault injection of the simulated system.
#include "tests/platform/audio/SimTestSupport.h"

namespace tobble::audio::sim::testing {
namespace {

class SimAudioFaultsTest : public SimFixture {};

// A rule fails only its call and selector, `count` times or until cleared.
TEST_F(SimAudioFaultsTest, InjectedStatusComesBackExactlyNTimesForItsSelector) {
    sim.failNext(SimCall::GetPropertyData, kAudioHardwareBadObjectError, 2,
                 kAudioHardwarePropertyDevices);
    const uint64_t before = sim.callCount(SimCall::GetPropertyData);
    const auto readDevices = [&] {
        AudioObjectID ids[4];
        uint32_t size = sizeof(ids);
        return sim.getPropertyData(1, global(kAudioHardwarePropertyDevices), size, ids);
    };
    AudioObjectID def = 0;
    EXPECT_EQ(readDevices(), kAudioHardwareBadObjectError);
    EXPECT_EQ(read(sim, 1, global(kAudioHardwarePropertyDefaultOutputDevice), def), 0);
    EXPECT_EQ(readDevices(), kAudioHardwareBadObjectError);
    EXPECT_EQ(readDevices(), 0);
    EXPECT_EQ(sim.callCount(SimCall::GetPropertyData), before + 4);

    sim.failNext(SimCall::GetPropertyDataSize, kAudio_ParamError, 1, kAudioObjectPropertyClass);
    uint32_t size = 0;
    EXPECT_EQ(sim.getPropertyDataSize(speakers, global(kAudioDevicePropertyStreams), size), 0);
    EXPECT_EQ(sim.getPropertyDataSize(speakers, global(kAudioObjectPropertyClass), size),
              kAudio_ParamError);
    EXPECT_EQ(sim.getPropertyDataSize(speakers, global(kAudioObjectPropertyClass), size), 0);

    sim.failNext(SimCall::DeviceStart, kAudioHardwareNotRunningError, 5);
    sim.clearFaults();
    EXPECT_EQ(sim.deviceStart(speakers, 0), 0);
}

TEST_F(SimAudioFaultsTest, FailedCallsChangeNothing) {
    const AudioObjectID p = addPlayer(501);
    sim.failNext(SimCall::CreateProcessTap, kAudioHardwareIllegalOperationError);
    AudioObjectID tap = 0;
    EXPECT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({p}), tap),
              kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(sim.taps().empty());
    EXPECT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({p}), tap), 0);

    IOProcID proc = 0;
    ASSERT_EQ(sim.createIOProcID(speakers, ioQueue, gainBlock(1), proc), 0);
    sim.failNext(SimCall::DestroyIOProcID, kAudioHardwareUnspecifiedError);
    EXPECT_EQ(sim.destroyIOProcID(speakers, proc), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(sim.ioProcCount(), 1u);
    EXPECT_EQ(sim.destroyIOProcID(speakers, proc), 0);
    EXPECT_EQ(sim.callCount(SimCall::DestroyIOProcID), 2u);
}

TEST_F(SimAudioFaultsTest, CallNamesAreThePlatformFunctions) {
    EXPECT_EQ(simCallFromName("AudioDeviceCreateIOProcIDWithBlock"), SimCall::CreateIOProcID);
    for (int i = 0; i <= static_cast<int>(SimCall::DeviceStop); ++i) {
        const auto call = static_cast<SimCall>(i);
        EXPECT_EQ(simCallFromName(simCallName(call)), call) << simCallName(call);
    }
    EXPECT_EQ(simCallFromName("AudioDeviceStartAtTime"), std::nullopt);
}

}  // namespace
}  // namespace tobble::audio::sim::testing
