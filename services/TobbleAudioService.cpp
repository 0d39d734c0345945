#include "services/TobbleAudioService.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/TAKEngine.h"
#include "engine/TAKTobbleClientBridge.h"
#include "engine/core/Identity.h"
#include "platform/dispatch/QueueCheck.h"

namespace tobble::app {

using namespace audio;

namespace {

constexpr PropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
constexpr PropertyAddress kDefaultOutputAddress{kAudioHardwarePropertyDefaultOutputDevice,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
constexpr PropertyAddress kMainVolumeAddress{kAudioHardwareServiceDeviceProperty_VirtualMainVolume,
                                             kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
constexpr PropertyAddress kMuteAddress{kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput,
                                       kAudioObjectPropertyElementMain};

// The seven addresses followed on the default output: main and per-channel volume for elements
// 0, 1 and 2 (a device without per-channel volume never reports those), then mute.
constexpr PropertyAddress kSysVolumeAddresses[] = {
    {kAudioHardwareServiceDeviceProperty_VirtualMainVolume, kAudioObjectPropertyScopeOutput, 0},
    {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 0},
    {kAudioHardwareServiceDeviceProperty_VirtualMainVolume, kAudioObjectPropertyScopeOutput, 1},
    {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 1},
    {kAudioHardwareServiceDeviceProperty_VirtualMainVolume, kAudioObjectPropertyScopeOutput, 2},
    {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 2},
    {kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput, 0},
};

float clampUnit(float value) { return std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f); }

template <typename T>
bool readScalar(AudioHardware& audio, AudioObjectID object, const PropertyAddress& address,
                T& out) {
    uint32_t size = sizeof(T);
    T value{};
    if (audio.getPropertyData(object, address, size, &value) != kAudioHardwareNoError) return false;
    if (size != sizeof(T)) return false;
    out = value;
    return true;
}

std::optional<std::string> readString(AudioHardware& audio, AudioObjectID object,
                                      uint32_t selector) {
    std::optional<std::string> text;
    if (audio.getPropertyString(object, {selector}, text) != kAudioHardwareNoError)
        return std::nullopt;
    if (!text || text->empty()) return std::nullopt;
    return text;
}

struct SharedService {
    std::mutex mutex;
    std::shared_ptr<TobbleAudioService> service;
};

SharedService& sharedService() {
    static auto* instance = new SharedService();  // lives for the whole process
    return *instance;
}

}  // namespace

// ---- creation

std::shared_ptr<TobbleAudioService> TobbleAudioService::make(const Environment& environment,
                                                             engine::TAKEngine& engine) {
    return std::shared_ptr<TobbleAudioService>(new TobbleAudioService(environment, engine));
}

void TobbleAudioService::configureShared(const Environment& environment,
                                         engine::TAKEngine& engine) {
    auto& s = sharedService();
    std::lock_guard lock(s.mutex);
    if (!s.service) s.service = make(environment, engine);
}

TobbleAudioService& TobbleAudioService::shared() {
    auto& s = sharedService();
    std::lock_guard lock(s.mutex);
    if (!s.service) {
        log::Logger(engine::logSubsystem(), "AudioService")
            .error("TobbleAudioService::shared() used before configureShared()");
        std::abort();
    }
    return *s.service;
}

bool TobbleAudioService::hasShared() {
    auto& s = sharedService();
    std::lock_guard lock(s.mutex);
    return s.service != nullptr;
}

TobbleAudioService::TobbleAudioService(const Environment& environment, engine::TAKEngine& engine)
    : env_(environment),
      engine_(engine),
      queue_(environment.dispatcher.makeSerialQueue(engine::queueLabel("audio-service"),
                                                    dispatch::QoS::UserInitiated)),
      logger_(engine::logSubsystem(), "AudioService") {}

TobbleAudioService::~TobbleAudioService() {
    // The listeners only hold the service weakly, so leaving them would be harmless, but a
    // registration should not outlive its owner. Nothing else can reach the service any more.
    queue_->sync([this] {
        removeVolumeListeners();
        if (deviceListListenerInstalled_) removeDeviceListListener();
    });
}

template <typename Fn>
auto TobbleAudioService::onQueue(Fn&& body) -> decltype(body()) {
    using Result = decltype(body());
    if constexpr (std::is_void_v<Result>) {
        queue_->sync([&] { body(); });
    } else {
        std::optional<Result> result;
        queue_->sync([&] { result.emplace(body()); });
        return std::move(*result);
    }
}

PropertyListenerBlock TobbleAudioService::makeListener(void (TobbleAudioService::*handler)()) {
    return makeListenerBlock(
        [weak = weak_from_this(), handler](AudioObjectID, std::span<const PropertyAddress>) {
            if (auto self = weak.lock()) ((*self).*handler)();
        });
}

// ---- client list

std::optional<std::vector<TobbleAudioService::TobbleClient>>
TobbleAudioService::readClientListIfChanged() {
    // Every change of the engine's client list moves the generation, a stop included.
    const uint32_t generation = engine_.catalogGeneration();
    if (generation == lastGeneration_) return std::nullopt;
    lastGeneration_ = generation;
    auto catalog = engine_.catalog();
    if (!catalog) return std::vector<TobbleClient>{};
    return engine::TAKTobbleClientBridge(*catalog, engine_.volumeState(), engine_.rmsBuffer(),
                                         engine_.savedVolumes())
        .readClientList();
}

// ---- devices

std::optional<std::vector<AudioObjectID>> TobbleAudioService::getSystemDeviceIDs() {
    dispatch::assertOnQueue(queue_);
    uint32_t size = 0;
    OSStatus status =
        env_.audio.getPropertyDataSize(kAudioObjectSystemObject, kDevicesAddress, size);
    if (status != kAudioHardwareNoError) {
        logger_.error("Failed to get system device list size: " + std::to_string(status));
        return std::nullopt;
    }
    if (size < sizeof(AudioObjectID)) return std::nullopt;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    uint32_t ioSize = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
    status =
        env_.audio.getPropertyData(kAudioObjectSystemObject, kDevicesAddress, ioSize, ids.data());
    if (status != kAudioHardwareNoError) {
        logger_.error("Failed to get system device IDs: " + std::to_string(status));
        return std::nullopt;
    }
    // The list may have shrunk between the two calls.
    ids.resize(ioSize / sizeof(AudioObjectID));
    return ids;
}

bool TobbleAudioService::isOutputCapable(AudioObjectID deviceID) {
    dispatch::assertOnQueue(queue_);
    const PropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                  kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (env_.audio.getPropertyDataSize(deviceID, address, size) != kAudioHardwareNoError ||
        size == 0)
        return false;
    std::vector<uint8_t> bytes(size, 0);
    if (env_.audio.getPropertyData(deviceID, address, size, bytes.data()) != kAudioHardwareNoError)
        return false;
    if (size < sizeof(StreamConfigurationHeader)) return false;

    StreamConfigurationHeader header;
    std::memcpy(&header, bytes.data(), sizeof(header));
    // Trust the byte count rather than the buffer count the device reports.
    const size_t room = (size - sizeof(header)) / sizeof(AudioBuffer);
    const size_t count = std::min<size_t>(header.mNumberBuffers, room);
    for (size_t i = 0; i < count; ++i) {
        AudioBuffer buffer;
        std::memcpy(&buffer, bytes.data() + sizeof(header) + i * sizeof(AudioBuffer),
                    sizeof(buffer));
        if (buffer.mNumberChannels > 0) return true;
    }
    return false;
}

std::vector<TobbleAudioService::OutputDevice> TobbleAudioService::listOutputDevices() {
    dispatch::assertOnQueue(queue_);
    std::vector<OutputDevice> devices;
    const auto ids = getSystemDeviceIDs();
    if (!ids) return devices;
    const std::string aggregatePrefix = engine::aggregateUIDPrefix();
    for (const AudioObjectID id : *ids) {
        const auto uid = readString(env_.audio, id, kAudioDevicePropertyDeviceUID);
        if (!uid) continue;
        if (uid->starts_with(aggregatePrefix)) continue;
        uint32_t transport = 0;
        if (readScalar(env_.audio, id, {kAudioDevicePropertyTransportType}, transport) &&
            transport == kAudioDeviceTransportTypeVirtual) {
            continue;
        }
        if (!isOutputCapable(id)) continue;
        auto name = readString(env_.audio, id, kAudioObjectPropertyName);
        devices.push_back({id, name ? std::move(*name) : std::string(kUnknownDeviceName), *uid});
    }
    return devices;
}

std::vector<TobbleAudioService::OutputDevice> TobbleAudioService::getOutputDevices() {
    return onQueue([this] { return listOutputDevices(); });
}

void TobbleAudioService::readOutputDevices(OutputDevicesCallback done) {
    queue_->async([weak = weak_from_this(), done = std::move(done)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        auto devices = self->listOutputDevices();
        const auto current = self->defaultOutput();
        std::string name;
        if (current) {
            name = readString(self->env_.audio, *current, kAudioObjectPropertyName)
                       .value_or(std::string(kUnknownDeviceName));
        }
        self->env_.dispatcher.mainQueue().async([done = std::move(done),
                                                 devices = std::move(devices), current,
                                                 name = std::move(name)]() mutable {
            done(std::move(devices), current, std::move(name));
        });
    });
}

// ---- system volume and mute

std::optional<AudioObjectID> TobbleAudioService::defaultOutput() {
    dispatch::assertOnQueue(queue_);
    AudioObjectID device = kAudioObjectUnknown;
    if (!readScalar(env_.audio, kAudioObjectSystemObject, kDefaultOutputAddress, device))
        return std::nullopt;
    if (device == kAudioObjectUnknown) return std::nullopt;
    return device;
}

std::optional<float> TobbleAudioService::readMainVolume(AudioObjectID deviceID) {
    dispatch::assertOnQueue(queue_);
    if (deviceID == kAudioObjectUnknown) return std::nullopt;
    float volume = 0;
    if (!readScalar(env_.audio, deviceID, kMainVolumeAddress, volume)) return std::nullopt;
    return volume;
}

std::optional<bool> TobbleAudioService::readMute(AudioObjectID deviceID) {
    dispatch::assertOnQueue(queue_);
    if (deviceID == kAudioObjectUnknown) return std::nullopt;
    uint32_t muted = 0;
    if (!readScalar(env_.audio, deviceID, kMuteAddress, muted)) return std::nullopt;
    return muted != 0;
}

float TobbleAudioService::readSystemVolume() {
    dispatch::assertOnQueue(queue_);
    const auto device = defaultOutput();
    if (!device) return lastKnownSystemVolume_;
    const auto volume = readMainVolume(*device);
    if (!volume) return lastKnownSystemVolume_;
    lastKnownSystemVolume_ = clampUnit(*volume);
    return lastKnownSystemVolume_;
}

bool TobbleAudioService::readSystemMute() {
    dispatch::assertOnQueue(queue_);
    const auto device = defaultOutput();
    if (!device) return false;
    return readMute(*device).value_or(false);
}

float TobbleAudioService::getSystemVolume() {
    return onQueue([this] { return readSystemVolume(); });
}

bool TobbleAudioService::setSystemVolume(float volume) {
    return onQueue([this, volume] {
        const auto device = defaultOutput();
        if (!device) return false;
        const float clamped = clampUnit(volume);
        if (env_.audio.setPropertyData(*device, kMainVolumeAddress, sizeof(clamped), &clamped) !=
            kAudioHardwareNoError) {
            return false;
        }
        lastKnownSystemVolume_ = clamped;
        return true;
    });
}

bool TobbleAudioService::getSystemMute() {
    return onQueue([this] { return readSystemMute(); });
}

bool TobbleAudioService::setSystemMute(bool muted) {
    return onQueue([this, muted] {
        const auto device = defaultOutput();
        if (!device) return false;
        const uint32_t value = muted ? 1 : 0;
        return env_.audio.setPropertyData(*device, kMuteAddress, sizeof(value), &value) ==
               kAudioHardwareNoError;
    });
}

// ---- device-list subscription

void TobbleAudioService::registerDeviceListListener(DeviceListCallback callback) {
    onQueue([this, &callback] {
        deviceListSubscription_.fetch_add(1);
        deviceListCallback_ = std::move(callback);
        if (deviceListListenerInstalled_) return;
        if (!deviceListListener_)
            deviceListListener_ = makeListener(&TobbleAudioService::notifyDeviceListChanged);
        const OSStatus status = env_.audio.addPropertyListener(
            kAudioObjectSystemObject, kDevicesAddress, queue_, deviceListListener_);
        if (status != kAudioHardwareNoError) {
            logger_.error("Failed to register device list listener: " + std::to_string(status));
            return;
        }
        deviceListListenerInstalled_ = true;
    });
}

void TobbleAudioService::unregisterDeviceListListener() {
    onQueue([this] {
        deviceListSubscription_.fetch_add(1);
        if (deviceListListenerInstalled_) removeDeviceListListener();
        deviceListCallback_ = nullptr;
    });
}

void TobbleAudioService::removeDeviceListListener() {
    dispatch::assertOnQueue(queue_);
    const OSStatus status = env_.audio.removePropertyListener(
        kAudioObjectSystemObject, kDevicesAddress, queue_, deviceListListener_);
    if (status != kAudioHardwareNoError) {
        logger_.error("Failed to unregister device list listener: " + std::to_string(status));
    }
    deviceListListenerInstalled_ = false;
}

void TobbleAudioService::notifyDeviceListChanged() {
    dispatch::assertOnQueue(queue_);
    // Listeners are delivered on `queue_`, so the callback is read in its home.
    if (!deviceListCallback_) return;
    env_.dispatcher.mainQueue().async([weak = weak_from_this(),
                                       subscription = deviceListSubscription_.load(),
                                       callback = deviceListCallback_] {
        auto self = weak.lock();
        if (self && self->deviceListSubscription_.load() == subscription) callback();
    });
}

// ---- system volume tracking

void TobbleAudioService::registerSystemVolumeListener(SystemVolumeCallback callback) {
    onQueue([this, &callback] {
        removeVolumeListeners();
        volumeSubscription_.fetch_add(1);
        volumeCallback_ = std::move(callback);
        installVolumeListeners();
        deliverSystemVolume(readSystemVolume(), readSystemMute());
    });
}

void TobbleAudioService::unregisterSystemVolumeListener() {
    onQueue([this] {
        removeVolumeListeners();
        volumeSubscription_.fetch_add(1);
        volumeCallback_ = nullptr;
        if (volumeObserver_) installVolumeListeners();
    });
}

void TobbleAudioService::setSystemVolumeObserver(SystemVolumeCallback callback) {
    onQueue([this, &callback] {
        removeVolumeListeners();
        volumeObservation_.fetch_add(1);
        volumeObserver_ = std::move(callback);
        if (volumeCallback_ || volumeObserver_) installVolumeListeners();
    });
}

void TobbleAudioService::installVolumeListeners() {
    dispatch::assertOnQueue(queue_);
    if (!defaultOutputListener_) {
        defaultOutputListener_ = makeListener(&TobbleAudioService::handleDefaultOutputChanged);
    }
    const OSStatus status = env_.audio.addPropertyListener(
        kAudioObjectSystemObject, kDefaultOutputAddress, queue_, defaultOutputListener_);
    if (status != kAudioHardwareNoError) {
        logger_.error("default-output listener install failed: " + std::to_string(status));
    } else {
        defaultOutputListenerInstalled_ = true;
    }
    attachVolumeListeners();
}

void TobbleAudioService::attachVolumeListeners() {
    dispatch::assertOnQueue(queue_);
    const auto device = defaultOutput();
    if (!device) return;
    if (!volumeListener_) volumeListener_ = makeListener(&TobbleAudioService::handleVolumeChanged);
    volumeDevice_ = *device;
    for (const auto& address : kSysVolumeAddresses) {
        // A device without per-channel volume refuses some of these; it simply never reports them.
        (void)env_.audio.addPropertyListener(*device, address, queue_, volumeListener_);
    }
}

void TobbleAudioService::detachVolumeListeners() {
    dispatch::assertOnQueue(queue_);
    if (volumeDevice_ == kAudioObjectUnknown) return;
    for (const auto& address : kSysVolumeAddresses) {
        (void)env_.audio.removePropertyListener(volumeDevice_, address, queue_, volumeListener_);
    }
    volumeDevice_ = kAudioObjectUnknown;
}

void TobbleAudioService::removeVolumeListeners() {
    dispatch::assertOnQueue(queue_);
    detachVolumeListeners();
    if (defaultOutputListenerInstalled_) {
        (void)env_.audio.removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                                queue_, defaultOutputListener_);
        defaultOutputListenerInstalled_ = false;
    }
}

void TobbleAudioService::handleDefaultOutputChanged() {
    dispatch::assertOnQueue(queue_);
    detachVolumeListeners();
    attachVolumeListeners();
    handleVolumeChanged();
}

void TobbleAudioService::handleVolumeChanged() {
    dispatch::assertOnQueue(queue_);
    const float volume = readSystemVolume();
    const bool muted = readSystemMute();
    deliverSystemVolume(volume, muted);
}

void TobbleAudioService::deliverSystemVolume(float volume, bool muted) {
    dispatch::assertOnQueue(queue_);
    const auto post = [&](const SystemVolumeCallback& callback,
                          std::atomic<uint64_t> TobbleAudioService::*counter) {
        if (!callback) return;
        env_.dispatcher.mainQueue().async([weak = weak_from_this(), counter,
                                           subscription = (this->*counter).load(), callback, volume,
                                           muted] {
            auto self = weak.lock();
            if (self && ((*self).*counter).load() == subscription) callback(volume, muted);
        });
    };
    post(volumeCallback_, &TobbleAudioService::volumeSubscription_);
    post(volumeObserver_, &TobbleAudioService::volumeObservation_);
}

AudioObjectID TobbleAudioService::attachedVolumeDeviceForTesting() {
    return onQueue([this] { return volumeDevice_; });
}

}  // namespace tobble::app
