// Taps (private null sinks the applications' streams are moved into), aggregates (one DSP filter
// linked from a tap's monitor to the real sink) and the I/O blocks that run in those filters.
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "platform/audio/pipewire/PwState.h"

namespace tobble::audio::pipewire {

using namespace detail;
using State = PipeWireAudioHardware::State;

namespace {

constexpr int kCreateTimeoutMs = 3000;
constexpr const char* kTapMediaName = "tobble.tap";
// Between restoring the streams' targets and removing the tap node: the session manager relinks
// the streams within a cycle or two; removing the node first would cut them off.
constexpr auto kRelinkGrace = std::chrono::milliseconds(150);
// How long removing a tap waits for the server to confirm each step. A server that answers at
// all does so within a cycle or two; a stuck one must not hold up a quit (a second at most).
constexpr auto kTeardownSyncLimit = std::chrono::milliseconds(500);

std::string joinPositions(const std::vector<std::string>& channels) {
    std::string out = "[ ";
    for (const auto& c : channels) out += c + " ";
    return out + "]";
}

}  // namespace

void State::setMetadata(uint32_t subject, const char* key, const char* type, const char* value) {
    if (metadata) pw_metadata_set_property(metadata, subject, key, type, value);
}

TapNode* State::tapForStream(const PwNode& node) {
    const auto pid = streamPid(node);
    if (!pid) return nullptr;
    for (auto& [name, tap] : tapNodes) {
        if (tap.pids.count(*pid)) return &tap;
    }
    return nullptr;
}

std::string State::targetNodeId(const TapNode::Saved& saved) const {
    // target.object names a node by serial or name, target.node by id; the first set wins.
    const bool bySerial = !saved.targetObject.second.empty();
    const std::string& target = bySerial ? saved.targetObject.second : saved.targetNode.second;
    if (target.empty() || target == "-1") return {};
    char* end = nullptr;
    const unsigned long long number = std::strtoull(target.c_str(), &end, 10);
    const bool byName = *end != '\0';
    for (const auto& [id, node] : nodes) {
        const bool match = byName ? prop(node->props, PW_KEY_NODE_NAME) == target
                                  : (bySerial ? node->serial : id) == number;
        if (!match) continue;
        // A tap is never an application's own choice (an older build let one be remembered).
        const bool tap = std::any_of(tapNodes.begin(), tapNodes.end(),
                                     [&](const auto& t) { return t.second.nodeId == id; });
        return tap ? std::string() : std::to_string(id);
    }
    return {};
}

void State::moveStream(TapNode& tap, uint32_t streamNodeId) {
    if (tap.serial == 0 || tap.moved.count(streamNodeId)) return;
    TapNode::Saved saved;
    if (auto subject = metadataValues.find(streamNodeId); subject != metadataValues.end()) {
        if (auto v = subject->second.find("target.object"); v != subject->second.end()) {
            saved.targetObject = v->second;
        }
        if (auto v = subject->second.find("target.node"); v != subject->second.end()) {
            saved.targetNode = v->second;
        }
    }
    tap.moved[streamNodeId] = saved;
    setMetadata(streamNodeId, "target.object", "Spa:Id", std::to_string(tap.serial).c_str());
    // The session manager remembers the last target written for a stream as its application's
    // own choice, and sends the application's next stream there: into a tap that may still be
    // ours for another process, or that names nothing once we are gone. So the stream's own
    // target is written once more, under target.node: the policy reads that key only when no
    // target.object is set, and the session manager remembers it instead of the tap ("-1":
    // nothing to remember). Cleared first: an unchanged value is not announced, so it would not
    // be remembered again.
    const std::string own = targetNodeId(saved);
    setMetadata(streamNodeId, "target.node", nullptr, nullptr);
    setMetadata(streamNodeId, "target.node", "Spa:Id", own.empty() ? "-1" : own.c_str());
    auto node = nodes.find(streamNodeId);
    if (node != nodes.end() && orphanStreams.count(node->second->serial)) {
        linkStreamInto(tap, streamNodeId);
    }
}

void State::linkStreamInto(TapNode& tap, uint32_t streamNodeId) {
    for (const auto& [id, port] : ports) {
        if (port.node != streamNodeId || port.direction != "out") continue;
        if (port.name.rfind("monitor_", 0) == 0) continue;
        const std::string& channel = tap.channels.size() == 1 ? tap.channels.front() : port.channel;
        const PwPort* in = findPort(tap.nodeId, "in", channel, false);
        if (!in) continue;
        if (auto* l = link(streamNodeId, id, tap.nodeId, in->id)) tap.streamLinks.push_back(l);
    }
    tap.linkedStreams.insert(streamNodeId);
}

void State::handStreamToDefault(uint32_t streamNodeId) {
    const Device* device = defaultSinkName ? deviceByUID(*defaultSinkName) : nullptr;
    const PwNode* sink = device ? sinkNode(*device) : nullptr;
    if (!sink) return;
    for (const auto& [id, port] : ports) {
        if (port.node != streamNodeId || port.direction != "out") continue;
        if (port.name.rfind("monitor_", 0) == 0) continue;
        const PwPort* in = findPort(sink->id, "in", port.channel, false);
        if (!in) continue;
        if (auto* l = link(streamNodeId, id, sink->id, in->id, true)) handedLinks.push_back(l);
    }
}

void State::killAggregate(Aggregate& aggregate) {
    aggregate.alive = false;
    aggregate.filter.reset();  // detaches the block first
    notify(aggregate.id, kAudioDevicePropertyDeviceIsAlive);
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
}

void State::forgetTapNode(TapNode& node) {
    if (node.nodeId != SPA_ID_INVALID) pw_registry_destroy(registry, node.nodeId);
    if (node.proxy) pw_proxy_destroy(node.proxy);
    for (pw_proxy* l : node.streamLinks) pw_proxy_destroy(l);
    node.streamLinks.clear();
    node.linkedStreams.clear();
    node.retired.clear();
    node.proxy = nullptr;
    node.nodeId = SPA_ID_INVALID;
    node.serial = 0;
    node.moved.clear();
    node.routing = false;
    node.dead = true;
}

// A new session manager (WirePlumber 0.4.13) never takes over a node its predecessor set up,
// and while such a node waits its policy links nothing for anyone. So none of ours may survive:
// the taps and aggregates vanish, and the engine, seeing its aggregates dead, builds new ones
// that the new session manager sets up and routes into.
void State::purgeAfterPolicyManagerChange() {
    bool anyTap = false;
    for (auto& [id, tap] : taps) {
        anyTap = anyTap || tap.alive;
        tap.alive = false;
    }
    for (auto& [name, node] : tapNodes) {
        if (!node.dead) forgetTapNode(node);
    }
    for (auto& [id, agg] : aggregates) {
        if (agg.alive) killAggregate(agg);
    }
    if (anyTap) notify(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
}

void State::moveStreamsInto(TapNode& tap) {
    tap.routing = true;
    for (auto& [id, node] : nodes) {
        if (node->mediaClass != "Stream/Output/Audio") continue;
        const auto pid = streamPid(*node);
        if (pid && tap.pids.count(*pid)) moveStream(tap, id);
    }
}

void State::restoreStreams(TapNode& tap) {
    tap.routing = false;
    for (auto& [streamId, saved] : tap.moved) {
        if (!nodes.count(streamId)) continue;
        // Cleared first, as when the stream was moved: an unchanged value is not announced.
        auto restore = [&](const char* key, const std::pair<std::string, std::string>& value) {
            setMetadata(streamId, key, nullptr, nullptr);
            if (!value.second.empty())
                setMetadata(streamId, key, value.first.c_str(), value.second.c_str());
        };
        // The session manager remembers whichever key is written last: the one that holds the
        // stream's own target goes last.
        if (saved.targetObject.second.empty()) {
            restore("target.object", saved.targetObject);
            restore("target.node", saved.targetNode);
        } else {
            restore("target.node", saved.targetNode);
            restore("target.object", saved.targetObject);
        }
    }
    tap.moved.clear();
}

pw_proxy* State::link(uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                      bool lingering) {
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
    // Ours die with our connection, unless they are meant to outlive us.
    pw_properties_set(props, PW_KEY_OBJECT_LINGER, lingering ? "true" : "false");
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return proxy;
}

bool State::linkFilter(PwFilter& filter, const TapNode* tap, uint32_t sinkNode) {
    const bool ready = waitFor(
        [&] {
            const uint32_t id = filter.nodeId();
            if (id == SPA_ID_INVALID) return false;
            for (const auto& c : filter.inputChannels()) {
                if (!findPort(id, "in", c, false)) return false;
            }
            for (const auto& c : filter.outputChannels()) {
                if (!findPort(id, "out", c, false)) return false;
            }
            return true;
        },
        kCreateTimeoutMs);
    if (!ready) return false;
    const uint32_t id = filter.nodeId();
    // Non-lingering links die with us, with either node, or with their proxy; we never remove
    // them one by one, which would drop a cycle of the device's output.
    if (tap) {
        for (const auto& c : filter.inputChannels()) {
            const PwPort* monitor = findPort(tap->nodeId, "out", c, true);
            const PwPort* in = findPort(id, "in", c, false);
            if (!monitor || !in) return false;
            if (auto* l = link(tap->nodeId, monitor->id, id, in->id)) filter.keepLink(l);
        }
    }
    filter.setOutputNode(sinkNode);
    for (const auto& c : filter.outputChannels()) {
        const PwPort* out = findPort(id, "out", c, false);
        const PwPort* sinkIn = findPort(sinkNode, "in", c, false);
        if (!out || !sinkIn) continue;
        if (auto* l = link(id, out->id, sinkNode, sinkIn->id)) filter.keepLink(l);
    }
    roundTrip();
    return true;
}

// ---- taps

OSStatus PipeWireAudioHardware::createProcessTap(const TapDescription& description,
                                                 AudioObjectID& outTapID) {
    auto& s = *state_;
    Locked lock(s.loop);
    if (description.processes.empty()) return kAudio_ParamError;
    // Without a session manager nothing would set the tap up or route a stream into it.
    if (!s.metadata) return kAudioHardwareNotRunningError;
    std::set<pid_t> pids;
    for (AudioObjectID p : description.processes) {
        const Process* process = s.processByID(p);
        if (!process) return kAudioHardwareBadObjectError;
        pids.insert(process->pid);
    }
    // The tap takes the layout of the device it will play to, so nothing is remixed.
    std::vector<std::string> channels = {"FL", "FR"};
    uint32_t rate = 48000;
    std::optional<std::string> layoutFrom = description.deviceUID;
    if (!layoutFrom && s.defaultSinkName) layoutFrom = s.defaultSinkName;
    if (layoutFrom) {
        const Device* d = s.deviceByUID(*layoutFrom);
        if (description.deviceUID && !d) return kAudioHardwareBadDeviceError;
        if (description.deviceUID && description.stream.value_or(0) != 0) {
            return kAudioHardwareBadStreamError;
        }
        if (const PwNode* node = d ? s.sinkNode(*d) : nullptr) {
            if (description.deviceUID) channels = s.sinkChannels(*node);
            rate = s.sinkRate(*node);
        }
    }
    if (description.isMono && !description.deviceUID) channels = {"MONO"};
    Tap tap;
    tap.description = description;
    tap.uid = description.uuid.empty() ? "tobble-tap-" + std::to_string(s.nextObjectID)
                                       : description.uuid;
    for (const auto& [id, t] : s.taps) {
        if (t.alive && t.uid == tap.uid) return kAudioHardwareIllegalOperationError;
    }
    for (auto& [name, node] : s.tapNodes) {
        if (!node.dead && node.pids == pids && node.channels == channels &&
            node.muteBehavior == description.muteBehavior) {
            tap.node = &node;
        }
    }
    if (!tap.node) {
        const std::string nodeName =
            "tobble.tap." + std::to_string(getpid()) + "." + std::to_string(++s.tapCounter);
        TapNode& node = s.tapNodes[nodeName];
        node.pids = pids;
        node.nodeName = nodeName;
        node.muteBehavior = description.muteBehavior;
        node.channels = channels;
        node.rate = rate;
        if (!s.createTapNode(node, description.name)) {
            s.tapNodes.erase(nodeName);
            return kAudioHardwareUnspecifiedError;
        }
        tap.node = &node;
    }
    ++tap.node->users;
    tap.id = s.nextObjectID++;
    outTapID = tap.id;
    s.taps[tap.id] = std::move(tap);
    s.notify(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
    return kAudioHardwareNoError;
}

bool State::createTapNode(TapNode& node, const std::string& description) {
    pw_properties* props = pw_properties_new(
        PW_KEY_FACTORY_NAME, "support.null-audio-sink", PW_KEY_NODE_NAME, node.nodeName.c_str(),
        PW_KEY_NODE_DESCRIPTION, description.c_str(),
        // Internal: a link target for the policy, but never offered as a device or a default.
        PW_KEY_MEDIA_CLASS, "Audio/Sink/Internal", PW_KEY_NODE_VIRTUAL, "true",
        "monitor.channel-volumes", "false", PW_KEY_PRIORITY_DRIVER, "0", PW_KEY_PRIORITY_SESSION,
        "0",
        // WirePlumber 0.4.13 crashes when its idle-suspend timer fires on a node we removed.
        "session.suspend-timeout-seconds", "0",
        // The session manager remembers every sink's volume under its first naming key and
        // never forgets one: under the unique node name, each tap ever made would add four
        // lines to its state. One shared name keeps that to four lines in all; later
        // versions read the opt-outs and remember nothing.
        PW_KEY_MEDIA_NAME, kTapMediaName, "state.restore-props", "false", "state.restore-target",
        "false", nullptr);
    pw_properties_set(props, "audio.position", joinPositions(node.channels).c_str());
    pw_properties_setf(props, PW_KEY_AUDIO_RATE, "%u", node.rate);
    node.nodeId = SPA_ID_INVALID;
    node.serial = 0;
    node.proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
    pw_properties_free(props);
    if (!node.proxy) return false;
    const bool ready = waitFor(
        [&] {
            if (node.serial == 0 || node.nodeId == SPA_ID_INVALID) return false;
            for (const auto& c : node.channels) {
                if (!findPort(node.nodeId, "out", c, true)) return false;
            }
            return true;
        },
        kCreateTimeoutMs);
    if (!ready) {
        pw_proxy_destroy(node.proxy);
        node.proxy = nullptr;
        return false;
    }
    return true;
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    auto& s = *state_;
    std::vector<std::unique_ptr<PwFilter>> retired;
    {
        Locked lock(s.loop);
        auto it = s.taps.find(tapID);
        if (it == s.taps.end()) return kAudioHardwareBadObjectError;
        TapNode* node = it->second.node;
        const bool listed = it->second.alive;
        s.taps.erase(it);
        if (listed) s.notify(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
        if (--node->users > 0) return kAudioHardwareNoError;
        const std::string nodeName = node->nodeName;
        const bool wasRouting = !node->moved.empty();
        s.restoreStreams(*node);
        // A stream we linked ourselves has nobody to link it once our tap is gone (the session
        // manager that started after it never will): it goes to the default output, unless
        // another tap of ours (a migration's new one) carries it on.
        for (uint32_t stream : node->linkedStreams) {
            auto found = s.nodes.find(stream);
            if (found == s.nodes.end() || !s.orphanStreams.count(found->second->serial)) continue;
            const bool carried =
                std::any_of(s.tapNodes.begin(), s.tapNodes.end(), [&](const auto& other) {
                    return &other.second != node && !other.second.dead &&
                           other.second.linkedStreams.count(stream) > 0;
                });
            if (!carried) s.handStreamToDefault(stream);
        }
        node->linkedStreams.clear();
        if (wasRouting) {
            s.roundTrip(kTeardownSyncLimit);
            pw_thread_loop_unlock(s.loop);
            std::this_thread::sleep_for(kRelinkGrace);
            pw_thread_loop_lock(s.loop);
        }
        auto n = s.tapNodes.find(nodeName);
        if (n == s.tapNodes.end()) return kAudioHardwareNoError;
        // The tap node first, its readers after: the order that leaves the device undisturbed.
        TapNode& doomed = n->second;
        if (doomed.users > 0) return kAudioHardwareNoError;  // taken again meanwhile
        for (auto& [aggID, agg] : s.aggregates) {
            if (agg.filter && agg.tapNode == nodeName) {
                agg.filter->setIdleMode(PwFilter::IdleMode::Silence);
            }
        }
        if (doomed.nodeId != SPA_ID_INVALID) pw_registry_destroy(s.registry, doomed.nodeId);
        if (doomed.proxy) pw_proxy_destroy(doomed.proxy);
        s.roundTrip(kTeardownSyncLimit);
        for (pw_proxy* l : doomed.streamLinks) pw_proxy_destroy(l);
        retired = std::move(doomed.retired);
        s.tapNodes.erase(n);
        retired.clear();  // filters are removed with the loop locked
    }
    return kAudioHardwareNoError;
}

// ---- aggregates

OSStatus PipeWireAudioHardware::createAggregateDevice(const AudioValue& description,
                                                      AudioObjectID& outDevice) {
    auto& s = *state_;
    if (!description.asDictionary()) return kAudio_ParamError;
    const auto uid = description.stringAt(kAudioAggregateDeviceUIDKey);
    if (!uid || uid->empty()) return kAudio_ParamError;
    auto mainUID = description.stringAt(kAudioAggregateDeviceMainSubDeviceKey);
    if (!mainUID) mainUID = description.stringAt(kAudioAggregateDeviceClockDeviceKey);
    if (!mainUID) {
        if (const AudioValue* list = description.find(kAudioAggregateDeviceSubDeviceListKey)) {
            if (list->asArray() && !list->asArray()->empty()) {
                mainUID = list->asArray()->front().stringAt(kAudioSubDeviceUIDKey);
            }
        }
    }
    std::optional<std::string> tapUID;
    if (const AudioValue* list = description.find(kAudioAggregateDeviceTapListKey)) {
        if (!list->asArray()) return kAudio_ParamError;
        if (!list->asArray()->empty())
            tapUID = list->asArray()->front().stringAt(kAudioSubTapUIDKey);
    }

    Locked lock(s.loop);
    for (const auto& [id, a] : s.aggregates) {
        if (a.alive && a.uid == *uid) return kAudioHardwareIllegalOperationError;
    }
    const Device* device = mainUID ? s.deviceByUID(*mainUID) : nullptr;
    const PwNode* sink = device ? s.sinkNode(*device) : nullptr;
    if (!sink) return kAudioHardwareBadDeviceError;
    Tap* tap = nullptr;
    if (tapUID) {
        for (auto& [id, t] : s.taps) {
            if (t.alive && t.uid == *tapUID) tap = &t;
        }
        if (!tap) return kAudioHardwareBadObjectError;
    }
    TapNode* tapNode = tap ? tap->node : nullptr;

    Aggregate agg;
    agg.id = s.nextObjectID++;
    agg.stream = s.nextObjectID++;
    agg.uid = *uid;
    agg.name = description.stringAt(kAudioAggregateDeviceNameKey).value_or("");
    agg.deviceUID = *mainUID;
    const auto outChannels = s.sinkChannels(*sink);
    agg.channels = static_cast<uint32_t>(outChannels.size());
    agg.rate = s.sinkRate(*sink);
    std::vector<std::string> inChannels;
    if (tap) {
        agg.tap = tap->id;
        agg.tapUID = tap->uid;
        agg.tapNode = tapNode->nodeName;
        inChannels = tapNode->channels;
    }
    agg.filter = std::make_unique<PwFilter>(s.core, "tobble.io." + std::to_string(agg.id),
                                            inChannels, outChannels);
    if (!agg.filter->connected() || !s.linkFilter(*agg.filter, tapNode, sink->id)) {
        return kAudioHardwareUnspecifiedError;
    }
    // Until a started block reads the tap, its processes are heard unchanged, as if untapped.
    const bool mutedAlways = tap && tap->description.muteBehavior == TapMuteBehavior::Muted;
    agg.filter->setIdleMode(mutedAlways ? PwFilter::IdleMode::Silence
                                        : PwFilter::IdleMode::PassThrough);
    if (tap && tap->description.muteBehavior != TapMuteBehavior::Unmuted)
        s.moveStreamsInto(*tapNode);
    outDevice = agg.id;
    s.aggregates[agg.id] = std::move(agg);
    s.notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    auto& s = *state_;
    std::unique_ptr<PwFilter> doomed;
    {
        Locked lock(s.loop);
        auto it = s.aggregates.find(device);
        if (it == s.aggregates.end()) return kAudioHardwareBadObjectError;
        Aggregate& agg = it->second;
        const bool listed = agg.alive;
        for (auto p = s.ioProcs.begin(); p != s.ioProcs.end();) {
            if (p->second.device == device) {
                if (agg.filter) agg.filter->detachBlock();
                p = s.ioProcs.erase(p);
            } else {
                ++p;
            }
        }
        auto tap = s.tapNodes.find(agg.tapNode);
        if (agg.filter && !agg.tapNode.empty() && tap != s.tapNodes.end() && !tap->second.dead) {
            bool otherReader = false;
            for (const auto& [id, other] : s.aggregates) {
                if (id != device && other.tapNode == agg.tapNode) otherReader = true;
            }
            agg.filter->setIdleMode(PwFilter::IdleMode::PassThrough);
            if (otherReader) {
                doomed = std::move(agg.filter);
            } else {
                // The last reader goes: the processes return to their device, and this filter
                // leaves only after the tap node does.
                s.restoreStreams(tap->second);
                tap->second.retired.push_back(std::move(agg.filter));
            }
        } else {
            doomed = std::move(agg.filter);
        }
        s.aggregates.erase(it);
        if (listed) s.notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
        doomed.reset();
    }
    return kAudioHardwareNoError;
}

// ---- I/O blocks

OSStatus PipeWireAudioHardware::createIOProcID(AudioObjectID device, dispatch::QueuePtr queue,
                                               IOProcBlock block, IOProcID& outID) {
    auto& s = *state_;
    if (!queue || !block) return kAudio_ParamError;
    Locked lock(s.loop);
    IOProc proc;
    proc.id = s.nextIOProcID++;
    proc.device = device;
    proc.queue = std::move(queue);
    proc.block = std::make_unique<IOProcBlock>(std::move(block));
    if (auto agg = s.aggregates.find(device); agg != s.aggregates.end()) {
        if (!agg->second.alive) return kAudioHardwareBadObjectError;
        if (agg->second.proc != 0 && s.ioProcs.count(agg->second.proc)) {
            // One block per filter; a second one has nowhere to run.
            return kAudioHardwareIllegalOperationError;
        }
        agg->second.proc = proc.id;
        agg->second.filter->attachBlock(proc.block.get());
    } else if (const Device* d = s.deviceByID(device)) {
        const PwNode* sink = s.sinkNode(*d);
        if (!sink) return kAudioHardwareBadObjectError;
        DeviceProcFilter f;
        f.filter = std::make_unique<PwFilter>(s.core, "tobble.device." + std::to_string(proc.id),
                                              std::vector<std::string>{}, s.sinkChannels(*sink));
        if (!f.filter->connected() || !s.linkFilter(*f.filter, nullptr, sink->id)) {
            return kAudioHardwareUnspecifiedError;
        }
        f.filter->setIdleMode(PwFilter::IdleMode::Silence);
        f.filter->attachBlock(proc.block.get());
        s.deviceFilters[proc.id] = std::move(f);
    } else {
        return kAudioHardwareBadObjectError;
    }
    outID = proc.id;
    s.ioProcs[proc.id] = std::move(proc);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    std::unique_ptr<PwFilter> doomed;
    std::unique_ptr<IOProcBlock> block;
    Locked lock(s.loop);
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second.device != device) return kAudioHardwareBadObjectError;
    if (auto agg = s.aggregates.find(device); agg != s.aggregates.end()) {
        if (agg->second.filter) agg->second.filter->detachBlock();
        agg->second.proc = 0;
    }
    if (auto f = s.deviceFilters.find(id); f != s.deviceFilters.end()) {
        f->second.filter->detachBlock();
        doomed = std::move(f->second.filter);
        s.deviceFilters.erase(f);
    }
    block = std::move(it->second.block);
    s.ioProcs.erase(it);
    doomed.reset();
    return kAudioHardwareNoError;
}

namespace {

PwFilter* filterOf(State& s, AudioObjectID device, IOProcID id) {
    if (auto agg = s.aggregates.find(device); agg != s.aggregates.end())
        return agg->second.filter.get();
    if (auto f = s.deviceFilters.find(id); f != s.deviceFilters.end())
        return f->second.filter.get();
    return nullptr;
}

}  // namespace

// Start and stop only flip the flag that decides whether the block is called:
// pw_filter_set_active does nothing in PipeWire 0.3.65, so the filter itself always runs.
OSStatus PipeWireAudioHardware::setIOProcStarted(AudioObjectID device, IOProcID id, bool started) {
    auto& s = *state_;
    Locked lock(s.loop);
    if (id == 0)
        return s.deviceByID(device) || s.aggregates.count(device) ? kAudioHardwareNoError
                                                                  : kAudioHardwareBadObjectError;
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second.device != device) return kAudioHardwareBadObjectError;
    if (PwFilter* f = filterOf(s, device, id)) f->setStarted(started);
    it->second.started = started;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID device, IOProcID id) {
    return setIOProcStarted(device, id, true);
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID device, IOProcID id) {
    return setIOProcStarted(device, id, false);
}

}  // namespace tobble::audio::pipewire
