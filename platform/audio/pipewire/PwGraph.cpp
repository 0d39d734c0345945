// The mirror of the server's graph: registry globals, their info and params, the default
// metadata, and what the engine derives from them (devices, process objects, the default).
#include <spa/param/param.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

using namespace detail;

namespace detail {

std::string prop(const Props& props, const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

Binding::~Binding() {
    if (proxy) {
        spa_hook_remove(&listener);
        pw_proxy_destroy(proxy);
    }
}

}  // namespace detail

namespace {

Props toProps(const spa_dict* dict) {
    Props props;
    if (!dict) return props;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) props[item->key] = item->value ? item->value : "";
    return props;
}

void nodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<PwNode*>(data);
    node->owner->onNodeInfo(*node, info);
}
void nodeParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* node = static_cast<PwNode*>(data);
    node->owner->onNodeParam(*node, id, param);
}
const pw_node_events kNodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = nodeInfo;
    e.param = nodeParam;
    return e;
}();

void clientInfo(void* data, const pw_client_info* info) {
    auto* client = static_cast<PwClient*>(data);
    client->owner->onClientInfo(*client, info);
}
const pw_client_events kClientEvents = [] {
    pw_client_events e{};
    e.version = PW_VERSION_CLIENT_EVENTS;
    e.info = clientInfo;
    return e;
}();

void deviceInfo(void* data, const pw_device_info* info) {
    auto* device = static_cast<PwDevice*>(data);
    if (info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS) device->props = toProps(info->props);
    if (info->change_mask & PW_DEVICE_CHANGE_MASK_PARAMS) {
        device->routes.clear();
        pw_device_enum_params(reinterpret_cast<pw_device*>(device->binding->proxy), 0,
                              SPA_PARAM_Route, 0, UINT32_MAX, nullptr);
    }
}
void deviceParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* device = static_cast<PwDevice*>(data);
    device->owner->onDeviceParam(*device, id, param);
}
const pw_device_events kDeviceEvents = [] {
    pw_device_events e{};
    e.version = PW_VERSION_DEVICE_EVENTS;
    e.info = deviceInfo;
    e.param = deviceParam;
    return e;
}();

int metadataProperty(void* data, uint32_t subject, const char* key, const char* type,
                     const char* value) {
    static_cast<PipeWireAudioHardware::State*>(data)->onMetadata(subject, key, type, value);
    return 0;
}
const pw_metadata_events kMetadataEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = metadataProperty;
    return e;
}();

std::unique_ptr<Binding> bind(pw_registry* registry, uint32_t id, const char* type,
                              uint32_t version, const void* events, void* data) {
    auto binding = std::make_unique<Binding>();
    binding->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
    if (!binding->proxy) return nullptr;
    pw_proxy_add_object_listener(binding->proxy, &binding->listener, events, data);
    return binding;
}

bool isSinkClass(const std::string& mediaClass) {
    return mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex";
}

std::vector<std::string> parsePositions(const std::string& text) {
    std::vector<std::string> out;
    std::string token;
    for (char c : text) {
        if (c == '[' || c == ']' || c == ',' || c == ' ') {
            if (!token.empty()) out.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) out.push_back(token);
    return out;
}

}  // namespace

void PipeWireAudioHardware::State::onGlobal(uint32_t id, const char* type, const spa_dict* dict) {
    Props props = toProps(dict);
    if (strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        auto node = std::make_unique<PwNode>();
        node->id = id;
        node->owner = this;
        node->serial = std::strtoull(prop(props, PW_KEY_OBJECT_SERIAL).c_str(), nullptr, 10);
        node->mediaClass = prop(props, PW_KEY_MEDIA_CLASS);
        node->props = std::move(props);
        PwNode* raw = node.get();
        nodes[id] = std::move(node);
        if (raw->mediaClass == "Stream/Output/Audio" || isSinkClass(raw->mediaClass)) {
            raw->binding = bind(registry, id, type, PW_VERSION_NODE, &kNodeEvents, raw);
            if (raw->binding && isSinkClass(raw->mediaClass)) {
                uint32_t ids[] = {SPA_PARAM_Props};
                pw_node_subscribe_params(reinterpret_cast<pw_node*>(raw->binding->proxy), ids, 1);
            }
        }
        if (isSinkClass(raw->mediaClass)) {
            const std::string uid = prop(raw->props, PW_KEY_NODE_NAME);
            Device& d = devices[uid];
            if (d.id == 0) {
                d.id = nextObjectID++;
                d.stream = nextObjectID++;
                d.uid = uid;
            }
            d.nodeId = id;
            d.alive = true;
            notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
            refreshDefault();
        }
        if (auto tap = tapNodes.find(prop(raw->props, PW_KEY_NODE_NAME)); tap != tapNodes.end()) {
            tap->second.nodeId = id;
            tap->second.serial = raw->serial;
        }
    } else if (strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        PwPort port;
        port.id = id;
        port.node =
            static_cast<uint32_t>(std::strtoul(prop(props, PW_KEY_NODE_ID).c_str(), nullptr, 10));
        port.name = prop(props, PW_KEY_PORT_NAME);
        port.direction = prop(props, PW_KEY_PORT_DIRECTION);
        port.channel = prop(props, PW_KEY_AUDIO_CHANNEL);
        ports[id] = std::move(port);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<PwClient>();
        client->id = id;
        client->owner = this;
        client->props = std::move(props);
        client->binding = bind(registry, id, type, PW_VERSION_CLIENT, &kClientEvents, client.get());
        clients[id] = std::move(client);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
        auto device = std::make_unique<PwDevice>();
        device->id = id;
        device->owner = this;
        device->props = std::move(props);
        device->binding = bind(registry, id, type, PW_VERSION_DEVICE, &kDeviceEvents, device.get());
        if (device->binding) {
            uint32_t ids[] = {SPA_PARAM_Route};
            pw_device_subscribe_params(reinterpret_cast<pw_device*>(device->binding->proxy), ids,
                                       1);
        }
        devicesById[id] = std::move(device);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        onLink(static_cast<uint32_t>(
                   std::strtoul(prop(props, PW_KEY_LINK_OUTPUT_NODE).c_str(), nullptr, 10)),
               static_cast<uint32_t>(
                   std::strtoul(prop(props, PW_KEY_LINK_INPUT_NODE).c_str(), nullptr, 10)));
    } else if (strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 &&
               prop(props, PW_KEY_METADATA_NAME) == "default" && !metadata) {
        metadata =
            static_cast<pw_metadata*>(pw_registry_bind(registry, id, type, PW_VERSION_METADATA, 0));
        metadataId = id;
        if (metadata) pw_metadata_add_listener(metadata, &metadataListener, &kMetadataEvents, this);
        if (policyManagerGone) {
            policyManagerGone = false;
            purgeAfterPolicyManagerChange();
        }
    }
    pw_thread_loop_signal(loop, false);
}

void PipeWireAudioHardware::State::onGlobalRemove(uint32_t id) {
    if (auto it = nodes.find(id); it != nodes.end()) {
        const bool sink = isSinkClass(it->second->mediaClass);
        const bool stream = it->second->mediaClass == "Stream/Output/Audio";
        const std::string name = prop(it->second->props, PW_KEY_NODE_NAME);
        orphanStreams.erase(it->second->serial);
        nodes.erase(it);
        metadataValues.erase(id);
        for (auto& [tapName, tap] : tapNodes) tap.moved.erase(id);
        if (sink) {
            auto d = devices.find(name);
            if (d != devices.end() && d->second.nodeId == id) {
                d->second.alive = false;
                d->second.nodeId = SPA_ID_INVALID;
                // Their filters lost the links to the device: dead, so the engine builds anew.
                for (auto& [aggID, agg] : aggregates) {
                    if (agg.alive && agg.deviceUID == name) killAggregate(agg);
                }
                notify(d->second.id, kAudioDevicePropertyDeviceIsAlive);
                notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
                refreshDefault();
            }
        }
        for (auto& [tapName, tap] : tapNodes) {
            if (tap.nodeId == id) tap.nodeId = SPA_ID_INVALID;
        }
        if (stream) refreshProcesses();
    }
    ports.erase(id);
    if (clients.erase(id) > 0) refreshProcesses();
    devicesById.erase(id);
    if (id == metadataId && metadata) {
        // The session manager went away with its metadata; its successor publishes a new one.
        spa_hook_remove(&metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
        metadata = nullptr;
        metadataId = SPA_ID_INVALID;
        metadataValues.clear();
        for (auto& [tapName, tap] : tapNodes) tap.moved.clear();
        policyManagerGone = true;
        for (const auto& [nodeId, node] : nodes) {
            if (node->mediaClass == "Stream/Output/Audio") orphanStreams.insert(node->serial);
        }
    }
    pw_thread_loop_signal(loop, false);
}

void PipeWireAudioHardware::State::onNodeInfo(PwNode& node, const pw_node_info* info) {
    if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) {
        Props full = toProps(info->props);
        for (auto& [k, v] : full) node.props[k] = v;
    }
    if (info->change_mask & PW_NODE_CHANGE_MASK_STATE) node.state = info->state;
    if (node.mediaClass == "Stream/Output/Audio") {
        refreshProcesses();
        if (TapNode* tap = tapForStream(node); tap && tap->routing) moveStream(*tap, node.id);
    }
    pw_thread_loop_signal(loop, false);
}

void PipeWireAudioHardware::State::onNodeParam(PwNode& node, uint32_t paramId,
                                               const spa_pod* param) {
    if (paramId != SPA_PARAM_Props) return;
    VolumeState parsed;
    if (!parseVolumeProps(param, parsed) || parsed.channelVolumes.empty()) return;
    const bool volumeChanged = parsed.channelVolumes != node.volume.channelVolumes;
    const bool muteChanged = parsed.mute && parsed.mute != node.volume.mute;
    node.volume.channelVolumes = parsed.channelVolumes;
    if (parsed.mute) node.volume.mute = parsed.mute;
    auto d = devices.find(prop(node.props, PW_KEY_NODE_NAME));
    if (d == devices.end()) return;
    if (volumeChanged) {
        notify(d->second.id, kAudioDevicePropertyVolumeScalar);
        notify(d->second.id, kAudioHardwareServiceDeviceProperty_VirtualMainVolume);
    }
    if (muteChanged) notify(d->second.id, kAudioDevicePropertyMute);
    pw_thread_loop_signal(loop, false);
}

void PipeWireAudioHardware::State::onClientInfo(PwClient& client, const pw_client_info* info) {
    if (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) {
        Props full = toProps(info->props);
        for (auto& [k, v] : full) client.props[k] = v;
    }
    refreshProcesses();
    // A native client's streams learn their pid only now.
    for (auto& [id, node] : nodes) {
        if (node->mediaClass != "Stream/Output/Audio") continue;
        if (TapNode* tap = tapForStream(*node); tap && tap->routing) moveStream(*tap, id);
    }
}

void PipeWireAudioHardware::State::onDeviceParam(PwDevice& device, uint32_t paramId,
                                                 const spa_pod* param) {
    if (paramId != SPA_PARAM_Route) return;
    RouteInfo route;
    if (!parseRoute(param, route)) return;
    auto it = std::find_if(device.routes.begin(), device.routes.end(),
                           [&](const RouteInfo& r) { return r.device == route.device; });
    if (it == device.routes.end()) {
        device.routes.push_back(route);
    } else {
        *it = route;
    }
}

void PipeWireAudioHardware::State::onMetadata(uint32_t subject, const char* key, const char* type,
                                              const char* value) {
    if (!key) {
        metadataValues.erase(subject);
        return;
    }
    if (value) {
        metadataValues[subject][key] = {type ? type : "", value};
    } else if (auto it = metadataValues.find(subject); it != metadataValues.end()) {
        it->second.erase(key);
    }
    if (subject == 0 && strcmp(key, "default.audio.sink") == 0) {
        defaultSinkName = value ? jsonName(value) : std::nullopt;
        refreshDefault();
        return;
    }
    // The session manager restores saved targets by role or application name, so a stream of
    // another process can be sent into one of our taps: send it back at once.
    const bool targetKey = strcmp(key, "target.object") == 0 || strcmp(key, "target.node") == 0;
    if (!targetKey || !value) return;
    const bool bySerial = strcmp(key, "target.object") == 0;
    const uint64_t target = std::strtoull(value, nullptr, 10);
    for (auto& [tapName, tap] : tapNodes) {
        const bool intoTap = bySerial ? (target == tap.serial && tap.serial != 0)
                                      : (target == tap.nodeId && tap.nodeId != SPA_ID_INVALID);
        if (intoTap) sendBackIfForeign(subject, tap);
    }
}

void PipeWireAudioHardware::State::onLink(uint32_t outputNode, uint32_t inputNode) {
    // The server does not tell us a stream's remembered target while that stream is not yet
    // visible to us, so a stream the session manager sends into a tap early is caught by its link.
    // A tap that is being taken down is left alone: its streams are going back already.
    for (auto& [tapName, tap] : tapNodes) {
        if (tap.routing && tap.nodeId == inputNode) sendBackIfForeign(outputNode, tap);
    }
}

void PipeWireAudioHardware::State::clearDeadTargets() {
    std::vector<uint32_t> stale;
    for (const auto& [subject, values] : metadataValues) {
        auto target = values.find("target.object");
        if (subject == 0 || target == values.end()) continue;
        const std::string& value = target->second.second;
        char* end = nullptr;
        const long long serial = std::strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || serial < 0) continue;  // a name, or "no target"
        const bool alive = std::any_of(nodes.begin(), nodes.end(), [&](const auto& node) {
            return node.second->serial == static_cast<uint64_t>(serial);
        });
        if (!alive) stale.push_back(subject);
    }
    for (uint32_t subject : stale) setMetadata(subject, "target.object", nullptr, nullptr);
}

void PipeWireAudioHardware::State::sendBackIfForeign(uint32_t streamNode, const TapNode& tap) {
    auto node = nodes.find(streamNode);
    if (node == nodes.end() || node->second->mediaClass != "Stream/Output/Audio") return;
    const auto pid = streamPid(*node->second);
    if (tap.routing && pid && tap.pids.count(*pid)) return;
    // Without a target the policy links the stream to the default device again. A stream of
    // ours whose process we do not know yet is moved back once we do.
    setMetadata(streamNode, "target.object", nullptr, nullptr);
    setMetadata(streamNode, "target.node", nullptr, nullptr);
}

std::optional<pid_t> PipeWireAudioHardware::State::streamPid(const PwNode& node) const {
    auto parse = [](const std::string& text) -> std::optional<pid_t> {
        if (text.empty()) return std::nullopt;
        const long v = std::strtol(text.c_str(), nullptr, 10);
        return v > 0 ? std::optional<pid_t>(static_cast<pid_t>(v)) : std::nullopt;
    };
    if (auto pid = parse(prop(node.props, PW_KEY_APP_PROCESS_ID))) return pid;
    const Props* client = clientPropsOf(node);
    if (!client) return std::nullopt;
    const Props& c = *client;
    if (auto pid = parse(prop(c, PW_KEY_APP_PROCESS_ID))) return pid;
    // Socket credentials name the client process, which for the pulse bridge is the bridge.
    if (prop(c, "client.api") == "pipewire-pulse") return std::nullopt;
    return parse(prop(c, PW_KEY_SEC_PID));
}

const Props* PipeWireAudioHardware::State::clientPropsOf(const PwNode& node) const {
    const std::string clientId = prop(node.props, PW_KEY_CLIENT_ID);
    if (clientId.empty()) return nullptr;
    auto it = clients.find(static_cast<uint32_t>(std::strtoul(clientId.c_str(), nullptr, 10)));
    return it == clients.end() ? nullptr : &it->second->props;
}

std::string PipeWireAudioHardware::State::streamProp(const PwNode& node, const char* key) const {
    // Native clients put the application's properties on the client, the pulse bridge on the
    // stream.
    std::string v = prop(node.props, key);
    if (v.empty()) {
        if (const Props* client = clientPropsOf(node)) v = prop(*client, key);
    }
    return v;
}

std::optional<std::string> PipeWireAudioHardware::State::streamBundleID(const PwNode& node) const {
    for (const char* key : {"pipewire.access.portal.app_id", PW_KEY_APP_ID,
                            PW_KEY_APP_PROCESS_BINARY, PW_KEY_APP_NAME}) {
        if (std::string v = streamProp(node, key); !v.empty()) return v;
    }
    return std::nullopt;
}

void PipeWireAudioHardware::State::refreshProcesses() {
    struct Seen {
        std::optional<std::string> bundleID;
        bool running = false;
    };
    std::map<pid_t, Seen> seen;
    for (const auto& [id, node] : nodes) {
        if (node->mediaClass != "Stream/Output/Audio") continue;
        const auto pid = streamPid(*node);
        if (!pid) continue;
        Seen& s = seen[*pid];
        if (!s.bundleID) s.bundleID = streamBundleID(*node);
        s.running = s.running || node->state == PW_NODE_STATE_RUNNING;
    }
    bool listChanged = false;
    for (auto& [pid, process] : processes) {
        if (process.present && !seen.count(pid)) {
            process.present = false;
            listChanged = true;
            if (process.running) {
                process.running = false;
                notify(process.id, kAudioProcessPropertyIsRunningOutput);
            }
            notify(process.id, kAudioProcessPropertyIsRunning);
        }
    }
    for (auto& [pid, s] : seen) {
        Process& p = processes[pid];
        if (p.id == 0) {
            p.id = nextObjectID++;
            p.pid = pid;
        }
        if (s.bundleID) p.bundleID = s.bundleID;
        if (!p.present) {
            p.present = true;
            listChanged = true;
            notify(p.id, kAudioProcessPropertyIsRunning);
        }
        if (p.running != s.running) {
            p.running = s.running;
            notify(p.id, kAudioProcessPropertyIsRunningOutput);
        }
    }
    if (listChanged) notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
}

void PipeWireAudioHardware::State::refreshDefault() {
    AudioObjectID now = kAudioObjectUnknown;
    if (defaultSinkName) {
        auto it = devices.find(*defaultSinkName);
        if (it != devices.end() && it->second.alive) now = it->second.id;
    }
    if (now == lastDefault) return;
    lastDefault = now;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice);
}

const PwNode* PipeWireAudioHardware::State::sinkNode(const Device& device) const {
    auto it = nodes.find(device.nodeId);
    return it == nodes.end() ? nullptr : it->second.get();
}

Device* PipeWireAudioHardware::State::deviceByID(AudioObjectID id) {
    for (auto& [uid, d] : devices) {
        if (d.id == id && d.alive) return &d;
    }
    return nullptr;
}

const Device* PipeWireAudioHardware::State::deviceByID(AudioObjectID id) const {
    return const_cast<State*>(this)->deviceByID(id);
}

const Device* PipeWireAudioHardware::State::deviceByUID(const std::string& uid) const {
    auto it = devices.find(uid);
    return it != devices.end() && it->second.alive ? &it->second : nullptr;
}

const Process* PipeWireAudioHardware::State::processByID(AudioObjectID id) const {
    // A process without streams is gone for the engine; its id comes back with its next stream.
    for (const auto& [pid, p] : processes) {
        if (p.id == id && p.present) return &p;
    }
    return nullptr;
}

std::vector<std::string> PipeWireAudioHardware::State::sinkChannels(const PwNode& node) const {
    auto positions = parsePositions(prop(node.props, "audio.position"));
    if (!positions.empty()) return positions;
    std::vector<std::string> fromPorts;
    for (const auto& [id, port] : ports) {
        if (port.node == node.id && port.direction == "in" && !port.channel.empty()) {
            fromPorts.push_back(port.channel);
        }
    }
    if (!fromPorts.empty()) return fromPorts;
    const long n = std::strtol(prop(node.props, PW_KEY_AUDIO_CHANNELS).c_str(), nullptr, 10);
    if (n == 1) return {"MONO"};
    return {"FL", "FR"};
}

uint32_t PipeWireAudioHardware::State::sinkRate(const PwNode& node) const {
    const long rate = std::strtol(prop(node.props, PW_KEY_AUDIO_RATE).c_str(), nullptr, 10);
    return rate > 0 ? static_cast<uint32_t>(rate) : 48000;
}

// How a user knows the sink: by its connection (Bluetooth, USB, HDMI, DisplayPort, built-in)
// or as virtual (a null sink, an effects chain, a network stream). ALSA puts the bus on the card
// and the port's kind in the node's profile ("hdmi-stereo", "iec958-stereo"); Bluetooth nodes
// carry the bluez5 keys themselves. A key is read from the node first, then from its card.
uint32_t PipeWireAudioHardware::State::transportOf(const PwNode& node) const {
    const PwDevice* device = nullptr;
    if (const std::string deviceId = prop(node.props, PW_KEY_DEVICE_ID); !deviceId.empty()) {
        auto it =
            devicesById.find(static_cast<uint32_t>(std::strtoul(deviceId.c_str(), nullptr, 10)));
        if (it != devicesById.end()) device = it->second.get();
    }
    const auto value = [&](const char* key) {
        std::string v = prop(node.props, key);
        if (v.empty() && device) v = prop(device->props, key);
        return v;
    };
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string bus = value(PW_KEY_DEVICE_BUS);
    const std::string api = value(PW_KEY_DEVICE_API);
    if (bus == "bluetooth" || api.rfind("bluez", 0) == 0 || !value("api.bluez5.address").empty()) {
        return kAudioDeviceTransportTypeBluetooth;
    }
    // The port the profile drives: ALSA names HDMI and DisplayPort outputs "hdmi-…" either way,
    // and only the description tells them apart.
    const std::string profile =
        lower(value("device.profile.name") + " " + value(PW_KEY_NODE_NAME) + " " +
              value("device.profile.description") + " " + value(PW_KEY_NODE_DESCRIPTION));
    const bool hardware = device || !bus.empty();
    if (hardware && profile.find("displayport") != std::string::npos) {
        return kAudioDeviceTransportTypeDisplayPort;
    }
    if (hardware && profile.find("hdmi") != std::string::npos) return kAudioDeviceTransportTypeHDMI;
    if (bus == "usb") return kAudioDeviceTransportTypeUSB;
    const std::string formFactor = value(PW_KEY_DEVICE_FORM_FACTOR);
    if (bus == "pci" || bus == "isa" || bus == "platform" || formFactor == "internal") {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    if (!device || prop(node.props, PW_KEY_FACTORY_NAME) == "support.null-audio-sink" ||
        prop(node.props, PW_KEY_NODE_VIRTUAL) == "true") {
        return kAudioDeviceTransportTypeVirtual;
    }
    return kAudioDeviceTransportTypeUnknown;
}

const PwPort* PipeWireAudioHardware::State::findPort(uint32_t node, const char* direction,
                                                     const std::string& channel,
                                                     bool monitor) const {
    for (const auto& [id, port] : ports) {
        if (port.node != node || port.direction != direction) continue;
        if ((port.name.rfind("monitor_", 0) == 0) != monitor) continue;
        if (port.channel == channel) return &port;
    }
    return nullptr;
}

void PipeWireAudioHardware::State::notify(AudioObjectID object, uint32_t selector) {
    // Posted, never called here: the loop lock is held and listeners call back into us.
    for (const auto& l : listeners) {
        if (l.object != object || l.address.selector != selector) continue;
        l.queue->async([block = l.block, object, address = l.address] {
            (*block)(object, std::span<const PropertyAddress>(&address, 1));
        });
    }
}

}  // namespace tobble::audio::pipewire
