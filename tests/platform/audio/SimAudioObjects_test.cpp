// The simulated system's object model as the engine reads it through properties.
#include "tests/platform/audio/SimTestSupport.h"

namespace tobble::audio::sim::testing {
namespace {

class SimAudioObjectsTest : public SimFixture {};

TEST_F(SimAudioObjectsTest, DeviceListHoldsDevicesAndLiveAggregatesInCreationOrder) {
    const AudioObjectID p = addPlayer(501);
    const Pipeline pipe = buildPipeline({p}, "speakers", gainBlock(1));
    EXPECT_EQ(readIDs(sim, 1, global(kAudioHardwarePropertyDevices)),
              (std::vector<AudioObjectID>{speakers, headphones, pipe.aggregate}));

    // Ids are never handed out twice, even for a device that comes back.
    sim.removeDevice("headphones");
    const AudioObjectID again = sim.addDevice({.uid = "headphones", .name = "Headphones"});
    EXPECT_GT(again, pipe.aggregate);
    EXPECT_EQ(readIDs(sim, 1, global(kAudioHardwarePropertyDevices)),
              (std::vector<AudioObjectID>{speakers, pipe.aggregate, again}));
}

TEST_F(SimAudioObjectsTest, InputOnlyDeviceHasNoOutputStreamAndNeverBecomesDefault) {
    sim.removeDevice("speakers");
    sim.removeDevice("headphones");
    const AudioObjectID mic = sim.addDevice({.uid = "mic", .name = "Mic", .channels = 0});
    EXPECT_TRUE(readIDs(sim, mic, output(kAudioDevicePropertyStreams)).empty());
    uint32_t size = 0;
    EXPECT_EQ(sim.getPropertyDataSize(mic, output(kAudioDevicePropertyStreamConfiguration), size),
              0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(valueOf<uint32_t>(sim, 1, global(kAudioHardwarePropertyDefaultOutputDevice)), 0u);
    EXPECT_EQ(sim.defaultOutputUID(), std::nullopt);
}

TEST_F(SimAudioObjectsTest, VolumeAndMuteAreSettableAndClamped) {
    const auto mainVolume = output(kAudioHardwareServiceDeviceProperty_VirtualMainVolume);
    const auto channel = [](uint32_t element) {
        return output(kAudioDevicePropertyVolumeScalar, element);
    };
    ASSERT_EQ(write(sim, speakers, mainVolume, 1.5f), kAudioHardwareNoError);
    EXPECT_EQ(valueOf<float>(sim, speakers, mainVolume), 1.0f);
    ASSERT_EQ(write(sim, speakers, channel(2), 0.25f), kAudioHardwareNoError);
    EXPECT_EQ(valueOf<float>(sim, speakers, channel(1)), 1.0f);
    EXPECT_EQ(valueOf<float>(sim, speakers, channel(2)), 0.25f);
    float unused = 0;
    for (uint32_t element : {0u, 3u}) {  // the main element and one past the stereo channels
        EXPECT_EQ(read(sim, speakers, channel(element), unused),
                  kAudioHardwareUnknownPropertyError);
    }

    ASSERT_EQ(write(sim, speakers, output(kAudioDevicePropertyMute), uint32_t{1}), 0);
    EXPECT_TRUE(sim.deviceMuted("speakers"));
    EXPECT_EQ(valueOf<uint32_t>(sim, speakers, output(kAudioDevicePropertyMute)), 1u);

    EXPECT_EQ(write(sim, speakers, mainVolume, std::nanf("")), kAudio_ParamError);
    // Read-only properties refuse writes.
    EXPECT_EQ(write(sim, speakers, global(kAudioDevicePropertyNominalSampleRate), 96000.0),
              kAudioHardwareIllegalOperationError);
}

TEST_F(SimAudioObjectsTest, DeviceWithoutVolumeControlAnswersUnknownProperty) {
    const AudioObjectID hdmi = sim.addDevice({.uid = "hdmi",
                                              .name = "Display",
                                              .transportType = kAudioDeviceTransportTypeHDMI,
                                              .hasVolumeControl = false});
    const float volume = 0.5f;
    for (const auto& address :
         {output(kAudioHardwareServiceDeviceProperty_VirtualMainVolume),
          output(kAudioDevicePropertyVolumeScalar, 1), output(kAudioDevicePropertyMute)}) {
        EXPECT_FALSE(sim.hasProperty(hdmi, address)) << address.selector;
        EXPECT_EQ(valueOf<float>(sim, hdmi, address), std::nullopt) << address.selector;
        EXPECT_EQ(write(sim, hdmi, address, volume), kAudioHardwareUnknownPropertyError);
    }
}

TEST_F(SimAudioObjectsTest, ReadsCheckObjectSelectorAndBufferSize) {
    uint32_t value = 0;
    EXPECT_EQ(read(sim, 9999, global(kAudioObjectPropertyClass), value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(read(sim, speakers, global(fourCharCode("zzzz")), value),
              kAudioHardwareUnknownPropertyError);

    uint16_t tooSmall = 0;
    uint32_t size = sizeof(tooSmall);
    EXPECT_EQ(
        sim.getPropertyData(speakers, global(kAudioDevicePropertyTransportType), size, &tooSmall),
        kAudioHardwareBadPropertySizeError);

    // An array read copies as many whole ids as fit and reports the bytes written.
    AudioObjectID ids[3] = {0, 0, 0};
    size = 6;
    ASSERT_EQ(sim.getPropertyData(1, global(kAudioHardwarePropertyDevices), size, ids), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], speakers);
    EXPECT_EQ(ids[1], 0u);
}

TEST_F(SimAudioObjectsTest, ProcessObjectsReportPidBundleAndRunningState) {
    const AudioObjectID helper = sim.addProcess({.pid = 777, .bundleID = std::nullopt});
    const AudioObjectID player = addPlayer(501);
    EXPECT_EQ(readIDs(sim, 1, global(kAudioHardwarePropertyProcessObjectList)),
              (std::vector<AudioObjectID>{helper, player}));

    // A process without a bundle id reads as no error and no string.
    std::optional<std::string> bundle = "stale";
    EXPECT_EQ(sim.getPropertyString(helper, global(kAudioProcessPropertyBundleID), bundle), 0);
    EXPECT_EQ(bundle, std::nullopt);

    EXPECT_EQ(valueOf<uint32_t>(sim, helper, global(kAudioProcessPropertyIsRunning)), 0u);
    EXPECT_EQ(valueOf<uint32_t>(sim, player, global(kAudioProcessPropertyIsRunning)), 1u);
    EXPECT_EQ(valueOf<uint32_t>(sim, player, global(kAudioProcessPropertyIsRunningOutput)), 1u);

    sim.exitProcess(501);
    EXPECT_FALSE(sim.processExists(501));
    EXPECT_TRUE(sim.processExists(777));
    uint32_t pid = 0;
    EXPECT_EQ(read(sim, player, global(kAudioProcessPropertyPID), pid),
              kAudioHardwareBadObjectError);
}

TEST_F(SimAudioObjectsTest, TapFormatFollowsTheTappedDeviceOrTheDefaultOutput) {
    const AudioObjectID p = addPlayer(501);
    sim.addDevice({.uid = "surround", .name = "Surround", .channels = 6, .sampleRate = 96000.0});
    auto specific = TapDescription::streamSpecific({p}, "surround", 0);
    specific.uuid = "6F1C2E1A-0000-4000-8000-000000000001";
    AudioObjectID tap = 0;
    ASSERT_EQ(sim.createProcessTap(specific, tap), 0);
    EXPECT_EQ(readString(sim, tap, kAudioTapPropertyUID), specific.uuid);
    AudioStreamBasicDescription format;
    ASSERT_EQ(read(sim, tap, global(kAudioTapPropertyFormat), format), 0);
    EXPECT_EQ(format.mSampleRate, 96000.0);
    EXPECT_EQ(format.mChannelsPerFrame, 6u);
    EXPECT_EQ(format.mBytesPerFrame, 24u);

    AudioObjectID mixdown = 0;
    ASSERT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({p}), mixdown), 0);
    ASSERT_EQ(read(sim, mixdown, global(kAudioTapPropertyFormat), format), 0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mSampleRate, 48000.0);  // the default output's rate
    EXPECT_EQ(readString(sim, mixdown, kAudioTapPropertyUID).value_or("").size(), 36u);

    EXPECT_EQ(readIDs(sim, 1, global(kAudioHardwarePropertyTapList)),
              (std::vector<AudioObjectID>{tap, mixdown}));
}

TEST_F(SimAudioObjectsTest, TapCreationRejectsBadDescriptions) {
    const AudioObjectID p = addPlayer(501);
    AudioObjectID tap = 0;
    EXPECT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({}), tap), kAudio_ParamError);
    EXPECT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({p, 9999}), tap),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(sim.createProcessTap(TapDescription::streamSpecific({p}, "nowhere", 0), tap),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(sim.createProcessTap(TapDescription::streamSpecific({p}, "speakers", 3), tap),
              kAudioHardwareBadStreamError);
    auto named = TapDescription::stereoMixdown({p});
    named.uuid = "6F1C2E1A-0000-4000-8000-000000000002";
    ASSERT_EQ(sim.createProcessTap(named, tap), 0);
    AudioObjectID twin = 0;
    EXPECT_EQ(sim.createProcessTap(named, twin), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(sim.taps().size(), 1u);
    EXPECT_EQ(sim.destroyProcessTap(tap), 0);
    EXPECT_EQ(sim.destroyProcessTap(tap), kAudioHardwareBadObjectError);
}

TEST_F(SimAudioObjectsTest, AggregateIsADeviceOfItsOwnClassOverItsMainDevice) {
    const Pipeline pipe = buildPipeline({addPlayer(501)}, "headphones", gainBlock(1));
    EXPECT_EQ(valueOf<uint32_t>(sim, pipe.aggregate, global(kAudioObjectPropertyClass)),
              kAudioAggregateDeviceClassID);
    EXPECT_EQ(valueOf<uint32_t>(sim, pipe.aggregate, global(kAudioDevicePropertyTransportType)),
              kAudioDeviceTransportTypeAggregate);
    EXPECT_EQ(valueOf<double>(sim, pipe.aggregate, global(kAudioDevicePropertyNominalSampleRate)),
              44100.0);
    EXPECT_EQ(readIDs(sim, pipe.aggregate, global(kAudioAggregateDevicePropertyTapList)),
              std::vector<AudioObjectID>{pipe.tap});
    EXPECT_FALSE(sim.hasProperty(pipe.aggregate,
                                 output(kAudioHardwareServiceDeviceProperty_VirtualMainVolume)));
}

TEST_F(SimAudioObjectsTest, AggregateCreationNeedsExistingMembersAndAFreshUID) {
    const AudioObjectID p = addPlayer(501);
    AudioObjectID tap = 0;
    ASSERT_EQ(sim.createProcessTap(TapDescription::stereoMixdown({p}), tap), 0);
    const std::string tapUID = readString(sim, tap, kAudioTapPropertyUID).value();
    AudioObjectID agg = 0;
    EXPECT_EQ(sim.createAggregateDevice(aggregateDescription("a", "nowhere", tapUID), agg),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(sim.createAggregateDevice(aggregateDescription("a", "speakers", "no-such-tap"), agg),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(sim.createAggregateDevice(AudioValue("not a dictionary"), agg), kAudio_ParamError);
    ASSERT_EQ(sim.createAggregateDevice(aggregateDescription("a", "speakers", tapUID), agg), 0);
    AudioObjectID twin = 0;
    EXPECT_EQ(sim.createAggregateDevice(aggregateDescription("a", "speakers", tapUID), twin),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(sim.aggregates().size(), 1u);
}

TEST_F(SimAudioObjectsTest, DefaultOutputIsReadAndWrittenThroughTheSystemObject) {
    EXPECT_EQ(valueOf<AudioObjectID>(sim, 1, global(kAudioHardwarePropertyDefaultOutputDevice)),
              speakers);
    ASSERT_EQ(write(sim, 1, global(kAudioHardwarePropertyDefaultOutputDevice), headphones), 0);
    EXPECT_EQ(sim.defaultOutputUID(), "headphones");
    const AudioObjectID bogus = 4242;
    EXPECT_EQ(write(sim, 1, global(kAudioHardwarePropertyDefaultOutputDevice), bogus),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(sim.defaultOutputUID(), "headphones");
}

}  // namespace
}  // namespace tobble::audio::sim::testing
