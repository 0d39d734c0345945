#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"

namespace tobble::audio::sim {

// A test signal a simulated process plays: a sine of the given frequency and amplitude,
// identical on every channel. Amplitude 0 is silence. The value at a frame is a pure function of
// the device clock, so every device and tap hears the same waveform at the same moment.
struct Signal {
    double frequency = 440.0;
    float amplitude = 0.5f;

    static Signal sine(double frequency, float amplitude) { return {frequency, amplitude}; }
    static Signal silence() { return {440.0, 0.0f}; }
};

struct DeviceConfig {
    std::string uid;
    std::string name;
    uint32_t transportType = kAudioDeviceTransportTypeBuiltIn;
    uint32_t channels = 2;  // output channels; 0 makes an input-only device
    double sampleRate = 48000.0;
    uint32_t bufferFrames = 512;
    float volume = 1.0f;  // virtual main volume, 0…1
    bool muted = false;
    bool hasVolumeControl = true;
    bool makeDefault = false;
};

struct ProcessConfig {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    Signal signal;
};

// One device cycle as it reached the device's output, for measurements.
struct CycleRecord {
    double time = 0;  // dispatcher monotonic seconds at the start of the cycle
    uint32_t frames = 0;
    float rms = 0;  // over all samples of the cycle
    float peak = 0;
    float directRms = 0;     // the part played by processes straight to the device
    float aggregateRms = 0;  // the part written by I/O callbacks of aggregates on the device
};

// The simulated audio calls that fault injection can target, named as on the platform.
enum class SimCall {
    GetPropertyDataSize,     // "AudioObjectGetPropertyDataSize"
    GetPropertyData,         // "AudioObjectGetPropertyData" (string reads too)
    SetPropertyData,         // "AudioObjectSetPropertyData"
    AddPropertyListener,     // "AudioObjectAddPropertyListenerBlock"
    RemovePropertyListener,  // "AudioObjectRemovePropertyListenerBlock"
    CreateProcessTap,        // "AudioHardwareCreateProcessTap"
    DestroyProcessTap,       // "AudioHardwareDestroyProcessTap"
    CreateAggregateDevice,   // "AudioHardwareCreateAggregateDevice"
    DestroyAggregateDevice,  // "AudioHardwareDestroyAggregateDevice"
    CreateIOProcID,          // "AudioDeviceCreateIOProcIDWithBlock"
    DestroyIOProcID,         // "AudioDeviceDestroyIOProcID"
    DeviceStart,             // "AudioDeviceStart"
    DeviceStop,              // "AudioDeviceStop"
};
std::string_view simCallName(SimCall call);
std::optional<SimCall> simCallFromName(std::string_view name);

struct SimTapInfo {
    AudioObjectID id = 0;
    std::string uid;
    TapDescription description;
};

struct SimAggregateInfo {
    AudioObjectID id = 0;
    std::string uid;
    std::string mainDeviceUID;
    std::vector<std::string> tapUIDs;
    AudioValue description;
    bool alive = true;
};

// A small in-process audio server implementing the audio hardware interface. Devices run their
// cycles on timers of the given dispatcher, so the same system works in real time (the app's
// demo) and in virtual time (tests, the scenario runner).
//
// Per device cycle: every playing process not silenced by a tap that is being read is mixed into
// the device; every running I/O callback of an aggregate whose main device it is gets the mix of
// its taps' processes as input and a zeroed output buffer, which is then mixed into the device;
// callbacks registered on the device itself run with no input. What reaches the device is
// recorded. The device's own volume and mute are not applied to the recording: they are
// properties, like on real hardware where they act after the mixer.
class SimAudioSystem final : public AudioHardware {
  public:
    explicit SimAudioSystem(dispatch::Dispatcher& dispatcher);
    ~SimAudioSystem() override;

    SimAudioSystem(const SimAudioSystem&) = delete;
    SimAudioSystem& operator=(const SimAudioSystem&) = delete;

    // ---- devices
    AudioObjectID addDevice(const DeviceConfig& config);
    // The device vanishes: it leaves the device list, aggregates on it die, its processes move to
    // the new default (the first remaining device when it was the default).
    void removeDevice(std::string_view uid);
    void setDefaultOutput(std::string_view uid);
    std::optional<std::string> defaultOutputUID() const;
    std::optional<AudioObjectID> deviceID(std::string_view uid) const;
    void setDeviceVolume(std::string_view uid, float volume);
    void setDeviceMuted(std::string_view uid, bool muted);
    float deviceVolume(std::string_view uid) const;
    bool deviceMuted(std::string_view uid) const;

    // ---- processes
    AudioObjectID addProcess(const ProcessConfig& config);
    // Playing sets running and running-output; stopping clears both.
    void startPlaying(AudioObjectID process);
    void stopPlaying(AudioObjectID process);
    void setRunning(AudioObjectID process, bool running, bool runningOutput);
    void setSignal(AudioObjectID process, Signal signal);
    void removeProcessObject(AudioObjectID process);
    // The process exits: its process objects vanish and its pid stops existing.
    void exitProcess(pid_t pid);
    bool processExists(pid_t pid) const;
    std::vector<AudioObjectID> processObjects(pid_t pid) const;

    // ---- faults
    // The next `count` calls of `call` (only those for `selector`, when given) return `status`.
    void failNext(SimCall call, OSStatus status, int count = 1,
                  std::optional<uint32_t> selector = std::nullopt);
    void clearFaults();
    // A stalled device (or aggregate) skips its I/O callbacks until resumed; plain devices still
    // play processes directly.
    void setCallbacksStalled(std::string_view deviceUID, bool stalled);
    void setCallbacksStalled(AudioObjectID device, bool stalled);
    // The aggregate dies: its class probe fails, its callbacks stop, it leaves the device list.
    void killAggregate(AudioObjectID aggregate);

    // ---- inspection
    std::vector<SimTapInfo> taps() const;
    std::vector<SimAggregateInfo> aggregates() const;
    size_t ioProcCount() const;         // installed callbacks
    size_t runningIOProcCount() const;  // started callbacks
    size_t listenerCount() const;
    uint64_t callCount(SimCall call) const;

    // ---- recordings (per device, by UID; also kept after the device vanished)
    std::vector<CycleRecord> cycles(std::string_view deviceUID, double from = 0,
                                    double to = 1e300) const;
    // Interleaved samples of the recent past (at most `sampleHistorySeconds`), from `from` on.
    std::vector<float> samples(std::string_view deviceUID, uint32_t channel, double from = 0,
                               double to = 1e300) const;
    // RMS of one channel over [from, to).
    double rms(std::string_view deviceUID, uint32_t channel, double from, double to) const;
    void setSampleHistorySeconds(double seconds);
    // Cycle records are kept for a device's whole life unless limited here to the last
    // `seconds` (a long-running demo has no use for them); the records start afresh.
    void setCycleHistorySeconds(double seconds);
    void clearRecordings();

    // ---- AudioHardware
    bool hasProperty(AudioObjectID object, const PropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                 uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t size,
                             const void* data) override;
    OSStatus getPropertyString(AudioObjectID object, const PropertyAddress& address,
                               std::optional<std::string>& out) override;
    OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                 dispatch::QueuePtr queue, PropertyListenerBlock block) override;
    OSStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                    dispatch::QueuePtr queue, PropertyListenerBlock block) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const AudioValue& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcID(AudioObjectID device, dispatch::QueuePtr queue, IOProcBlock block,
                            IOProcID& outID) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID id) override;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tobble::audio::sim
