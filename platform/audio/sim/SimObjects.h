#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/AudioHardware.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/audio/sim/SimRecording.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Timer.h"

// The records of the simulated audio server. All fields are guarded by the sim's lock unless a
// comment says otherwise.
namespace tobble::audio::sim::detail {

// An installed I/O callback. Its buffers are sized at creation and only touched by the cycle of
// the device that drives it (the aggregate's main device, or the device itself).
struct SimIOProc {
    IOProcID id = 0;
    AudioObjectID device = 0;  // the device or aggregate it was installed on
    dispatch::QueuePtr queue;
    IOProcBlock block;

    // Read by the cycle without the lock, right before calling the block.
    std::atomic<bool> started{false};
    std::atomic<bool> destroyed{false};

    // Between the cycle handing the block its buffers and taking the output back.
    bool inFlight = false;
    std::thread::id inFlightThread;

    std::vector<std::vector<float>> inputs;  // one interleaved buffer per tap
    std::vector<uint32_t> inputChannels;
    std::vector<float> output;
    uint32_t outputChannels = 0;
    uint32_t frames = 0;
    AudioBufferList inputList;
    AudioBufferList outputList;
};

struct SimDevice {
    AudioObjectID id = 0;
    AudioObjectID stream = 0;  // the output stream; 0 for an input-only device
    DeviceConfig config;
    std::vector<float> channelVolumes;  // 'volm' of elements 1…channels
    bool muted = false;
    bool stalled = false;

    dispatch::QueuePtr queue;
    dispatch::TimerPtr timer;
    double clockOrigin = 0;  // monotonic seconds of frame 0
    uint64_t frameCounter = 0;
    std::shared_ptr<DeviceRecording> recording;

    // Cycle scratch, touched only by this device's cycle.
    std::vector<float> direct;
    std::vector<float> fromCallbacks;
    std::vector<float> total;
    std::vector<std::shared_ptr<SimIOProc>> jobs;

    float mainVolume() const;
    // Seconds on the device clock at `frame`; signals are functions of it.
    double timeAtFrame(uint64_t frame) const {
        return clockOrigin + static_cast<double>(frame) / config.sampleRate;
    }
};

struct SimProcess {
    AudioObjectID id = 0;
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    Signal signal;
    bool running = false;
    bool runningOutput = false;
};

struct SimTap {
    AudioObjectID id = 0;
    std::string uid;
    TapDescription description;
    uint32_t channels = 2;
    double sampleRate = 48000.0;
};

struct SimAggregate {
    AudioObjectID id = 0;
    AudioObjectID stream = 0;
    std::string uid;
    std::string name;
    AudioObjectID mainDevice = 0;
    std::string mainDeviceUID;
    std::vector<AudioObjectID> subDevices;
    std::vector<std::string> tapUIDs;
    std::vector<AudioObjectID> taps;
    AudioValue description;
    bool alive = true;
    bool stalled = false;
};

struct SimListener {
    AudioObjectID object = 0;
    PropertyAddress address;
    dispatch::QueuePtr queue;
    PropertyListenerBlock block;
};

// A listener call to make once the sim's lock is released.
struct PendingNotification {
    dispatch::QueuePtr queue;
    PropertyListenerBlock block;
    AudioObjectID object = 0;
    PropertyAddress address;
};

}  // namespace tobble::audio::sim::detail
