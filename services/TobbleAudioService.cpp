#include "services/TobbleAudioService.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/TAKEngine.h"
#include "engine/TAKTobbleClientBridge.h"
#include "engine/core/Identity.h"

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
    : env(environment),
      engine_(engine),
      queue(environment.dispatcher.makeSerialQueue(engine::queueLabel("audio-service"),
                                                   dispatch::QoS::UserInitiated)),
      logger(engine::logSubsystem(), "AudioService") {}

TobbleAudioService::~TobbleAudioService() {
    // The listeners only hold the service weakly, so leaving them would be harmless, but a
    // registration should not outlive its owner. Nothing else can reach the service any more.
    takUnregisterSystemVolumeListenerUnsafe();
    if (deviceListListenerInstalled) removeDeviceListListenerUnsafe();
}

template <typename Fn>
auto TobbleAudioService::onQueue(Fn&& body) -> decltype(body()) {
    using Result = decltype(body());
    if constexpr (std::is_void_v<Result>) {
        queue->sync([&] { body(); });
    } else {
        std::optional<Result> result;
        queue->sync([&] { result.emplace(body()); });
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
    const uint32_t generation = engine_.catalogGeneration();
    auto catalog = engine_.catalog();
    // The engine starts every run with a new catalog and does not count the pipelines its stop
    // drops, so a stop or a restart shows as a catalog change rather than a generation change.
    const bool sameCatalog =
        catalog ? lastCatalogInternal.lock() == catalog : !lastHadCatalogInternal;
    if (generation == lastTAKGenerationInternal && sameCatalog) return std::nullopt;
    lastTAKGenerationInternal = generation;
    lastCatalogInternal = catalog;
    lastHadCatalogInternal = catalog != nullptr;
    if (!catalog) return std::vector<TobbleClient>{};
    return engine::TAKTobbleClientBridge(*catalog, engine_.volumeState(), engine_.rmsBuffer(),
                                         engine_.savedVolumes())
        .readClientList();
}

// ---- devices

std::optional<std::vector<AudioObjectID>> TobbleAudioService::getSystemDeviceIDs() {
    uint32_t size = 0;
    OSStatus status =
        env.audio.getPropertyDataSize(kAudioObjectSystemObject, kDevicesAddress, size);
    if (status != kAudioHardwareNoError) {
        logger.error("Failed to get system device list size: " + std::to_string(status));
        return std::nullopt;
    }
    if (size < sizeof(AudioObjectID)) return std::nullopt;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    uint32_t ioSize = static_cast<uint32_t>(ids.size() * sizeof(AudioObjectID));
    status =
        env.audio.getPropertyData(kAudioObjectSystemObject, kDevicesAddress, ioSize, ids.data());
    if (status != kAudioHardwareNoError) {
        logger.error("Failed to get system device IDs: " + std::to_string(status));
        return std::nullopt;
    }
    // The list may have shrunk between the two calls.
    ids.resize(ioSize / sizeof(AudioObjectID));
    return ids;
}

bool TobbleAudioService::isOutputCapable(AudioObjectID deviceID) {
    const PropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                  kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (env.audio.getPropertyDataSize(deviceID, address, size) != kAudioHardwareNoError ||
        size == 0)
        return false;
    std::vector<uint8_t> bytes(size, 0);
    if (env.audio.getPropertyData(deviceID, address, size, bytes.data()) != kAudioHardwareNoError)
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

std::vector<TobbleAudioService::OutputDevice> TobbleAudioService::getOutputDevices() {
    return onQueue([this] {
        std::vector<OutputDevice> devices;
        const auto ids = getSystemDeviceIDs();
        if (!ids) return devices;
        const std::string aggregatePrefix = engine::aggregateUIDPrefix();
        for (const AudioObjectID id : *ids) {
            const auto uid = readString(env.audio, id, kAudioDevicePropertyDeviceUID);
            if (!uid) continue;
            if (uid->starts_with(aggregatePrefix)) continue;
            uint32_t transport = 0;
            if (readScalar(env.audio, id, {kAudioDevicePropertyTransportType}, transport) &&
                transport == kAudioDeviceTransportTypeVirtual) {
                continue;
            }
            if (!isOutputCapable(id)) continue;
            auto name = readString(env.audio, id, kAudioObjectPropertyName);
            devices.push_back(
                {id, name ? std::move(*name) : std::string(kUnknownDeviceName), *uid});
        }
        return devices;
    });
}

// ---- system volume and mute

std::optional<AudioObjectID> TobbleAudioService::defaultOutputUnsafe() {
    AudioObjectID device = kAudioObjectUnknown;
    if (!readScalar(env.audio, kAudioObjectSystemObject, kDefaultOutputAddress, device))
        return std::nullopt;
    if (device == kAudioObjectUnknown) return std::nullopt;
    return device;
}

std::optional<float> TobbleAudioService::readDeviceVirtualMainVolumeUnsafe(AudioObjectID deviceID) {
    if (deviceID == kAudioObjectUnknown) return std::nullopt;
    float volume = 0;
    if (!readScalar(env.audio, deviceID, kMainVolumeAddress, volume)) return std::nullopt;
    return volume;
}

std::optional<bool> TobbleAudioService::readDeviceMuteUnsafe(AudioObjectID deviceID) {
    if (deviceID == kAudioObjectUnknown) return std::nullopt;
    uint32_t muted = 0;
    if (!readScalar(env.audio, deviceID, kMuteAddress, muted)) return std::nullopt;
    return muted != 0;
}

float TobbleAudioService::systemVolumeUnsafe() {
    const auto device = defaultOutputUnsafe();
    if (!device) return lastKnownSystemVolumeInternal;
    const auto volume = readDeviceVirtualMainVolumeUnsafe(*device);
    if (!volume) return lastKnownSystemVolumeInternal;
    lastKnownSystemVolumeInternal = clampUnit(*volume);
    return lastKnownSystemVolumeInternal;
}

bool TobbleAudioService::systemMuteUnsafe() {
    const auto device = defaultOutputUnsafe();
    if (!device) return false;
    return readDeviceMuteUnsafe(*device).value_or(false);
}

float TobbleAudioService::getSystemVolume() {
    return onQueue([this] { return systemVolumeUnsafe(); });
}

bool TobbleAudioService::setSystemVolume(float volume) {
    return onQueue([this, volume] {
        const auto device = defaultOutputUnsafe();
        if (!device) return false;
        const float clamped = clampUnit(volume);
        if (env.audio.setPropertyData(*device, kMainVolumeAddress, sizeof(clamped), &clamped) !=
            kAudioHardwareNoError) {
            return false;
        }
        lastKnownSystemVolumeInternal = clamped;
        return true;
    });
}

bool TobbleAudioService::getSystemMute() {
    return onQueue([this] { return systemMuteUnsafe(); });
}

bool TobbleAudioService::setSystemMute(bool muted) {
    return onQueue([this, muted] {
        const auto device = defaultOutputUnsafe();
        if (!device) return false;
        const uint32_t value = muted ? 1 : 0;
        return env.audio.setPropertyData(*device, kMuteAddress, sizeof(value), &value) ==
               kAudioHardwareNoError;
    });
}

// ---- device-list subscription

void TobbleAudioService::registerDeviceListListener(DeviceListCallback callback) {
    onQueue([this, &callback] {
        deviceListSubscription.fetch_add(1);
        deviceListCallback = std::move(callback);
        if (deviceListListenerInstalled) return;
        if (!deviceListListener)
            deviceListListener = makeListener(&TobbleAudioService::notifyDeviceListChanged);
        const OSStatus status = env.audio.addPropertyListener(
            kAudioObjectSystemObject, kDevicesAddress, queue, deviceListListener);
        if (status != kAudioHardwareNoError) {
            logger.error("Failed to register device list listener: " + std::to_string(status));
            return;
        }
        deviceListListenerInstalled = true;
    });
}

void TobbleAudioService::unregisterDeviceListListener() {
    onQueue([this] {
        deviceListSubscription.fetch_add(1);
        if (deviceListListenerInstalled) removeDeviceListListenerUnsafe();
        deviceListCallback = nullptr;
    });
}

void TobbleAudioService::removeDeviceListListenerUnsafe() {
    const OSStatus status = env.audio.removePropertyListener(
        kAudioObjectSystemObject, kDevicesAddress, queue, deviceListListener);
    if (status != kAudioHardwareNoError) {
        logger.error("Failed to unregister device list listener: " + std::to_string(status));
    }
    deviceListListenerInstalled = false;
}

void TobbleAudioService::notifyDeviceListChanged() {
    // Listeners are delivered on `queue`, so the callback is read in its home.
    if (!deviceListCallback) return;
    env.dispatcher.mainQueue().async([weak = weak_from_this(),
                                      subscription = deviceListSubscription.load(),
                                      callback = deviceListCallback] {
        auto self = weak.lock();
        if (self && self->deviceListSubscription.load() == subscription) callback();
    });
}

// ---- system volume tracking

void TobbleAudioService::registerSystemVolumeListener(SystemVolumeCallback callback) {
    onQueue([this, &callback] {
        takUnregisterSystemVolumeListenerUnsafe();
        volumeSubscription.fetch_add(1);
        volumeListenerCallback = std::move(callback);
        if (!defaultOutputListener) {
            defaultOutputListener =
                makeListener(&TobbleAudioService::takHandleDefaultOutputChangedFromCallback);
        }
        const OSStatus status = env.audio.addPropertyListener(
            kAudioObjectSystemObject, kDefaultOutputAddress, queue, defaultOutputListener);
        if (status != kAudioHardwareNoError) {
            logger.error("default-output listener install failed: " + std::to_string(status));
        } else {
            takSysVolumeDefaultOutputListenerInstalled = true;
        }
        takAttachSysVolumeListenersUnsafe();

        deliverSystemVolumeUnsafe(systemVolumeUnsafe(), systemMuteUnsafe());
    });
}

void TobbleAudioService::unregisterSystemVolumeListener() {
    onQueue([this] {
        takUnregisterSystemVolumeListenerUnsafe();
        volumeSubscription.fetch_add(1);
        volumeListenerCallback = nullptr;
    });
}

void TobbleAudioService::takAttachSysVolumeListenersUnsafe() {
    const auto device = defaultOutputUnsafe();
    if (!device) return;
    if (!sysVolumeListener)
        sysVolumeListener =
            makeListener(&TobbleAudioService::takHandleSysVolumeChangedFromCallback);
    takSysVolumeAttachedDeviceID = *device;
    for (const auto& address : kSysVolumeAddresses) {
        // A device without per-channel volume refuses some of these; it simply never reports them.
        (void)env.audio.addPropertyListener(*device, address, queue, sysVolumeListener);
    }
}

void TobbleAudioService::takDetachSysVolumeListenersUnsafe() {
    if (takSysVolumeAttachedDeviceID == kAudioObjectUnknown) return;
    for (const auto& address : kSysVolumeAddresses) {
        (void)env.audio.removePropertyListener(takSysVolumeAttachedDeviceID, address, queue,
                                               sysVolumeListener);
    }
    takSysVolumeAttachedDeviceID = kAudioObjectUnknown;
}

void TobbleAudioService::takUnregisterSystemVolumeListenerUnsafe() {
    takDetachSysVolumeListenersUnsafe();
    if (takSysVolumeDefaultOutputListenerInstalled) {
        (void)env.audio.removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                               queue, defaultOutputListener);
        takSysVolumeDefaultOutputListenerInstalled = false;
    }
}

void TobbleAudioService::takHandleDefaultOutputChangedFromCallback() {
    takDetachSysVolumeListenersUnsafe();
    takAttachSysVolumeListenersUnsafe();
    takHandleSysVolumeChangedFromCallback();
}

void TobbleAudioService::takHandleSysVolumeChangedFromCallback() {
    const float volume = systemVolumeUnsafe();
    const bool muted = systemMuteUnsafe();
    deliverSystemVolumeUnsafe(volume, muted);
}

void TobbleAudioService::deliverSystemVolumeUnsafe(float volume, bool muted) {
    if (!volumeListenerCallback) return;
    env.dispatcher.mainQueue().async([weak = weak_from_this(),
                                      subscription = volumeSubscription.load(),
                                      callback = volumeListenerCallback, volume, muted] {
        auto self = weak.lock();
        if (self && self->volumeSubscription.load() == subscription) callback(volume, muted);
    });
}

AudioObjectID TobbleAudioService::attachedVolumeDeviceForTesting() {
    return onQueue([this] { return takSysVolumeAttachedDeviceID; });
}

}  // namespace tobble::app
