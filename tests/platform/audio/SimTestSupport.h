#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "tests/support/AudioProperties.h"

// Shared helpers of the simulated audio system's tests.
namespace tobble::audio::sim::testing {

inline constexpr double kSineRms05 = 0.5 / 1.4142135623730951;  // RMS of a 0.5-amplitude sine

using tobble::testing::global;
using tobble::testing::output;
using tobble::testing::read;
using tobble::testing::readIDs;
using tobble::testing::readString;
using tobble::testing::valueOf;
using tobble::testing::write;

// An aggregate description as the engine writes it: one sub-device that is also main and clock,
// and one tap.
inline AudioValue aggregateDescription(const std::string& uid, const std::string& deviceUID,
                                       const std::string& tapUID) {
    return AudioValue::Dictionary{
        {"name", "Test Aggregate"},
        {"uid", uid},
        {"master", deviceUID},
        {"clock", deviceUID},
        {"private", true},
        {"stacked", true},
        {"tapautostart", true},
        {"subdevices",
         AudioValue::Array{AudioValue::Dictionary{{"uid", deviceUID}, {"drift", false}}}},
        {"taps", AudioValue::Array{AudioValue::Dictionary{{"drift", true}, {"uid", tapUID}}}},
    };
}

// An I/O block that writes input × gain to the output (first input buffer, channel-matched).
inline IOProcBlock gainBlock(float gain, std::shared_ptr<int> calls = nullptr) {
    return [gain, calls](const AudioTimeStamp&, const AudioBufferList& in, AudioBufferList& out) {
        if (calls) ++*calls;
        if (in.mNumberBuffers == 0 || out.mNumberBuffers == 0) return;
        const auto& src = in.mBuffers[0];
        auto& dst = out.mBuffers[0];
        const auto* x = static_cast<const float*>(src.mData);
        auto* y = static_cast<float*>(dst.mData);
        const uint32_t frames = src.mDataByteSize / (4 * src.mNumberChannels);
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t c = 0; c < dst.mNumberChannels; ++c) {
                y[i * dst.mNumberChannels + c] =
                    gain * x[i * src.mNumberChannels + c % src.mNumberChannels];
            }
        }
    };
}

struct Pipeline {
    AudioObjectID tap = 0;
    std::string tapUID;
    AudioObjectID aggregate = 0;
    IOProcID proc = 0;
};

// A tap over `processes`, an aggregate `aggregateUID` on `deviceUID` holding it and a started
// callback on `ioQueue`, as the engine builds them.
inline Pipeline buildPipeline(SimAudioSystem& sim, std::vector<AudioObjectID> processes,
                              const std::string& deviceUID, const std::string& aggregateUID,
                              dispatch::QueuePtr ioQueue, IOProcBlock block,
                              TapMuteBehavior mute = TapMuteBehavior::MutedWhenTapped) {
    Pipeline p;
    auto description = TapDescription::streamSpecific(std::move(processes), deviceUID, 0);
    description.muteBehavior = mute;
    EXPECT_EQ(sim.createProcessTap(description, p.tap), kAudioHardwareNoError);
    p.tapUID = readString(sim, p.tap, kAudioTapPropertyUID).value_or("");
    EXPECT_EQ(sim.createAggregateDevice(aggregateDescription(aggregateUID, deviceUID, p.tapUID),
                                        p.aggregate),
              kAudioHardwareNoError);
    EXPECT_EQ(sim.createIOProcID(p.aggregate, std::move(ioQueue), std::move(block), p.proc),
              kAudioHardwareNoError);
    EXPECT_EQ(sim.deviceStart(p.aggregate, p.proc), kAudioHardwareNoError);
    return p;
}

// A virtual-time sim with two output devices; speakers are the default.
class SimFixture : public ::testing::Test {
  protected:
    // A pipeline on `deviceUID` with an aggregate of its own ("agg.1", "agg.2", ...).
    Pipeline buildPipeline(std::vector<AudioObjectID> processes, const std::string& deviceUID,
                           IOProcBlock block,
                           TapMuteBehavior mute = TapMuteBehavior::MutedWhenTapped) {
        return testing::buildPipeline(sim, std::move(processes), deviceUID,
                                      "agg." + std::to_string(++aggregates_), ioQueue,
                                      std::move(block), mute);
    }

    AudioObjectID addPlayer(pid_t pid, float amplitude = 0.5f, double frequency = 440.0) {
        const AudioObjectID id = sim.addProcess(
            {pid, "org.example.app" + std::to_string(pid), Signal::sine(frequency, amplitude)});
        sim.startPlaying(id);
        return id;
    }

    // Advances `seconds` and returns the channel-0 RMS of `deviceUID` over that span.
    double rmsOfNext(const std::string& deviceUID, double seconds) {
        const double from = dispatcher.now();
        dispatcher.advance(seconds);
        return sim.rms(deviceUID, 0, from, dispatcher.now());
    }

    dispatch::VirtualDispatcher dispatcher;
    SimAudioSystem sim{dispatcher};
    dispatch::QueuePtr queue = dispatcher.makeSerialQueue("test");
    dispatch::QueuePtr ioQueue = dispatcher.makeSerialQueue("test.io");
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID headphones = sim.addDevice({.uid = "headphones",
                                              .name = "Headphones",
                                              .transportType = kAudioDeviceTransportTypeUSB,
                                              .sampleRate = 44100.0});

  private:
    int aggregates_ = 0;
};

}  // namespace tobble::audio::sim::testing
