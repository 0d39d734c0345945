// Connection, property access and listeners of the PipeWire backend.
#include "platform/audio/pipewire/PipeWireAudioHardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

using namespace detail;
using State = PipeWireAudioHardware::State;

namespace {

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
              const spa_dict* props) {
    static_cast<State*>(data)->onGlobal(id, type, props);
}
void onGlobalRemove(void* data, uint32_t id) { static_cast<State*>(data)->onGlobalRemove(id); }
const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
}();

void onCoreDone(void* data, uint32_t id, int seq) {
    auto* s = static_cast<State*>(data);
    if (id == PW_ID_CORE) s->serverStuck = false;
    if (id == PW_ID_CORE && seq == s->pendingSeq) {
        s->syncDone = true;
        pw_thread_loop_signal(s->loop, false);
    }
}
void onCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto* s = static_cast<State*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        s->connectionError = true;
        pw_thread_loop_signal(s->loop, false);
    }
}
const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onCoreDone;
    e.error = onCoreError;
    return e;
}();

// A property value before it is copied out to the caller.
struct Value {
    enum class Kind { Fixed, Objects, String } kind = Kind::Fixed;
    std::vector<uint8_t> bytes;
    std::vector<AudioObjectID> objects;
    std::optional<std::string> string;

    template <typename T>
    static Value of(const T& v) {
        Value out;
        out.bytes.resize(sizeof(T));
        std::memcpy(out.bytes.data(), &v, sizeof(T));
        return out;
    }
    static Value ofObjects(std::vector<AudioObjectID> ids) {
        Value out;
        out.kind = Kind::Objects;
        out.objects = std::move(ids);
        return out;
    }
    static Value ofString(std::optional<std::string> s) {
        Value out;
        out.kind = Kind::String;
        out.string = std::move(s);
        return out;
    }
    uint32_t size() const {
        switch (kind) {
            case Kind::Fixed:
                return static_cast<uint32_t>(bytes.size());
            case Kind::Objects:
                return static_cast<uint32_t>(objects.size() * sizeof(AudioObjectID));
            case Kind::String:
                return sizeof(void*);
        }
        return 0;
    }
};

Value streamConfiguration(uint32_t channels) {
    StreamConfigurationHeader header;
    header.mNumberBuffers = channels > 0 ? 1 : 0;
    Value out;
    out.bytes.resize(sizeof(header) + header.mNumberBuffers * sizeof(AudioBuffer));
    std::memcpy(out.bytes.data(), &header, sizeof(header));
    if (channels > 0) {
        AudioBuffer buffer;
        buffer.mNumberChannels = channels;
        std::memcpy(out.bytes.data() + sizeof(header), &buffer, sizeof(buffer));
    }
    return out;
}

bool outputSide(const PropertyAddress& a) {
    return a.scope == kAudioObjectPropertyScopeOutput || a.scope == kAudioObjectPropertyScopeGlobal;
}

OSStatus readProperty(const State& s, AudioObjectID object, const PropertyAddress& a, Value& out) {
    if (object == kAudioObjectSystemObject) {
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = Value::of(kAudioSystemObjectClassID);
                return 0;
            case kAudioHardwarePropertyDevices: {
                std::vector<AudioObjectID> ids;
                for (const auto& [uid, d] : s.devices) {
                    if (d.alive) ids.push_back(d.id);
                }
                for (const auto& [id, agg] : s.aggregates) {
                    if (agg.alive) ids.push_back(id);
                }
                out = Value::ofObjects(std::move(ids));
                return 0;
            }
            case kAudioHardwarePropertyDefaultOutputDevice:
            case kAudioHardwarePropertyDefaultSystemOutputDevice:
                out = Value::of(s.lastDefault);
                return 0;
            case kAudioHardwarePropertyProcessObjectList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [pid, p] : s.processes) {
                    if (p.present) ids.push_back(p.id);
                }
                out = Value::ofObjects(std::move(ids));
                return 0;
            }
            case kAudioHardwarePropertyTapList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [id, t] : s.taps) {
                    if (t.alive) ids.push_back(id);
                }
                out = Value::ofObjects(std::move(ids));
                return 0;
            }
            case kTobbleHardwarePropertyStartsCleanly:
                // A filter joins the graph at a cycle boundary and is fed from its first cycle;
                // the device it plays to is already running or is started by the graph.
                out = Value::of(uint32_t{1});
                return 0;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (const Device* d = s.deviceByID(object)) {
        const PwNode* node = s.sinkNode(*d);
        if (!node) return kAudioHardwareBadObjectError;
        const auto channels = static_cast<uint32_t>(s.sinkChannels(*node).size());
        const bool volumeAddress =
            a.scope == kAudioObjectPropertyScopeOutput && !node->volume.channelVolumes.empty();
        const auto& volumes = node->volume.channelVolumes;
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = Value::of(kAudioDeviceClassID);
                return 0;
            case kAudioDevicePropertyDeviceUID:
                out = Value::ofString(d->uid);
                return 0;
            case kAudioObjectPropertyName: {
                std::string name = prop(node->props, PW_KEY_NODE_DESCRIPTION);
                if (name.empty()) name = d->uid;
                out = Value::ofString(name);
                return 0;
            }
            case kAudioDevicePropertyTransportType:
                out = Value::of(s.transportOf(*node));
                return 0;
            case kAudioDevicePropertyNominalSampleRate:
                out = Value::of(static_cast<double>(s.sinkRate(*node)));
                return 0;
            case kAudioDevicePropertyBufferFrameSize:
                out = Value::of(uint32_t{512});
                return 0;
            case kAudioDevicePropertyDeviceIsAlive:
                out = Value::of(uint32_t{1});
                return 0;
            case kAudioDevicePropertyDeviceIsRunning:
                out = Value::of(uint32_t{node->state == PW_NODE_STATE_RUNNING ? 1u : 0u});
                return 0;
            case kAudioDevicePropertyStreams:
                out = Value::ofObjects(outputSide(a) ? std::vector<AudioObjectID>{d->stream}
                                                     : std::vector<AudioObjectID>{});
                return 0;
            case kAudioDevicePropertyStreamConfiguration:
                out = streamConfiguration(outputSide(a) ? channels : 0);
                return 0;
            case kAudioHardwareServiceDeviceProperty_VirtualMainVolume:
                if (!volumeAddress || a.element != kAudioObjectPropertyElementMain) break;
                out = Value::of(linearToSlider(*std::max_element(volumes.begin(), volumes.end())));
                return 0;
            case kAudioDevicePropertyVolumeScalar:
                if (!volumeAddress || a.element < 1 || a.element > volumes.size()) break;
                out = Value::of(linearToSlider(volumes[a.element - 1]));
                return 0;
            case kAudioDevicePropertyMute:
                if (!volumeAddress || a.element != kAudioObjectPropertyElementMain) break;
                out = Value::of(uint32_t{node->volume.mute.value_or(false) ? 1u : 0u});
                return 0;
            default:
                break;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (auto it = s.aggregates.find(object); it != s.aggregates.end() && it->second.alive) {
        const Aggregate& agg = it->second;
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = Value::of(kAudioAggregateDeviceClassID);
                return 0;
            case kAudioDevicePropertyDeviceUID:
                out = Value::ofString(agg.uid);
                return 0;
            case kAudioObjectPropertyName:
                out = Value::ofString(agg.name);
                return 0;
            case kAudioDevicePropertyTransportType:
                out = Value::of(kAudioDeviceTransportTypeAggregate);
                return 0;
            case kAudioDevicePropertyNominalSampleRate:
                out = Value::of(static_cast<double>(agg.rate));
                return 0;
            case kAudioDevicePropertyBufferFrameSize:
                out = Value::of(uint32_t{512});
                return 0;
            case kAudioDevicePropertyDeviceIsAlive:
                out = Value::of(uint32_t{1});
                return 0;
            case kAudioDevicePropertyDeviceIsRunning: {
                auto proc = s.ioProcs.find(agg.proc);
                out =
                    Value::of(uint32_t{proc != s.ioProcs.end() && proc->second.started ? 1u : 0u});
                return 0;
            }
            case kAudioDevicePropertyStreams:
                out = Value::ofObjects(outputSide(a) ? std::vector<AudioObjectID>{agg.stream}
                                                     : std::vector<AudioObjectID>{});
                return 0;
            case kAudioDevicePropertyStreamConfiguration:
                out = streamConfiguration(outputSide(a) ? agg.channels : 0);
                return 0;
            case kAudioAggregateDevicePropertyTapList: {
                auto tap = s.taps.find(agg.tap);
                out = Value::ofObjects(tap != s.taps.end() && tap->second.alive
                                           ? std::vector<AudioObjectID>{agg.tap}
                                           : std::vector<AudioObjectID>{});
                return 0;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (const Process* p = s.processByID(object)) {
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = Value::of(kAudioProcessClassID);
                return 0;
            case kAudioProcessPropertyPID:
                out = Value::of(static_cast<int32_t>(p->pid));
                return 0;
            case kAudioProcessPropertyBundleID:
                out = Value::ofString(p->bundleID);
                return 0;
            case kAudioProcessPropertyIsRunning:
                out = Value::of(uint32_t{p->present ? 1u : 0u});
                return 0;
            case kAudioProcessPropertyIsRunningOutput:
                out = Value::of(uint32_t{p->running ? 1u : 0u});
                return 0;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (auto it = s.taps.find(object); it != s.taps.end() && it->second.alive) {
        const Tap& t = it->second;
        switch (a.selector) {
            case kAudioObjectPropertyClass:
                out = Value::of(kAudioTapClassID);
                return 0;
            case kAudioTapPropertyUID:
                out = Value::ofString(t.uid);
                return 0;
            case kAudioObjectPropertyName:
                out = Value::ofString(t.description.name);
                return 0;
            case kAudioTapPropertyFormat: {
                AudioStreamBasicDescription f;
                const auto channels = static_cast<uint32_t>(t.node->channels.size());
                f.mSampleRate = t.node->rate;
                f.mFormatID = kAudioFormatLinearPCM;
                f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
                f.mBytesPerFrame = channels * sizeof(float);
                f.mBytesPerPacket = f.mBytesPerFrame;
                f.mFramesPerPacket = 1;
                f.mChannelsPerFrame = channels;
                f.mBitsPerChannel = 32;
                out = Value::of(f);
                return 0;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    for (const auto& [uid, d] : s.devices) {
        if (d.alive && d.stream == object) {
            if (a.selector != kAudioObjectPropertyClass) return kAudioHardwareUnknownPropertyError;
            out = Value::of(kAudioStreamClassID);
            return 0;
        }
    }
    for (const auto& [id, agg] : s.aggregates) {
        if (agg.alive && agg.stream == object) {
            if (a.selector != kAudioObjectPropertyClass) return kAudioHardwareUnknownPropertyError;
            out = Value::of(kAudioStreamClassID);
            return 0;
        }
    }
    return kAudioHardwareBadObjectError;
}

bool objectExists(const State& s, AudioObjectID object) {
    Value probe;
    return readProperty(s, object, {kAudioObjectPropertyClass}, probe) == 0;
}

}  // namespace

// ---- loop helpers

void State::roundTrip(std::chrono::milliseconds limit) {
    syncDone = false;
    pendingSeq = pw_core_sync(core, PW_ID_CORE, pendingSeq);
    if (serverStuck) return;
    timespec deadline{};
    pw_thread_loop_get_time(loop, &deadline, static_cast<int64_t>(limit.count()) * 1'000'000);
    while (!syncDone && !connectionError) {
        if (pw_thread_loop_timed_wait_full(loop, &deadline) != 0) break;
    }
    serverStuck = !syncDone && !connectionError;
}

// ---- lifetime

std::unique_ptr<PipeWireAudioHardware> PipeWireAudioHardware::connect(
    dispatch::Dispatcher& dispatcher) {
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { pw_init(nullptr, nullptr); });

    auto s = std::make_unique<State>(dispatcher);
    s->loop = pw_thread_loop_new("tobble-pw", nullptr);
    if (!s->loop) return nullptr;
    // client-rt.conf loads the real-time module: the data thread runs SCHED_FIFO where allowed.
    s->context =
        pw_context_new(pw_thread_loop_get_loop(s->loop),
                       pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!s->context || pw_thread_loop_start(s->loop) < 0) {
        if (s->context) pw_context_destroy(s->context);
        pw_thread_loop_destroy(s->loop);
        return nullptr;
    }
    {
        Locked lock(s->loop);
        s->core = pw_context_connect(
            s->context,
            pw_properties_new(PW_KEY_APP_NAME, "Tobble", PW_KEY_APP_ID, "tobble", nullptr), 0);
        if (s->core) {
            pw_core_add_listener(s->core, &s->coreListener, &kCoreEvents, s.get());
            s->registry = pw_core_get_registry(s->core, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(s->registry, &s->registryListener, &kRegistryEvents, s.get());
            // Twice: the first answer brings the globals, the second the info of what we bound.
            s->roundTrip();
            s->roundTrip();
            s->clearDeadTargets();
        }
    }
    if (!s->core || s->connectionError) {
        pw_thread_loop_stop(s->loop);
        if (s->core) pw_core_disconnect(s->core);
        pw_context_destroy(s->context);
        pw_thread_loop_destroy(s->loop);
        return nullptr;
    }
    return std::unique_ptr<PipeWireAudioHardware>(new PipeWireAudioHardware(std::move(s)));
}

PipeWireAudioHardware::PipeWireAudioHardware(std::unique_ptr<State> state)
    : state_(std::move(state)) {}

PipeWireAudioHardware::~PipeWireAudioHardware() {
    auto& s = *state_;
    std::vector<AudioObjectID> aggregates;
    std::vector<AudioObjectID> taps;
    {
        Locked lock(s.loop);
        for (const auto& [id, a] : s.aggregates) aggregates.push_back(id);
        for (const auto& [id, t] : s.taps) taps.push_back(id);
    }
    for (AudioObjectID id : aggregates) destroyAggregateDevice(id);
    for (AudioObjectID id : taps) destroyProcessTap(id);
    {
        Locked lock(s.loop);
        s.deviceFilters.clear();
        s.ioProcs.clear();
        s.nodes.clear();
        s.clients.clear();
        s.devicesById.clear();
        if (s.metadata) {
            spa_hook_remove(&s.metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s.metadata));
        }
        spa_hook_remove(&s.registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s.registry));
        spa_hook_remove(&s.coreListener);
        pw_core_disconnect(s.core);
    }
    pw_thread_loop_stop(s.loop);
    pw_context_destroy(s.context);
    pw_thread_loop_destroy(s.loop);
}

std::vector<FilterStats> PipeWireAudioHardware::filterStats() const {
    Locked lock(state_->loop);
    std::vector<FilterStats> out;
    for (const auto& [id, agg] : state_->aggregates) {
        if (agg.filter) out.push_back({id, agg.filter->cycles(), agg.filter->busyNanos()});
    }
    for (const auto& [id, f] : state_->deviceFilters) {
        out.push_back({0, f.filter->cycles(), f.filter->busyNanos()});
    }
    return out;
}

void PipeWireAudioHardware::roundTrip() {
    Locked lock(state_->loop);
    state_->roundTrip();
}

std::unique_ptr<AudioHardware> makePipeWireAudioHardware(dispatch::Dispatcher& dispatcher) {
    return PipeWireAudioHardware::connect(dispatcher);
}

// ---- properties

bool PipeWireAudioHardware::hasProperty(AudioObjectID object, const PropertyAddress& address) {
    Locked lock(state_->loop);
    Value v;
    return readProperty(*state_, object, address, v) == 0;
}

OSStatus PipeWireAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                    const PropertyAddress& address,
                                                    uint32_t& outSize) {
    Locked lock(state_->loop);
    Value v;
    if (OSStatus status = readProperty(*state_, object, address, v)) return status;
    outSize = v.size();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::getPropertyData(AudioObjectID object,
                                                const PropertyAddress& address, uint32_t& ioSize,
                                                void* outData) {
    Locked lock(state_->loop);
    Value v;
    if (OSStatus status = readProperty(*state_, object, address, v)) return status;
    if (!outData) return kAudio_ParamError;
    switch (v.kind) {
        case Value::Kind::Fixed:
            if (ioSize < v.bytes.size()) return kAudioHardwareBadPropertySizeError;
            std::memcpy(outData, v.bytes.data(), v.bytes.size());
            ioSize = static_cast<uint32_t>(v.bytes.size());
            return kAudioHardwareNoError;
        case Value::Kind::Objects: {
            const size_t count = std::min<size_t>(ioSize / sizeof(AudioObjectID), v.objects.size());
            std::memcpy(outData, v.objects.data(), count * sizeof(AudioObjectID));
            ioSize = static_cast<uint32_t>(count * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        case Value::Kind::String:
            return kAudioHardwareUnsupportedOperationError;
    }
    return kAudioHardwareUnspecifiedError;
}

OSStatus PipeWireAudioHardware::getPropertyString(AudioObjectID object,
                                                  const PropertyAddress& address,
                                                  std::optional<std::string>& out) {
    out.reset();
    Locked lock(state_->loop);
    Value v;
    if (OSStatus status = readProperty(*state_, object, address, v)) return status;
    if (v.kind != Value::Kind::String) return kAudioHardwareUnsupportedOperationError;
    out = std::move(v.string);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::setPropertyData(AudioObjectID object,
                                                const PropertyAddress& address, uint32_t size,
                                                const void* data) {
    auto& s = *state_;
    Locked lock(s.loop);
    Value current;
    if (OSStatus status = readProperty(s, object, address, current)) return status;
    if (current.kind != Value::Kind::Fixed) return kAudioHardwareIllegalOperationError;
    if (!data) return kAudio_ParamError;
    if (size < current.bytes.size()) return kAudioHardwareBadPropertySizeError;
    uint32_t word = 0;
    float scalar = 0;
    std::memcpy(&word, data, sizeof(word));
    std::memcpy(&scalar, data, sizeof(scalar));

    if (object == kAudioObjectSystemObject &&
        (address.selector == kAudioHardwarePropertyDefaultOutputDevice ||
         address.selector == kAudioHardwarePropertyDefaultSystemOutputDevice)) {
        const Device* d = s.deviceByID(word);
        if (!d) return kAudioHardwareBadDeviceError;
        // The configured default is what the session manager persists and follows.
        const std::string json = "{ \"name\": \"" + d->uid + "\" }";
        s.setMetadata(0, "default.configured.audio.sink", "Spa:String:JSON", json.c_str());
        return kAudioHardwareNoError;
    }
    const Device* d = s.deviceByID(object);
    const PwNode* node = d ? s.sinkNode(*d) : nullptr;
    if (!node || !node->binding) return kAudioHardwareIllegalOperationError;
    std::vector<float> volumes;
    std::optional<bool> mute;
    switch (address.selector) {
        case kAudioHardwareServiceDeviceProperty_VirtualMainVolume:
            if (std::isnan(scalar)) return kAudio_ParamError;
            volumes.assign(node->volume.channelVolumes.size(), sliderToLinear(scalar));
            break;
        case kAudioDevicePropertyVolumeScalar:
            if (std::isnan(scalar)) return kAudio_ParamError;
            volumes = node->volume.channelVolumes;
            volumes[address.element - 1] = sliderToLinear(scalar);
            break;
        case kAudioDevicePropertyMute:
            mute = word != 0;
            break;
        default:
            return kAudioHardwareIllegalOperationError;
    }
    // Hardware devices keep volume in the active route (what the desktop's mixer writes);
    // virtual sinks in the node's own props.
    const std::string deviceId = prop(node->props, PW_KEY_DEVICE_ID);
    const std::string profileDevice = prop(node->props, "card.profile.device");
    if (!deviceId.empty() && !profileDevice.empty()) {
        auto dev =
            s.devicesById.find(static_cast<uint32_t>(std::strtoul(deviceId.c_str(), nullptr, 10)));
        if (dev != s.devicesById.end() && dev->second->binding) {
            const int32_t wanted =
                static_cast<int32_t>(std::strtol(profileDevice.c_str(), nullptr, 10));
            for (const auto& route : dev->second->routes) {
                if (route.device != wanted) continue;
                const auto pod = buildRouteVolume(route.index, route.device, volumes, mute);
                pw_device_set_param(reinterpret_cast<pw_device*>(dev->second->binding->proxy),
                                    SPA_PARAM_Route, 0,
                                    reinterpret_cast<const spa_pod*>(pod.data()));
                return kAudioHardwareNoError;
            }
        }
    }
    const auto pod = buildVolumeProps(volumes, mute);
    pw_node_set_param(reinterpret_cast<pw_node*>(node->binding->proxy), SPA_PARAM_Props, 0,
                      reinterpret_cast<const spa_pod*>(pod.data()));
    return kAudioHardwareNoError;
}

// ---- listeners

OSStatus PipeWireAudioHardware::addPropertyListener(AudioObjectID object,
                                                    const PropertyAddress& address,
                                                    dispatch::QueuePtr queue,
                                                    PropertyListenerBlock block) {
    if (!queue || !block || !*block) return kAudio_ParamError;
    Locked lock(state_->loop);
    if (!objectExists(*state_, object)) return kAudioHardwareBadObjectError;
    state_->listeners.push_back({object, address, std::move(queue), std::move(block)});
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::removePropertyListener(AudioObjectID object,
                                                       const PropertyAddress& address,
                                                       dispatch::QueuePtr queue,
                                                       PropertyListenerBlock block) {
    PropertyListenerBlock released;  // dropped after the lock: its closure may hold anything
    Locked lock(state_->loop);
    auto& listeners = state_->listeners;
    auto it = std::find_if(listeners.begin(), listeners.end(), [&](const Listener& l) {
        return l.object == object && l.address == address && l.queue == queue && l.block == block;
    });
    if (it == listeners.end()) {
        return objectExists(*state_, object) ? kAudioHardwareUnknownPropertyError
                                             : kAudioHardwareBadObjectError;
    }
    released = std::move(it->block);
    listeners.erase(it);
    return kAudioHardwareNoError;
}

}  // namespace tobble::audio::pipewire
