#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/audio/sim/SimFaults.h"
#include "platform/audio/sim/SimObjects.h"
#include "platform/audio/sim/SimRecording.h"

namespace tobble::audio::sim::detail {

struct SimCore;

std::string freshUUID();

inline constexpr PropertyAddress kDeviceListAddress{kAudioHardwarePropertyDevices};
inline constexpr PropertyAddress kProcessListAddress{kAudioHardwarePropertyProcessObjectList};
inline constexpr PropertyAddress kTapListAddress{kAudioHardwarePropertyTapList};
inline constexpr PropertyAddress kIsAliveAddress{kAudioDevicePropertyDeviceIsAlive};

// A property value as the sim produces it, before it is copied out to the caller.
struct PropertyValue {
    enum class Kind { Fixed, ObjectList, String };
    Kind kind = Kind::Fixed;
    std::vector<uint8_t> bytes;
    std::vector<AudioObjectID> objects;
    std::optional<std::string> string;

    static PropertyValue ofBytes(const void* data, size_t size);
    template <typename T>
    static PropertyValue of(const T& value) {
        return ofBytes(&value, sizeof(T));
    }
    static PropertyValue ofObjects(std::vector<AudioObjectID> objects);
    static PropertyValue ofString(std::optional<std::string> string);

    // Bytes a full read takes; a string reads as the platform's 8-byte reference.
    uint32_t byteSize() const;
};

// Lets device timers reach the core only while it exists, and lets its owner wait for the
// cycles in progress before tearing it down.
class CycleGate {
  public:
    explicit CycleGate(SimCore* core) : core_(core) {}

    template <typename Fn>
    void enter(Fn&& fn) {
        SimCore* core;
        {
            std::lock_guard lock(mutex_);
            core = core_;
            if (!core) return;
            ++active_;
        }
        fn(*core);
        {
            std::lock_guard lock(mutex_);
            --active_;
        }
        idle_.notify_all();
    }

    void close() {
        std::unique_lock lock(mutex_);
        core_ = nullptr;
        idle_.wait(lock, [&] { return active_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable idle_;
    SimCore* core_;
    int active_ = 0;
};

// One call into the sim: holds its lock, and collects the listener calls and the objects to
// drop, which happen only after the lock is released (a listener or a block's destructor may
// call back into the sim).
class Transaction {
  public:
    explicit Transaction(SimCore& core);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    std::unique_lock<std::mutex>& lock() { return lock_; }

    // Counts the call and returns an injected status for it, if one is due.
    std::optional<OSStatus> fault(SimCall call, std::optional<uint32_t> selector = std::nullopt);

    // Notifies every listener of `address` on `object`.
    void notify(AudioObjectID object, const PropertyAddress& address);

    template <typename T>
    void dispose(T&& value) {
        garbage_.push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(value)));
    }

  private:
    SimCore& core_;
    std::unique_lock<std::mutex> lock_;
    std::vector<PendingNotification> notifications_;
    std::vector<std::shared_ptr<void>> garbage_;
};

// The state of the simulated audio server and the operations shared by its parts: property
// access (SimProperties.cpp), device cycles (SimRenderer.cpp), and the object bookkeeping below.
struct SimCore {
    explicit SimCore(dispatch::Dispatcher& dispatcher);
    ~SimCore();

    dispatch::Dispatcher& dispatcher;
    std::shared_ptr<CycleGate> gate;

    mutable std::mutex mutex;
    std::condition_variable callbackLanded;  // an in-flight I/O block has returned

    AudioObjectID nextObjectID = 40;
    IOProcID nextIOProcID = 1;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    double sampleHistorySeconds = 30.0;
    double cycleHistorySeconds = std::numeric_limits<double>::infinity();

    std::map<AudioObjectID, std::shared_ptr<SimDevice>> devices;
    std::map<AudioObjectID, SimAggregate> aggregates;  // dead ones stay until destroyed
    std::map<AudioObjectID, SimProcess> processes;
    std::map<AudioObjectID, SimTap> taps;
    std::map<AudioObjectID, AudioObjectID> streams;  // stream → owning device
    std::map<IOProcID, std::shared_ptr<SimIOProc>> ioProcs;
    std::vector<SimListener> listeners;
    std::map<std::string, std::shared_ptr<DeviceRecording>, std::less<>> recordings;
    // Queues of removed devices: a cycle may still be finishing on one.
    std::vector<dispatch::QueuePtr> retiredQueues;
    FaultTable faults;

    // ---- lookups
    AudioObjectID newObjectID() { return nextObjectID++; }
    SimDevice* device(AudioObjectID id) const;
    SimDevice* deviceByUID(std::string_view uid) const;
    SimAggregate* liveAggregate(AudioObjectID id);
    const SimAggregate* liveAggregate(AudioObjectID id) const;
    const SimAggregate* liveAggregateByUID(std::string_view uid) const;
    const SimTap* tapByUID(std::string_view uid) const;
    bool isDeviceOrAggregate(AudioObjectID id) const;
    uint32_t outputChannels(AudioObjectID deviceOrAggregate) const;
    // Devices and live aggregates, in creation order.
    std::vector<AudioObjectID> deviceList() const;
    // The device whose cycles play the processes: the default output, or an aggregate's main.
    AudioObjectID playbackDevice() const;
    bool hasStartedCallback(AudioObjectID deviceOrAggregate) const;

    // ---- properties (SimProperties.cpp)
    OSStatus readProperty(AudioObjectID object, const PropertyAddress& address,
                          PropertyValue& out) const;
    OSStatus writeProperty(Transaction& tx, AudioObjectID object, const PropertyAddress& address,
                           uint32_t size, const void* data);

    // ---- changes
    void setDefaultOutput(Transaction& tx, AudioObjectID device);
    // Picks a new default when the current one is gone or none was set.
    void ensureDefaultOutput(Transaction& tx);
    void setVolume(Transaction& tx, SimDevice& device, std::optional<uint32_t> channel,
                   float volume);
    void setMuted(Transaction& tx, SimDevice& device, bool muted);
    void setProcessState(Transaction& tx, SimProcess& process, bool running, bool runningOutput);
    void killAggregate(Transaction& tx, SimAggregate& aggregate);
    // Removes the callback; waits while a cycle is running its block on another thread.
    void removeIOProc(Transaction& tx, IOProcID id);
    void removeIOProcsOf(Transaction& tx, AudioObjectID deviceOrAggregate);

    // ---- cycles (SimRenderer.cpp)
    void startClock(SimDevice& device);
    void runCycle(AudioObjectID deviceID);
    bool isSilencedByTap(AudioObjectID process) const;
    bool isTapRead(AudioObjectID tap) const;
    void renderTapInput(const SimTap* tap, const SimDevice& clockDevice, float* out,
                        uint32_t channels) const;
};

}  // namespace tobble::audio::sim::detail

namespace tobble::audio::sim {
// The sim's state behind its public face; everything lives in SimCore.
struct SimAudioSystem::State : detail::SimCore {
    using SimCore::SimCore;
};
}  // namespace tobble::audio::sim
