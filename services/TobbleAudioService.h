#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/TobbleClient.h"
#include "platform/Environment.h"
#include "platform/audio/AudioHardware.h"
#include "platform/log/Log.h"

namespace tobble::engine {
class TAKEngine;
class TAKTapCatalog;
}  // namespace tobble::engine

namespace tobble::app {

// The application's gateway to the audio system for everything that is not a per-application
// pipeline: the output devices, the default output's volume and mute, change notifications for
// both, and the change-detecting read of the engine's client list.
//
// Hardware access and listener bookkeeping run on the service's own serial queue_; a caller on
// another thread blocks until its call is done. Subscriber callbacks always arrive on the main
// queue_. Nothing here throws: failures become empty lists, false or the last known value.
//
// The app has one service (shared()); tests build their own over an injected environment.
class TobbleAudioService : public std::enable_shared_from_this<TobbleAudioService> {
  public:
    using TobbleClient = engine::TobbleClient;

    // One entry of the output-device picker.
    struct OutputDevice {
        audio::AudioObjectID id = audio::kAudioObjectUnknown;
        std::string name;
        std::string uid;

        friend bool operator==(const OutputDevice&, const OutputDevice&) = default;
    };

    using DeviceListCallback = std::function<void()>;
    using SystemVolumeCallback = std::function<void(float volume, bool muted)>;

    static constexpr const char* kUnknownDeviceName = "Unknown Device";

    // `engine` must outlive the service.
    static std::shared_ptr<TobbleAudioService> make(const Environment& environment,
                                                    engine::TAKEngine& engine);

    // The application's service. configureShared() runs once, at start-up, before the first
    // shared(); later calls have no effect.
    static void configureShared(const Environment& environment, engine::TAKEngine& engine);
    static TobbleAudioService& shared();
    static bool hasShared();

    ~TobbleAudioService();
    TobbleAudioService(const TobbleAudioService&) = delete;
    TobbleAudioService& operator=(const TobbleAudioService&) = delete;

    // The engine's client list when its catalog generation moved since the last call (a stop moves
    // it too), else nothing; an empty list while the engine is stopped.
    // Meant for one polling thread.
    std::optional<std::vector<TobbleClient>> readClientListIfChanged();

    // Real output devices in the system's order: the engine's own aggregates, virtual devices
    // and devices without output channels are left out. Empty when the list cannot be read.
    std::vector<OutputDevice> getOutputDevices();
    // The same list and the default output device (none when it cannot be read), read on the
    // service's queue and handed to `done` on the main queue: the panel never waits for the
    // audio system.
    // `defaultOutputName` names the default output also when the list leaves it out (a virtual
    // sink such as an effects chain's).
    using OutputDevicesCallback = std::function<void(
        std::vector<OutputDevice> devices, std::optional<audio::AudioObjectID> defaultOutput,
        std::string defaultOutputName)>;
    void readOutputDevices(OutputDevicesCallback done);

    // The default output's volume, 0…1; the last known value when it cannot be read (1.0
    // before the first successful read or write).
    float getSystemVolume();
    // Writes `volume` clamped to 0…1. False without a default output or when the write fails.
    bool setSystemVolume(float volume);
    // False without a default output or when the read fails.
    bool getSystemMute();
    bool setSystemMute(bool muted);

    // One subscriber each: a new registration replaces the callback of the previous one.
    void registerDeviceListListener(DeviceListCallback callback);
    void unregisterDeviceListListener();
    // Follows the default output as it changes; the callback gets one initial value at once.
    void registerSystemVolumeListener(SystemVolumeCallback callback);
    void unregisterSystemVolumeListener();
    // A second subscriber that lives beside the panel's: the scripting interface, which follows
    // the system volume whether the panel is open or not. An empty callback ends it.
    void setSystemVolumeObserver(SystemVolumeCallback callback);

    // For tests: the device the volume listeners are attached to (0 when none).
    audio::AudioObjectID attachedVolumeDeviceForTesting();

  private:
    TobbleAudioService(const Environment& environment, engine::TAKEngine& engine);

    template <typename Fn>
    auto onQueue(Fn&& body) -> decltype(body());

    // ---- hardware access; runs on `queue_` (checked in debug builds)
    std::optional<std::vector<audio::AudioObjectID>> getSystemDeviceIDs();
    std::vector<OutputDevice> listOutputDevices();
    bool isOutputCapable(audio::AudioObjectID deviceID);
    std::optional<audio::AudioObjectID> defaultOutput();
    std::optional<float> readMainVolume(audio::AudioObjectID deviceID);
    std::optional<bool> readMute(audio::AudioObjectID deviceID);
    float readSystemVolume();
    bool readSystemMute();

    // ---- listener bookkeeping; runs on `queue_`
    void attachVolumeListeners();
    void detachVolumeListeners();
    void removeVolumeListeners();
    void installVolumeListeners();
    void handleVolumeChanged();
    void handleDefaultOutputChanged();
    void notifyDeviceListChanged();
    void removeDeviceListListener();
    // Posts (volume, muted) to the current subscriber on the main queue_.
    void deliverSystemVolume(float volume, bool muted);

    // A listener block that holds the service weakly and calls `handler` while it lives.
    audio::PropertyListenerBlock makeListener(void (TobbleAudioService::*handler)());

    const Environment env_;
    engine::TAKEngine& engine_;
    const dispatch::QueuePtr queue_;
    const log::Logger logger_;

    // Touched only by the client-poll path.
    uint32_t lastGeneration_ = 0;  // an engine that never built anything has an empty list

    // Touched only on `queue_`.
    bool deviceListListenerInstalled_ = false;
    DeviceListCallback deviceListCallback_;
    audio::PropertyListenerBlock deviceListListener_;
    audio::AudioObjectID volumeDevice_ = audio::kAudioObjectUnknown;
    bool defaultOutputListenerInstalled_ = false;
    SystemVolumeCallback volumeCallback_;
    SystemVolumeCallback volumeObserver_;
    audio::PropertyListenerBlock defaultOutputListener_;
    audio::PropertyListenerBlock volumeListener_;
    float lastKnownSystemVolume_ = 1.0f;

    // Raised by every registration and unregistration. A delivery already on its way to the
    // main queue_ is dropped when its subscription has ended meanwhile, so a subscriber that has
    // gone away is never called.
    std::atomic<uint64_t> deviceListSubscription_{0};
    std::atomic<uint64_t> volumeSubscription_{0};
    std::atomic<uint64_t> volumeObservation_{0};
};

}  // namespace tobble::app
