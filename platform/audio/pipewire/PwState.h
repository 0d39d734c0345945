#pragma once

// PipeWire's interface methods (pw_node_set_param, pw_metadata_set_property, ...) are macros
// that expand to C casts inside our code; the backend's sources accept that.
#pragma GCC diagnostic ignored "-Wold-style-cast"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/audio/pipewire/PwFilter.h"
#include "platform/audio/pipewire/PwParams.h"

// The backend's mirror of the server's graph and its own objects. Everything here is touched
// only with the thread loop's lock held (the loop thread holds it while it runs events).
namespace tobble::audio::pipewire::detail {

using Props = std::map<std::string, std::string, std::less<>>;

std::string prop(const Props& props, const char* key);

// Holds the thread loop's lock for a scope: every call from the engine's threads takes it.
class Locked {
  public:
    explicit Locked(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~Locked() { pw_thread_loop_unlock(loop_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    pw_thread_loop* loop_;
};

// A proxy of a bound global with its listener.
struct Binding {
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    spa_hook proxyListener{};
    ~Binding();
};

struct PwNode {
    uint32_t id = 0;
    uint64_t serial = 0;
    Props props;  // global props, then the full info props once bound
    std::string mediaClass;
    pw_node_state state = PW_NODE_STATE_IDLE;
    std::unique_ptr<Binding> binding;
    VolumeState volume;  // sinks only
    PipeWireAudioHardware::State* owner = nullptr;
};

struct PwPort {
    uint32_t id = 0;
    uint32_t node = 0;
    std::string name;
    std::string direction;
    std::string channel;
};

struct PwClient {
    uint32_t id = 0;
    Props props;
    std::unique_ptr<Binding> binding;
    PipeWireAudioHardware::State* owner = nullptr;
};

struct PwDevice {
    uint32_t id = 0;
    Props props;
    std::vector<RouteInfo> routes;
    std::unique_ptr<Binding> binding;
    PipeWireAudioHardware::State* owner = nullptr;
};

// An output device as the engine sees it: one Audio/Sink node, known by node.name.
struct Device {
    AudioObjectID id = 0;
    AudioObjectID stream = 0;
    std::string uid;  // node.name
    uint32_t nodeId = SPA_ID_INVALID;
    bool alive = true;
};

struct Process {
    AudioObjectID id = 0;
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    bool present = false;  // owns at least one playback stream
    bool running = false;  // one of them is running
};

// The private null sink that processes' streams are moved into. A stream plays into one sink
// only, so taps of the same processes share one node: the engine reads a process through a
// second tap while it moves it to another device, and the first must not go silent meanwhile.
struct TapNode {
    std::set<pid_t> pids;
    std::string nodeName;
    TapMuteBehavior muteBehavior = TapMuteBehavior::Unmuted;
    pw_proxy* proxy = nullptr;
    uint32_t nodeId = SPA_ID_INVALID;
    uint64_t serial = 0;
    std::vector<std::string> channels;
    uint32_t rate = 48000;
    int users = 0;         // taps on this node
    bool routing = false;  // the processes' streams are moved into the node
    // Removed from the server when the session manager was replaced; kept only until its last
    // tap is destroyed.
    bool dead = false;
    // Links we made ourselves from streams the current session manager will never link, and
    // those streams.
    std::vector<pw_proxy*> streamLinks;
    std::set<uint32_t> linkedStreams;
    // Streams moved in, with the metadata values we overwrote (type, value; empty when absent).
    struct Saved {
        std::pair<std::string, std::string> targetObject;
        std::pair<std::string, std::string> targetNode;
    };
    std::map<uint32_t, Saved> moved;
    // Filters whose aggregate was destroyed while the node lived: removed after the node, the
    // order that does not glitch the device.
    std::vector<std::unique_ptr<PwFilter>> retired;
};

struct Tap {
    AudioObjectID id = 0;
    std::string uid;
    TapDescription description;
    TapNode* node = nullptr;  // owned by State::tapNodes
    bool alive = true;        // false once its node is gone: unlisted until destroyed
};

struct IOProc {
    IOProcID id = 0;
    AudioObjectID device = 0;
    dispatch::QueuePtr queue;
    std::unique_ptr<IOProcBlock> block;
    bool started = false;
};

struct Aggregate {
    AudioObjectID id = 0;
    AudioObjectID stream = 0;
    std::string uid;
    std::string name;
    AudioObjectID tap = 0;
    std::string tapUID;
    std::string tapNode;  // the node the filter reads, which may outlive the tap
    std::string deviceUID;
    uint32_t channels = 2;
    uint32_t rate = 48000;
    std::unique_ptr<PwFilter> filter;  // null once dead
    IOProcID proc = 0;
    // False once its device or tap is gone: the engine sees it vanish and builds anew.
    bool alive = true;
};

// A filter installed directly on a device (the engine's keep-alive): output ports only.
struct DeviceProcFilter {
    std::unique_ptr<PwFilter> filter;
};

struct Listener {
    AudioObjectID object = 0;
    PropertyAddress address;
    dispatch::QueuePtr queue;
    PropertyListenerBlock block;
};

}  // namespace tobble::audio::pipewire::detail

namespace tobble::audio::pipewire {

struct PipeWireAudioHardware::State {
    dispatch::Dispatcher& dispatcher;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    pw_metadata* metadata = nullptr;
    uint32_t metadataId = SPA_ID_INVALID;
    spa_hook metadataListener{};
    int pendingSeq = -1;
    bool syncDone = false;
    // The last sync went unanswered: the server is stuck (a session manager's restart can leave
    // it so). Round trips do not wait again until it answers one.
    bool serverStuck = false;
    bool connectionError = false;
    // Proxies of lingering links handed to the server; the links stay when we go.
    std::vector<pw_proxy*> handedLinks;

    std::map<uint32_t, std::unique_ptr<detail::PwNode>> nodes;
    std::map<uint32_t, detail::PwPort> ports;
    std::map<uint32_t, std::unique_ptr<detail::PwClient>> clients;
    std::map<uint32_t, std::unique_ptr<detail::PwDevice>> devicesById;
    // subject → key → (type, value) of the default metadata
    std::map<uint32_t, std::map<std::string, std::pair<std::string, std::string>>> metadataValues;
    std::optional<std::string> defaultSinkName;
    // The session manager went away (its default metadata with it); its successor ignores what
    // it had set up.
    bool policyManagerGone = false;
    // Serials of streams a session manager that went away had set up: its successor never links
    // them (WirePlumber 0.4.13), so moving them into a tap takes links of our own.
    std::set<uint64_t> orphanStreams;

    AudioObjectID nextObjectID = 40;
    IOProcID nextIOProcID = 1;
    uint32_t tapCounter = 0;
    std::map<std::string, detail::Device> devices;  // by uid; alive ones are listed
    std::map<pid_t, detail::Process> processes;     // by pid; present ones are listed
    std::map<AudioObjectID, detail::Tap> taps;
    std::map<std::string, detail::TapNode> tapNodes;  // by node name
    std::map<AudioObjectID, detail::Aggregate> aggregates;
    std::map<IOProcID, detail::IOProc> ioProcs;
    std::map<IOProcID, detail::DeviceProcFilter> deviceFilters;
    std::vector<detail::Listener> listeners;
    AudioObjectID lastDefault = kAudioObjectUnknown;

    explicit State(dispatch::Dispatcher& d) : dispatcher(d) {}

    // ---- loop helpers (caller holds the lock)
    void roundTrip(std::chrono::milliseconds limit = std::chrono::seconds(3));
    // Waits on the loop's condition (signalled by every registry event) until pred holds.
    template <typename Pred>
    bool waitFor(Pred pred, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (connectionError || std::chrono::steady_clock::now() > deadline) return false;
            pw_thread_loop_timed_wait(loop, 1);
        }
        return true;
    }

    // ---- graph mirror (PwGraph.cpp)
    void onGlobal(uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemove(uint32_t id);
    void onNodeInfo(detail::PwNode& node, const pw_node_info* info);
    void onNodeParam(detail::PwNode& node, uint32_t paramId, const spa_pod* param);
    void onClientInfo(detail::PwClient& client, const pw_client_info* info);
    void onDeviceParam(detail::PwDevice& device, uint32_t paramId, const spa_pod* param);
    void onMetadata(uint32_t subject, const char* key, const char* type, const char* value);
    void onLink(uint32_t outputNode, uint32_t inputNode);
    // Sends a stream of a process the tap is not for back out of it.
    void sendBackIfForeign(uint32_t streamNode, const detail::TapNode& tap);
    // Clears the streams' targets that name a node no longer in the graph: what a Tobble that
    // was killed while tapping left behind. Serials are never reused, so such a target can only
    // ever point nowhere.
    void clearDeadTargets();
    void refreshProcesses();
    void refreshDefault();
    std::optional<pid_t> streamPid(const detail::PwNode& node) const;
    std::optional<std::string> streamBundleID(const detail::PwNode& node) const;
    const detail::Props* clientPropsOf(const detail::PwNode& node) const;
    // A property of the stream, else of the client that owns it.
    std::string streamProp(const detail::PwNode& node, const char* key) const;
    const detail::PwNode* sinkNode(const detail::Device& device) const;
    detail::Device* deviceByID(AudioObjectID id);
    const detail::Device* deviceByID(AudioObjectID id) const;
    const detail::Device* deviceByUID(const std::string& uid) const;
    const detail::Process* processByID(AudioObjectID id) const;
    std::vector<std::string> sinkChannels(const detail::PwNode& node) const;
    uint32_t sinkRate(const detail::PwNode& node) const;
    uint32_t transportOf(const detail::PwNode& node) const;
    const detail::PwPort* findPort(uint32_t node, const char* direction, const std::string& channel,
                                   bool monitor) const;

    // ---- notifications
    void notify(AudioObjectID object, uint32_t selector);

    // ---- routing (PwRouting.cpp)
    bool createTapNode(detail::TapNode& node, const std::string& description);
    void moveStreamsInto(detail::TapNode& tap);
    void moveStream(detail::TapNode& tap, uint32_t streamNodeId);
    // The node id a stream's own target (before we moved it) names, or empty.
    std::string targetNodeId(const detail::TapNode::Saved& saved) const;
    void restoreStreams(detail::TapNode& tap);
    detail::TapNode* tapForStream(const detail::PwNode& node);
    void setMetadata(uint32_t subject, const char* key, const char* type, const char* value);
    pw_proxy* link(uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                   bool lingering = false);
    // Links a stream no session manager will link to the default output, with links that
    // outlive us: it plays on there once our tap is gone.
    void handStreamToDefault(uint32_t streamNodeId);
    bool linkFilter(detail::PwFilter& filter, const detail::TapNode* tap, uint32_t sinkNode);
    void linkStreamInto(detail::TapNode& tap, uint32_t streamNodeId);
    void killAggregate(detail::Aggregate& aggregate);
    void forgetTapNode(detail::TapNode& node);
    void purgeAfterPolicyManagerChange();
};

}  // namespace tobble::audio::pipewire
