#include "tests/platform/pipewire/PipeWireTestSupport.h"

#include <pipewire/pipewire.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace tobble::audio::pipewire::testing {

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kRecorderRate = 48000;

pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath = "/dev/null") {
    const pid_t pid = fork();
    if (pid == 0) {
        FILE* log = std::fopen(logPath.c_str(), "w");
        if (log) {
            dup2(fileno(log), 1);
            dup2(fileno(log), 2);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool waitForFile(const std::string& path) {
    return eventually([&] { return std::filesystem::exists(path); });
}

}  // namespace

std::string writeToneWav(const std::string& path) {
    constexpr uint32_t kFrames = 10 * 48000;
    std::vector<int16_t> samples;
    samples.reserve(2 * kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / 48000.0));
        samples.insert(samples.end(), {v, v});
    }
    const uint32_t bytes = static_cast<uint32_t>(samples.size() * sizeof(int16_t));
    const auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    const auto le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    std::ofstream out(path, std::ios::binary);
    out << "RIFF" << le32(36 + bytes) << "WAVEfmt " << le32(16) << le16(1) << le16(2) << le32(48000)
        << le32(48000 * 4) << le16(4) << le16(16) << "data" << le32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
    return path;
}

std::optional<std::string> missingProgram() {
    for (const char* p : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "pw-metadata"}) {
        if (PrivateSession::run({"sh", "-c", std::string("command -v ") + p + " >/dev/null"}) != 0)
            return std::string(p);
    }
    return std::nullopt;
}

int PrivateSession::run(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PrivateSession::PrivateSession() {
    char pattern[] = "/tmp/tobble-pw-XXXXXX";
    if (!mkdtemp(pattern)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = pattern;
    chmod(dir_.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    const std::string bus = dir_ + "/bus";
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);

    daemons_.push_back(spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus},
                             dir_ + "/dbus.log"));
    if (!waitForFile(bus)) {
        error_ = "D-Bus did not start";
        return;
    }
    daemons_.push_back(spawn({"pipewire"}, dir_ + "/pipewire.log"));
    if (!waitForFile(dir_ + "/pipewire-0")) {
        error_ = "PipeWire did not start (see " + dir_ + "/pipewire.log)";
        return;
    }
    policyManager_ = daemons_.size();
    daemons_.push_back(spawn({"wireplumber"}, dir_ + "/wireplumber.log"));
    // Desktop applications reach PipeWire through its PulseAudio server.
    if (run({"sh", "-c", "command -v pipewire-pulse >/dev/null"}) == 0) {
        daemons_.push_back(spawn({"pipewire-pulse"}, dir_ + "/pipewire-pulse.log"));
    }
    std::this_thread::sleep_for(500ms);
    if (!createSinks()) {
        error_ = "pw-cli create-node failed";
        return;
    }
    ok_ = true;
}

bool PrivateSession::createSink(const std::string& name) {
    const std::string description = name == "spk1" ? "Speakers" : "USB Headphones";
    const std::string props = "{ factory.name=support.null-audio-sink node.name=" + name +
                              " node.description=\"" + description +
                              "\" media.class=Audio/Sink object.linger=true audio.position=[FL FR] "
                              "priority.driver=1000 priority.session=1000 }";
    return run({"pw-cli", "create-node", "adapter", props}) == 0;
}

bool PrivateSession::createSinks() {
    if (!createSink("spk1") || !createSink("hp2")) return false;
    std::this_thread::sleep_for(300ms);
    return setDefaultSink("spk1");
}

bool PrivateSession::setDefaultSink(const std::string& name) {
    const bool ok = run({"pw-metadata", "-n", "default", "0", "default.configured.audio.sink",
                         "{ \"name\": \"" + name + "\" }", "Spa:String:JSON"}) == 0;
    std::this_thread::sleep_for(300ms);
    return ok;
}

bool PrivateSession::waitUntil(const std::string& shellCondition) {
    return eventually([&] { return run({"sh", "-c", shellCondition}) == 0; }, 10s, 50ms);
}

bool PrivateSession::restartPolicyManager() {
    if (!ok_) return false;
    ::kill(daemons_[policyManager_], SIGKILL);
    waitpid(daemons_[policyManager_], nullptr, 0);
    // The sinks lingered (pw-cli made them), and a new WirePlumber 0.4.13 would never take over
    // nodes its predecessor set up: they go now, and come back once it runs.
    run({"pw-cli", "destroy", "spk1"});
    run({"pw-cli", "destroy", "hp2"});
    daemons_[policyManager_] = spawn({"wireplumber"}, dir_ + "/wireplumber-restarted.log");
    if (!waitUntil("pw-cli ls Metadata 2>/dev/null | grep -q '\"default\"'")) return false;
    if (!createSinks()) return false;
    return waitUntil("pw-metadata -n default 0 default.audio.sink 2>/dev/null | grep -q spk1");
}

void PrivateSession::killPolicyManager() {
    ::kill(daemons_[policyManager_], SIGKILL);
    waitpid(daemons_[policyManager_], nullptr, 0);
}

void PrivateSession::startPolicyManager() {
    daemons_[policyManager_] = spawn({"wireplumber"}, dir_ + "/wireplumber-restarted.log");
}

PrivateSession::~PrivateSession() {
    for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) stop(*it);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

Child::Child(const std::vector<std::string>& argv) : pid_(spawn(argv)) {}

Child::~Child() {
    if (pid_ > 0) stop(pid_);
}

void Child::kill(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    if (signal == SIGKILL) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return status;
}

// ---- recorder

struct SinkRecorder::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_filter* filter = nullptr;
    spa_hook listener{};
    void* ports[2] = {nullptr, nullptr};
    std::vector<float> left;
    std::atomic<uint64_t> written{0};
    // Per graph cycle: the first frame it recorded and the cycle's clock.
    std::vector<uint64_t> cycleFrame;
    std::vector<uint64_t> cycleNsec;
    std::atomic<size_t> cycles{0};
    bool linked = false;

    static void onProcess(void* data, spa_io_position* position) {
        auto* self = static_cast<Impl*>(data);
        const uint32_t n = static_cast<uint32_t>(position->clock.duration);
        const auto* in = static_cast<const float*>(pw_filter_get_dsp_buffer(self->ports[0], n));
        uint64_t at = self->written.load(std::memory_order_relaxed);
        const size_t cycle = self->cycles.load(std::memory_order_relaxed);
        if (cycle < self->cycleFrame.size() && at < self->left.size()) {
            self->cycleFrame[cycle] = at;
            self->cycleNsec[cycle] = position->clock.nsec;
            self->cycles.store(cycle + 1, std::memory_order_release);
        }
        for (uint32_t i = 0; i < n && at < self->left.size(); ++i, ++at)
            self->left[at] = in ? in[i] : 0.f;
        self->written.store(at, std::memory_order_release);
    }
};

SinkRecorder::SinkRecorder(const std::string& sinkName, double maxSeconds)
    : impl_(std::make_unique<Impl>()) {
    auto& r = *impl_;
    r.left.assign(static_cast<size_t>(maxSeconds * 48000), 0.f);
    r.cycleFrame.assign(r.left.size() / 32 + 1, 0);
    r.cycleNsec.assign(r.cycleFrame.size(), 0);
    r.loop = pw_thread_loop_new("recorder", nullptr);
    r.context = pw_context_new(pw_thread_loop_get_loop(r.loop), nullptr, 0);
    pw_thread_loop_start(r.loop);
    pw_thread_loop_lock(r.loop);
    r.core = pw_context_connect(r.context, nullptr, 0);
    if (!r.core) {
        pw_thread_loop_unlock(r.loop);
        return;
    }
    const std::string name = "tobble.test.recorder." + sinkName;
    r.filter = pw_filter_new(r.core, name.c_str(),
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_NODE_NAME, name.c_str(),
                                               PW_KEY_NODE_AUTOCONNECT, "false", nullptr));
    static const pw_filter_events events = [] {
        pw_filter_events e{};
        e.version = PW_VERSION_FILTER_EVENTS;
        e.process = &Impl::onProcess;
        return e;
    }();
    pw_filter_add_listener(r.filter, &r.listener, &events, &r);
    const char* names[2] = {"in_FL", "in_FR"};
    for (int c = 0; c < 2; ++c) {
        r.ports[c] =
            pw_filter_add_port(r.filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 8,
                               pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                 PW_KEY_PORT_NAME, names[c], nullptr),
                               nullptr, 0);
    }
    pw_filter_connect(r.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    for (int i = 0; i < 300 && pw_filter_get_node_id(r.filter) == SPA_ID_INVALID; ++i) {
        pw_thread_loop_unlock(r.loop);
        std::this_thread::sleep_for(10ms);
        pw_thread_loop_lock(r.loop);
    }
    pw_thread_loop_unlock(r.loop);
    std::this_thread::sleep_for(100ms);  // the filter's ports reach the server
    pw_thread_loop_lock(r.loop);
    for (int c = 0; c < 2; ++c) {
        // link-factory resolves node and port names: the sink's monitor into our input.
        pw_properties* p =
            pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, sinkName.c_str(), PW_KEY_LINK_OUTPUT_PORT,
                              c == 0 ? "monitor_FL" : "monitor_FR", PW_KEY_LINK_INPUT_PORT,
                              names[c], PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf(p, PW_KEY_LINK_INPUT_NODE, "%u", pw_filter_get_node_id(r.filter));
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
            r.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &p->dict, 0));
        pw_properties_free(p);
        r.linked = r.linked || proxy != nullptr;
    }
    pw_thread_loop_unlock(r.loop);
}

SinkRecorder::~SinkRecorder() {
    auto& r = *impl_;
    pw_thread_loop_lock(r.loop);
    if (r.filter) {
        spa_hook_remove(&r.listener);
        pw_filter_destroy(r.filter);
    }
    if (r.core) pw_core_disconnect(r.core);
    pw_thread_loop_unlock(r.loop);
    pw_thread_loop_stop(r.loop);
    pw_context_destroy(r.context);
    pw_thread_loop_destroy(r.loop);
}

bool SinkRecorder::ok() const { return impl_->filter && impl_->linked; }

uint64_t SinkRecorder::frames() const { return impl_->written.load(std::memory_order_acquire); }

double SinkRecorder::rms(uint64_t from, uint64_t to) const {
    to = std::min<uint64_t>(to, frames());
    if (to <= from) return 0;
    double sum = 0;
    for (uint64_t i = from; i < to; ++i) sum += double(impl_->left[i]) * impl_->left[i];
    return std::sqrt(sum / double(to - from));
}

float SinkRecorder::peak(uint64_t from, uint64_t to) const {
    to = std::min<uint64_t>(to, frames());
    float p = 0;
    for (uint64_t i = from; i < to; ++i) p = std::max(p, std::fabs(impl_->left[i]));
    return p;
}

bool SinkRecorder::waitFrames(uint64_t count, double timeoutSeconds) const {
    const uint64_t target = frames() + count;
    return eventually([&] { return frames() >= target; },
                      std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000)), 5ms);
}

double SinkRecorder::levelOfNext(double seconds) const {
    const uint64_t from = frames();
    const auto n = static_cast<uint64_t>(seconds * kRecorderRate);
    EXPECT_TRUE(waitFrames(n));
    return rms(from, from + n);
}

double SinkRecorder::rmsAt(uint64_t fromNsec, uint64_t toNsec) const {
    const auto& r = *impl_;
    const size_t n = r.cycles.load(std::memory_order_acquire);
    const uint64_t recorded = frames();
    double sum = 0;
    uint64_t count = 0;
    for (size_t c = 0; c < n; ++c) {
        const uint64_t first = r.cycleFrame[c];
        const uint64_t last = c + 1 < n ? r.cycleFrame[c + 1] : recorded;
        for (uint64_t f = first; f < last; ++f) {
            const uint64_t t = r.cycleNsec[c] + (f - first) * 1'000'000'000 / kRecorderRate;
            if (t < fromNsec || t >= toNsec) continue;
            sum += double(r.left[f]) * r.left[f];
            ++count;
        }
    }
    return count ? std::sqrt(sum / double(count)) : 0.0;
}

uint64_t SinkRecorder::lastNsec() const {
    const auto& r = *impl_;
    const size_t n = r.cycles.load(std::memory_order_acquire);
    if (n == 0) return 0;
    return r.cycleNsec[n - 1] +
           (frames() - 1 - r.cycleFrame[n - 1]) * 1'000'000'000 / kRecorderRate;
}

std::optional<uint64_t> SinkRecorder::nsecOfFirstAbove(float level, uint64_t fromNsec) const {
    const auto& r = *impl_;
    const size_t n = r.cycles.load(std::memory_order_acquire);
    const uint64_t recorded = frames();
    for (size_t c = 0; c < n; ++c) {
        const uint64_t first = r.cycleFrame[c];
        const uint64_t last = c + 1 < n ? r.cycleFrame[c + 1] : recorded;
        for (uint64_t f = first; f < last; ++f) {
            const uint64_t t = r.cycleNsec[c] + (f - first) * 1'000'000'000 / kRecorderRate;
            if (t >= fromNsec && std::fabs(r.left[f]) > level) return t;
        }
    }
    return std::nullopt;
}

PrivateSession* SessionTest::session_ = nullptr;

void SessionTest::SetUpTestSuite() {
    if (missingProgram()) return;
    session_ = new PrivateSession();
}

void SessionTest::TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
}

void SessionTest::SetUp() {
    if (auto missing = missingProgram()) {
        GTEST_SKIP() << "PipeWire session programs not installed (" << *missing << " missing)";
    }
    ASSERT_TRUE(session_ && session_->ok()) << (session_ ? session_->error() : "no session");
    hw_ = PipeWireAudioHardware::connect(dispatcher_);
    ASSERT_NE(hw_, nullptr) << "no PipeWire server reachable in the private session";
}

}  // namespace tobble::audio::pipewire::testing
