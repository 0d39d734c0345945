// The PipeWire backend against a real server in a private session. Verdicts rest on levels of
// a 1 kHz tone measured at the sinks, with wide tolerances and generous timeouts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/dispatch/RealDispatcher.h"
#include "tests/platform/pipewire/PipeWireTestSupport.h"

namespace tobble::audio::pipewire {
namespace {

using namespace std::chrono_literals;
using namespace testing;

class PipeWireBackendTest : public testing::SessionTest {
  protected:
    AudioObjectID deviceWithUID(const std::string& uid) {
        return testing::deviceWithUID(*hw_, uid);
    }

    AudioObjectID processWithPid(pid_t pid) {
        for (AudioObjectID id :
             readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyProcessObjectList})) {
            if (valueOf<int32_t>(*hw_, id, {kAudioProcessPropertyPID}) == pid) return id;
        }
        return kAudioObjectUnknown;
    }

    // The process object of `pid` once the server lists it, or kAudioObjectUnknown.
    AudioObjectID waitForProcess(pid_t pid) {
        AudioObjectID process = kAudioObjectUnknown;
        eventually([&] { return (process = processWithPid(pid)) != kAudioObjectUnknown; });
        return process;
    }

    // Taps the process and plays it through an aggregate on `deviceUID` at a fixed gain.
    struct Pipeline {
        AudioObjectID tap = 0;
        AudioObjectID aggregate = 0;
        IOProcID proc = 0;
    };
    Pipeline tapWithGain(AudioObjectID process, const std::string& deviceUID, const float* gain) {
        Pipeline p;
        auto description = TapDescription::stereoMixdown({process});
        description.uuid = "test-tap-" + std::to_string(process) + "-" + deviceUID;
        description.muteBehavior = TapMuteBehavior::MutedWhenTapped;
        EXPECT_EQ(hw_->createProcessTap(description, p.tap), kAudioHardwareNoError);
        AudioValue::Dictionary tap{{"uid", description.uuid}};
        AudioValue::Dictionary sub{{"uid", deviceUID}};
        AudioValue agg = AudioValue::Dictionary{{"uid", "test-agg-" + description.uuid},
                                                {"master", deviceUID},
                                                {"subdevices", AudioValue::Array{AudioValue(sub)}},
                                                {"taps", AudioValue::Array{AudioValue(tap)}}};
        EXPECT_EQ(hw_->createAggregateDevice(agg, p.aggregate), kAudioHardwareNoError);
        auto block = [gain](const AudioTimeStamp&, const AudioBufferList& in,
                            AudioBufferList& out) {
            const auto& i = in.mBuffers[0];
            auto& o = out.mBuffers[0];
            const size_t n = std::min(i.mDataByteSize, o.mDataByteSize) / sizeof(float);
            for (size_t k = 0; k < n; ++k) {
                static_cast<float*>(o.mData)[k] = static_cast<const float*>(i.mData)[k] * *gain;
            }
        };
        EXPECT_EQ(
            hw_->createIOProcID(p.aggregate, dispatcher_.makeSerialQueue("io"), block, p.proc),
            kAudioHardwareNoError);
        EXPECT_EQ(hw_->deviceStart(p.aggregate, p.proc), kAudioHardwareNoError);
        return p;
    }
    void tearDown(const Pipeline& p) {
        hw_->deviceStop(p.aggregate, p.proc);
        EXPECT_EQ(hw_->destroyIOProcID(p.aggregate, p.proc), kAudioHardwareNoError);
        EXPECT_EQ(hw_->destroyAggregateDevice(p.aggregate), kAudioHardwareNoError);
        EXPECT_EQ(hw_->destroyProcessTap(p.tap), kAudioHardwareNoError);
    }
};

TEST_F(PipeWireBackendTest, ListsSinksAsOutputDevicesWithTheirProperties) {
    const AudioObjectID spk = deviceWithUID("spk1");
    const AudioObjectID hp = deviceWithUID("hp2");
    ASSERT_NE(spk, kAudioObjectUnknown);
    ASSERT_NE(hp, kAudioObjectUnknown);
    EXPECT_EQ(readString(*hw_, spk, kAudioObjectPropertyName), "Speakers");
    EXPECT_EQ(readString(*hw_, hp, kAudioObjectPropertyName), "USB Headphones");
    EXPECT_EQ(valueOf<uint32_t>(*hw_, spk, {kAudioDevicePropertyTransportType}),
              kAudioDeviceTransportTypeVirtual);
    EXPECT_EQ(valueOf<double>(*hw_, spk, {kAudioDevicePropertyNominalSampleRate}), 48000.0);
    EXPECT_EQ(readIDs(*hw_, spk, {kAudioDevicePropertyStreams}).size(), 1u);
    EXPECT_TRUE(eventually([&] {
        return valueOf<AudioObjectID>(*hw_, kAudioObjectSystemObject,
                                      {kAudioHardwarePropertyDefaultOutputDevice}) == spk;
    }));
}

// The session's null sinks stand in for each kind of card: they are given the properties that
// PipeWire's ALSA and Bluetooth monitors put on real sinks.
TEST_F(PipeWireBackendTest, SinksAreKnownByTheirConnection) {
    const struct {
        const char* name;
        const char* props;
        uint32_t transport;
    } kinds[] = {
        {"kind.builtin", "device.bus=pci device.form-factor=internal",
         kAudioDeviceTransportTypeBuiltIn},
        {"kind.usb", "device.bus=usb device.profile.name=analog-stereo",
         kAudioDeviceTransportTypeUSB},
        {"kind.hdmi", "device.bus=pci device.profile.name=hdmi-stereo-extra1",
         kAudioDeviceTransportTypeHDMI},
        {"kind.dp",
         "device.bus=pci device.profile.name=hdmi-stereo "
         "device.profile.description=\"Digital Stereo (DisplayPort)\"",
         kAudioDeviceTransportTypeDisplayPort},
        {"kind.bt", "device.api=bluez5 api.bluez5.address=00:11:22:33:44:55",
         kAudioDeviceTransportTypeBluetooth},
        {"kind.virtual", "node.description=\"HDMI loopback\"", kAudioDeviceTransportTypeVirtual},
    };
    for (const auto& kind : kinds) {
        ASSERT_EQ(PrivateSession::run({"pw-cli", "create-node", "adapter",
                                       std::string("{ factory.name=support.null-audio-sink "
                                                   "media.class=Audio/Sink object.linger=true "
                                                   "priority.session=1 node.name=") +
                                           kind.name + " " + kind.props + " }"}),
                  0);
    }
    for (const auto& kind : kinds) {
        AudioObjectID sink = kAudioObjectUnknown;
        EXPECT_TRUE(eventually([&] { return (sink = deviceWithUID(kind.name)) != 0; }))
            << kind.name;
        EXPECT_EQ(valueOf<uint32_t>(*hw_, sink, {kAudioDevicePropertyTransportType}),
                  kind.transport)
            << kind.name;
    }
    for (const auto& kind : kinds) PrivateSession::run({"pw-cli", "destroy", kind.name});
}

TEST_F(PipeWireBackendTest, DefaultOutputChangeIsWrittenAndAnnounced) {
    const AudioObjectID spk = deviceWithUID("spk1");
    const AudioObjectID hp = deviceWithUID("hp2");
    std::atomic<int> calls{0};
    auto queue = dispatcher_.makeSerialQueue("listener");
    auto block =
        makeListenerBlock([&](AudioObjectID, std::span<const PropertyAddress>) { ++calls; });
    const PropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice};
    ASSERT_EQ(hw_->addPropertyListener(kAudioObjectSystemObject, address, queue, block), 0);
    ASSERT_EQ(write(*hw_, kAudioObjectSystemObject, address, hp), 0);
    EXPECT_TRUE(eventually(
        [&] { return valueOf<AudioObjectID>(*hw_, kAudioObjectSystemObject, address) == hp; }));
    EXPECT_TRUE(eventually([&] { return calls.load() > 0; }));
    ASSERT_EQ(write(*hw_, kAudioObjectSystemObject, address, spk), 0);
    EXPECT_TRUE(eventually(
        [&] { return valueOf<AudioObjectID>(*hw_, kAudioObjectSystemObject, address) == spk; }));
    EXPECT_EQ(hw_->removePropertyListener(kAudioObjectSystemObject, address, queue, block), 0);
}

TEST_F(PipeWireBackendTest, SystemVolumeAndMuteRoundTripOnTheSliderScale) {
    const AudioObjectID spk = deviceWithUID("spk1");
    const PropertyAddress volume{kAudioHardwareServiceDeviceProperty_VirtualMainVolume,
                                 kAudioObjectPropertyScopeOutput};
    const PropertyAddress mute{kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput};
    ASSERT_TRUE(eventually([&] { return valueOf<float>(*hw_, spk, volume).has_value(); }));
    std::atomic<int> calls{0};
    auto queue = dispatcher_.makeSerialQueue("listener");
    auto block =
        makeListenerBlock([&](AudioObjectID, std::span<const PropertyAddress>) { ++calls; });
    ASSERT_EQ(hw_->addPropertyListener(spk, volume, queue, block), 0);

    const float half = 0.5f;
    ASSERT_EQ(write(*hw_, spk, volume, half), 0);
    EXPECT_TRUE(eventually(
        [&] { return std::fabs(valueOf<float>(*hw_, spk, volume).value_or(0) - 0.5f) < 1e-3f; }));
    EXPECT_TRUE(eventually([&] { return calls.load() > 0; }));
    // The server holds the cube of the slider, as the desktop's mixers do.
    EXPECT_EQ(PrivateSession::run({"sh", "-c",
                                   "wpctl get-volume spk1 2>/dev/null | grep -q 0.50 || "
                                   "pw-dump spk1 | grep -q 0.125"}),
              0);

    const uint32_t on = 1;
    const uint32_t off = 0;
    ASSERT_EQ(write(*hw_, spk, mute, on), 0);
    EXPECT_TRUE(eventually([&] { return valueOf<uint32_t>(*hw_, spk, mute) == 1u; }));
    ASSERT_EQ(write(*hw_, spk, mute, off), 0);
    EXPECT_TRUE(eventually([&] { return valueOf<uint32_t>(*hw_, spk, mute) == 0u; }));
    const float full = 1.0f;
    ASSERT_EQ(write(*hw_, spk, volume, full), 0);
    EXPECT_TRUE(eventually([&] { return valueOf<float>(*hw_, spk, volume).value_or(0) > 0.999f; }));
    hw_->removePropertyListener(spk, volume, queue, block);
}

TEST_F(PipeWireBackendTest, PlayingApplicationBecomesARunningProcessObject) {
    Child app({TOBBLE_TONE_PLAYER, "0.5", "20"});
    const AudioObjectID process = waitForProcess(app.pid());
    ASSERT_NE(process, kAudioObjectUnknown);
    EXPECT_TRUE(eventually([&] {
        return valueOf<uint32_t>(*hw_, process, {kAudioProcessPropertyIsRunningOutput}) == 1u;
    }));
    EXPECT_EQ(valueOf<uint32_t>(*hw_, process, {kAudioProcessPropertyIsRunning}), 1u);
    EXPECT_EQ(readString(*hw_, process, kAudioProcessPropertyBundleID), "tobble_pw_tone");
    // Without a desktop entry the app is named and drawn as its stream describes it.
    const auto described = hw_->streamApplication(app.pid());
    ASSERT_TRUE(described);
    EXPECT_EQ(described->localizedName, "Tone Player");
    EXPECT_EQ(described->icon,
              (system::IconHandle{system::IconHandle::Kind::ThemeName, "audio-x-generic", 0}));
    const pid_t pid = app.pid();
    app.kill(SIGKILL);
    EXPECT_TRUE(eventually([&] { return processWithPid(pid) == kAudioObjectUnknown; }));
    EXPECT_FALSE(hw_->hasProperty(process, {kAudioProcessPropertyPID}));
}

// Programs that reach PipeWire through its PulseAudio server or through ALSA are named after
// the program, not the transport ("PipeWire ALSA [aplay]").
TEST_F(PipeWireBackendTest, PulseAndAlsaClientsAreNamedAfterTheirProgram) {
    const std::string wav = writeToneWav(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/tone.wav");
    for (const auto& [argv, name] :
         {std::pair{std::vector<std::string>{"paplay", wav}, "paplay"},
          std::pair{std::vector<std::string>{"aplay", "-q", wav}, "aplay"}}) {
        if (PrivateSession::run({"sh", "-c", "command -v " + argv[0] + " >/dev/null"}) != 0) {
            GTEST_SKIP() << argv[0] << " is not installed (install-deps)";
        }
        Child app(argv);
        ASSERT_NE(waitForProcess(app.pid()), kAudioObjectUnknown) << name;
        const auto described = hw_->streamApplication(app.pid());
        ASSERT_TRUE(described) << name;
        EXPECT_EQ(described->localizedName, name);
    }
}

TEST_F(PipeWireBackendTest, TappedApplicationIsHeardThroughTheBlockAtItsGain) {
    SinkRecorder rec("spk1");
    ASSERT_TRUE(rec.ok());
    Child app({TOBBLE_TONE_PLAYER, "0.5", "30"});
    const AudioObjectID process = waitForProcess(app.pid());
    ASSERT_NE(process, kAudioObjectUnknown);
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(rec.levelOfNext(0.4), kToneRms, 0.02) << "untapped app plays at full level";

    float gain = 0.5f;
    const auto p = tapWithGain(process, "spk1", &gain);
    std::this_thread::sleep_for(300ms);
    const double half = rec.levelOfNext(0.5);
    EXPECT_NEAR(half / kToneRms, 0.5, 0.02) << "gain 0.5 through tap and filter";
    std::printf("[ measure  ] gain 0.5 -> level ratio %.5f (%.3f dB error)\n", half / kToneRms,
                20 * std::log10(half / kToneRms / 0.5));

    gain = 0.0f;
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(rec.levelOfNext(0.3), 0.001) << "muted: nothing of the app leaks past the tap";

    const auto stats = hw_->filterStats();
    ASSERT_FALSE(stats.empty());
    EXPECT_GT(stats.front().cycles, 10u);

    tearDown(p);
    std::this_thread::sleep_for(300ms);
    EXPECT_NEAR(rec.levelOfNext(0.4), kToneRms, 0.02)
        << "back on the device at full level after untap";
    EXPECT_TRUE(readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyTapList}).empty());
}

// The session manager remembers a moved stream's target under keys other processes share (the
// media role first), so a second player would be sent into the first one's tap and play at its
// volume; the backend sends it back to the device.
TEST_F(PipeWireBackendTest, AnotherApplicationIsNeverRoutedIntoATap) {
    SinkRecorder rec("spk1");
    ASSERT_TRUE(rec.ok());
    Child first({TOBBLE_TONE_PLAYER, "0.5", "30"});
    const AudioObjectID process = waitForProcess(first.pid());
    ASSERT_NE(process, kAudioObjectUnknown);
    std::this_thread::sleep_for(300ms);
    float silent = 0.0f;
    const auto p = tapWithGain(process, "spk1", &silent);
    // The session manager writes what it remembers a second after the move.
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(rec.levelOfNext(0.3), 0.001) << "the tapped player is muted";

    Child second({TOBBLE_TONE_PLAYER, "0.5", "30"});
    ASSERT_TRUE(eventually([&] { return processWithPid(second.pid()) != kAudioObjectUnknown; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_NEAR(rec.levelOfNext(0.4), kToneRms, 0.03)
        << "the second player plays on the device at full level";
    tearDown(p);
}

TEST_F(PipeWireBackendTest, HelperProcessStreamIsItsOwnProcessObject) {
    Child app({TOBBLE_TONE_PLAYER, "0.5", "20", "--helper"});
    // The parent plays nothing: the stream belongs to its child, which the responsible-process
    // lookup groups under the parent.
    ASSERT_TRUE(eventually([&] {
        return readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyProcessObjectList})
                   .size() == 1;
    }));
    const AudioObjectID only =
        readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyProcessObjectList})[0];
    const auto pid = valueOf<int32_t>(*hw_, only, {kAudioProcessPropertyPID});
    ASSERT_TRUE(pid);
    EXPECT_NE(*pid, app.pid());
}

// Cost of our data thread: time inside the filters' callbacks per graph cycle, with 8 and 32
// applications tapped at once. The verdict only asks that every filter runs; the figures are
// printed for the record.
TEST_F(PipeWireBackendTest, ManyTappedApplicationsAllRunInTheDeviceCycle) {
    for (const size_t count : {size_t{8}, size_t{32}}) {
        std::vector<std::unique_ptr<Child>> apps;
        for (size_t i = 0; i < count; ++i) {
            apps.push_back(std::make_unique<Child>(
                std::vector<std::string>{TOBBLE_TONE_PLAYER, "0.05", "30"}));
        }
        std::vector<AudioObjectID> processes;
        ASSERT_TRUE(eventually(
            [&] {
                processes.clear();
                for (const auto& a : apps) {
                    if (AudioObjectID p = processWithPid(a->pid())) processes.push_back(p);
                }
                return processes.size() == count;
            },
            10000ms));
        float gain = 0.5f;
        std::vector<Pipeline> pipelines;
        for (AudioObjectID p : processes) pipelines.push_back(tapWithGain(p, "spk1", &gain));
        const auto before = hw_->filterStats();
        std::this_thread::sleep_for(1000ms);
        const auto after = hw_->filterStats();
        ASSERT_EQ(after.size(), count);
        uint64_t nanos = 0;
        uint64_t cycles = 0;
        for (size_t i = 0; i < after.size(); ++i) {
            EXPECT_GT(after[i].cycles, before[i].cycles) << "filter " << i << " never ran";
            nanos += after[i].busyNanos - before[i].busyNanos;
            cycles = std::max(cycles, after[i].cycles - before[i].cycles);
        }
        const double perCycleUs = cycles ? double(nanos) / double(cycles) / 1000.0 : 0.0;
        const double cycleUs = cycles ? 1e6 / double(cycles) : 0.0;
        std::printf(
            "[ measure  ] %zu tapped apps: %.1f us of our callbacks per cycle, %.2f %% of "
            "the %.1f ms cycle (%llu cycles/s)\n",
            count, perCycleUs, cycleUs > 0 ? 100.0 * perCycleUs / cycleUs : 0.0, cycleUs / 1000.0,
            static_cast<unsigned long long>(cycles));
        for (const auto& p : pipelines) tearDown(p);
    }
}

// The session manager restarts and its successor ignores every node its predecessor set up, so
// what we had built must vanish for the engine, whose ordinary calls then build anew. A tapped
// stream it set up is never linked by the successor: the new tap links it in itself.
TEST_F(PipeWireBackendTest, PolicyManagerRestartRetiresTapsAndAggregatesAndNewOnesWork) {
    Child app({TOBBLE_TONE_PLAYER, "0.5", "30"});
    const AudioObjectID process = waitForProcess(app.pid());
    ASSERT_NE(process, kAudioObjectUnknown);
    float gain = 0.5f;
    const auto old = tapWithGain(process, "spk1", &gain);
    std::atomic<int> tapListCalls{0};
    auto queue = dispatcher_.makeSerialQueue("listener");
    auto block =
        makeListenerBlock([&](AudioObjectID, std::span<const PropertyAddress>) { ++tapListCalls; });
    const PropertyAddress tapList{kAudioHardwarePropertyTapList};
    ASSERT_EQ(hw_->addPropertyListener(kAudioObjectSystemObject, tapList, queue, block), 0);

    ASSERT_TRUE(session_->restartPolicyManager());
    EXPECT_TRUE(eventually([&] {
        return readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyTapList}).empty();
    }));
    EXPECT_TRUE(eventually([&] { return tapListCalls.load() > 0; }));
    EXPECT_FALSE(hw_->hasProperty(old.aggregate, {kAudioObjectPropertyClass}))
        << "the aggregate still looks alive";
    const auto devices = readIDs(*hw_, kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
    EXPECT_EQ(std::count(devices.begin(), devices.end(), old.aggregate), 0);
    EXPECT_TRUE(eventually([] {
        return PrivateSession::run(
                   {"sh", "-c", "test $(pw-dump | grep -c '\"node.name\": \"tobble.') -eq 0"}) == 0;
    })) << "a node of ours outlived the session manager";
    IOProcID unused = 0;
    auto silent = [](const AudioTimeStamp&, const AudioBufferList&, AudioBufferList&) {};
    EXPECT_EQ(hw_->createIOProcID(old.aggregate, queue, silent, unused),
              kAudioHardwareBadObjectError);
    tearDown(old);  // the engine's teardown of what died succeeds

    ASSERT_NE(deviceWithUID("spk1"), kAudioObjectUnknown);
    SinkRecorder rec("spk1");  // the old sink took the recorder's links along
    ASSERT_TRUE(rec.ok());
    const auto fresh = tapWithGain(process, "spk1", &gain);
    EXPECT_TRUE(
        eventually([&] { return std::fabs(rec.levelOfNext(0.1) / kToneRms - 0.5) < 0.05; }));
    EXPECT_NEAR(rec.levelOfNext(0.3) / kToneRms, 0.5, 0.05)
        << "the application through the new tap";
    tearDown(fresh);
    hw_->removePropertyListener(kAudioObjectSystemObject, tapList, queue, block);
}

}  // namespace
}  // namespace tobble::audio::pipewire
