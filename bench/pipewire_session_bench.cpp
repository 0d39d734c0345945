// Three figures of Tobble over a real PipeWire server, each taken in private sessions started and
// stopped here (D-Bus, PipeWire, WirePlumber, pipewire-pulse, two null sinks), with and without
// Tobble in the graph:
//   - dropouts: 10 ms windows of two steady tones that fall 20 dB below their steady level;
//   - the latency the tap path adds, from bursts played at known cycles of the graph's clock;
//   - how often a WirePlumber restart leaves the server hanging, and how long Tobble then takes
//     to exit on SIGTERM.
// Usage: pipewire_session_bench [--tobble PATH] [--runs N] [--seconds S] [--only 1|2|3]
// With --tobble, the restart runs use that program (headless, scratch settings) as Tobble; else
// the engine in a process of its own (tobble_pw_engine_host).
//   pipewire_session_bench burst SECONDS FILE
// is the burst player it starts: silence, then a 10 ms burst at the first cycle of each second
// from the second second on; it writes each burst's cycle time (CLOCK_MONOTONIC ns) to FILE.
#include <pipewire/pipewire.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/pipewire/PipeWireTestSupport.h"
#include "tests/platform/pipewire/StereoPlayback.h"

#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace {

using namespace std::chrono_literals;
using namespace tobble::audio::pipewire::testing;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kWindow = kRate / 100;  // 10 ms
constexpr int kBursts = 5;

bool sh(const std::string& command) { return PrivateSession::run({"sh", "-c", command}) == 0; }

// Polls a shell condition every 100 ms; false once `timeout` has passed.
bool waitFor(const std::string& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!sh(condition)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

bool tapsAtLeast(int count, std::chrono::milliseconds timeout = 10s) {
    return waitFor(
        "test $(timeout 3 pw-dump 2>/dev/null | grep -c '\"node.name\": \"tobble.tap.')"
        " -ge " +
            std::to_string(count),
        timeout);
}

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- the burst player

struct Bursts {
    pw_stream* stream = nullptr;
    uint64_t nextNsec = 0;
    uint32_t burstLeft = 0;
    std::array<uint64_t, kBursts> onsets{};
    std::atomic<int> played{0};
};

void onBurstProcess(void* data) {
    auto* p = static_cast<Bursts*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
    if (!b) return;
    pw_time time{};
    pw_stream_get_time_n(p->stream, &time, sizeof time);
    const auto now = static_cast<uint64_t>(time.now);
    const int played = p->played.load(std::memory_order_relaxed);
    if (p->nextNsec == 0) p->nextNsec = now + 2'000'000'000;
    if (played < kBursts && now >= p->nextNsec) {
        p->onsets[static_cast<size_t>(played)] = now;
        p->nextNsec = now + 1'000'000'000;
        p->burstLeft = kWindow;
        p->played.store(played + 1, std::memory_order_release);
    }
    spa_data& d = b->buffer->datas[0];
    auto* out = static_cast<float*>(d.data);
    uint32_t n = d.maxsize / 8;
    if (b->requested) n = std::min<uint32_t>(n, static_cast<uint32_t>(b->requested));
    for (uint32_t i = 0; i < n; ++i) {
        const float v = p->burstLeft > 0 ? 0.5f : 0.f;
        if (p->burstLeft > 0) --p->burstLeft;
        out[2 * i] = out[2 * i + 1] = v;
    }
    d.chunk->offset = 0;
    d.chunk->stride = 8;
    d.chunk->size = n * 8;
    pw_stream_queue_buffer(p->stream, b);
}

int playBursts(int argc, char** argv) {
    const double seconds = std::strtod(argv[2], nullptr);
    pw_init(&argc, &argv);
    Bursts bursts;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onBurstProcess;
        return e;
    }();
    tobble::audio::pipewire::testing::playStereo(
        "bursts",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                          PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_NAME, "Burst Player", nullptr),
        events, &bursts, &bursts.stream, seconds);
    std::ofstream out(argv[3]);
    const int played = bursts.played.load(std::memory_order_acquire);
    for (int i = 0; i < played; ++i) out << bursts.onsets[static_cast<size_t>(i)] << "\n";
    return 0;
}

// ---- 1. dropouts

struct Dropouts {
    int windows = 0;
    int longestMs = 0;
    double steady = 0;
};

std::optional<Dropouts> countDropouts(bool withTobble, double seconds) {
    PrivateSession session;
    if (!session.ok()) return std::nullopt;
    SinkRecorder rec("spk1", seconds + 20);
    if (!rec.ok()) return std::nullopt;
    std::optional<Child> host;
    if (withTobble) host.emplace(std::vector<std::string>{TOBBLE_ENGINE_HOST, "1.0"});
    // Two amplitudes, so that whatever the tones' phases, their sum never cancels out.
    const std::string length = std::to_string(static_cast<int>(seconds) + 15);
    Child a({TOBBLE_TONE_PLAYER, "0.5", length});
    Child b({TOBBLE_TONE_PLAYER, "0.3", length});
    if (withTobble && !tapsAtLeast(2)) {
        std::printf("the engine did not tap both players within 10 s\n");
        return std::nullopt;
    }
    std::this_thread::sleep_for(2s);
    const uint64_t from = rec.frames();
    const auto frames = static_cast<uint64_t>(seconds * kRate);
    if (!rec.waitFrames(frames, seconds + 10)) return std::nullopt;

    std::vector<double> levels;
    for (uint64_t f = from; f + kWindow <= from + frames; f += kWindow) {
        levels.push_back(rec.rms(f, f + kWindow));
    }
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    Dropouts d;
    d.steady = sorted[sorted.size() / 2];
    int run = 0;
    for (double level : levels) {
        run = level < d.steady * 0.1 ? run + 1 : 0;
        if (run > 0) ++d.windows;
        d.longestMs = std::max(d.longestMs, run * 10);
    }
    return d;
}

bool dropouts(double seconds) {
    for (bool withTobble : {false, true}) {
        const auto d = countDropouts(withTobble, seconds);
        if (!d) {
            std::printf("dropouts %s: the session or its recorder failed\n",
                        withTobble ? "with Tobble" : "without Tobble");
            return false;
        }
        std::printf(
            "[ measure  ] two steady tones on spk1 for %.0f s, %s: %d windows of 10 ms "
            "below -20 dB of the steady level, longest %d ms\n",
            seconds, withTobble ? "with Tobble (engine host, unity)" : "without Tobble", d->windows,
            d->longestMs);
    }
    return true;
}

// ---- 2. latency of the tap path

// Frames from each burst's cycle to its first frame on spk1's monitor.
std::vector<long> burstLatencies(bool withTobble, const char* self) {
    PrivateSession session;
    if (!session.ok()) return {};
    SinkRecorder rec("spk1", 20);
    if (!rec.ok()) return {};
    std::optional<Child> host;
    if (withTobble) host.emplace(std::vector<std::string>{TOBBLE_ENGINE_HOST, "1.0"});
    const std::string file = std::string(getenv("XDG_RUNTIME_DIR")) + "/bursts";
    Child player({self, "burst", std::to_string(kBursts + 4), file});
    // The first burst is two seconds away: the tap must be in place before it.
    if (withTobble && !tapsAtLeast(1, 1500ms)) {
        std::printf("the engine did not tap the burst player within 1.5 s\n");
        return {};
    }
    if (!player.waitForExit(20s)) return {};
    std::vector<long> latencies;
    std::ifstream in(file);
    for (uint64_t onset = 0; in >> onset;) {
        const auto heard = rec.nsecOfFirstAbove(0.25f, onset - 100'000'000);
        if (!heard) continue;
        const double ns = double(int64_t(*heard - onset));
        latencies.push_back(std::lround(ns * double(kRate) / 1e9));
    }
    return latencies;
}

void latency(const char* self) {
    std::vector<long> direct = burstLatencies(false, self);
    std::vector<long> tapped = burstLatencies(true, self);
    const auto list = [](const std::vector<long>& v) {
        std::string s;
        for (long x : v) s += (s.empty() ? "" : " ") + std::to_string(x);
        return s.empty() ? std::string("none heard") : s;
    };
    std::printf("[ measure  ] burst to spk1's monitor, frames: direct %s; through the tap %s\n",
                list(direct).c_str(), list(tapped).c_str());
    if (!direct.empty() && !tapped.empty()) {
        std::sort(direct.begin(), direct.end());
        std::sort(tapped.begin(), tapped.end());
        std::printf("[ measure  ] latency added by the tap path: %ld frames (medians)\n",
                    tapped[tapped.size() / 2] - direct[direct.size() / 2]);
    }
}

// ---- 3. WirePlumber restart

// What a desktop's restart looks like in the private session (the sinks leave with the session
// manager and come back under the new one), every step bounded: the server may hang.
void restartPolicyManager(PrivateSession& session) {
    session.killPolicyManager();
    sh("timeout 3 pw-cli destroy spk1 >/dev/null 2>&1; timeout 3 pw-cli destroy hp2 >/dev/null "
       "2>&1");
    session.startPolicyManager();
    waitFor("timeout 3 pw-cli ls Metadata 2>/dev/null | grep -q '\"default\"'", 10s);
    for (const auto& [name, description] :
         {std::pair{"spk1", "Speakers"}, std::pair{"hp2", "USB Headphones"}}) {
        sh(std::string(
               "timeout 3 pw-cli create-node adapter '{ factory.name=support.null-audio-sink "
               "node.name=") +
           name + " node.description=\"" + description +
           "\" media.class=Audio/Sink object.linger=true audio.position=[FL FR] "
           "priority.driver=1000 priority.session=1000 }' >/dev/null 2>&1");
    }
    std::this_thread::sleep_for(300ms);
    sh("timeout 3 pw-metadata -n default 0 default.configured.audio.sink '{ \"name\": \"spk1\" }' "
       "Spa:String:JSON >/dev/null 2>&1");
    waitFor("timeout 3 pw-metadata -n default 0 default.audio.sink 2>/dev/null | grep -q spk1", 5s);
}

// Which of pw-cli, pactl and pw-dump hang for 3 s, asked at once: bit 0, 1 and 2.
int hangingTools() {
    return PrivateSession::run(
        {"sh", "-c",
         "timeout -k 1 3 pw-cli info 0 >/dev/null 2>&1 & a=$!; "
         "timeout -k 1 3 pactl info >/dev/null 2>&1 & b=$!; "
         "timeout -k 1 3 pw-dump >/dev/null 2>&1 & c=$!; m=0; "
         "wait $a; [ $? -ge 124 ] && m=$((m | 1)); wait $b; [ $? -ge 124 ] && m=$((m | 2)); "
         "wait $c; [ $? -ge 124 ] && m=$((m | 4)); exit $m"});
}

std::string describeHang(int tools) {
    std::string names;
    for (const auto& [bit, name] :
         {std::pair{1, "pw-cli"}, std::pair{2, "pactl"}, std::pair{4, "pw-dump"}}) {
        if (tools & bit) names += names.empty() ? name : std::string(", ") + name;
    }
    return names.empty() ? "none" : names;
}

// Tobble: the program itself, headless, in the session's scratch home, or the engine host.
std::vector<std::string> tobbleCommand(const std::string& program) {
    if (program.empty()) return {TOBBLE_ENGINE_HOST, "1.0"};
    const std::string config = getenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(config + "/Tobble");
    std::ofstream(config + "/Tobble/Tobble.ini") << "[General]\nonboardingCompleted=bool:true\n";
    const std::string home = std::filesystem::path(config).parent_path();
    return {"env", "HOME=" + home, "XDG_DATA_HOME=" + home + "/data", "QT_QPA_PLATFORM=offscreen",
            program};
}

// Milliseconds from SIGTERM to exit, or nothing if it still runs after 15 s (then killed).
std::optional<double> exitAfterSigterm(Child& tobble) {
    const auto start = Clock::now();
    tobble.kill(SIGTERM);
    if (!tobble.waitForExit(15s)) {
        tobble.kill(SIGKILL);
        return std::nullopt;
    }
    return millisSince(start);
}

std::string describeExit(const std::optional<double>& ms) {
    char text[64];
    if (ms) std::snprintf(text, sizeof text, "%.0f ms", *ms);
    return ms ? text : "still running after 15 s";
}

void restarts(const std::string& tobble, int runs) {
    const char* who = tobble.empty() ? "engine host" : "tobble";
    for (bool withTobble : {false, true}) {
        int wedged = 0;
        int done = 0;
        std::vector<std::string> exits;
        for (int run = 0; run < runs; ++run) {
            PrivateSession session;
            if (!session.ok()) continue;
            Child a({TOBBLE_TONE_PLAYER, "0.5", "60"});
            Child b({TOBBLE_TONE_PLAYER, "0.5", "60"});
            std::optional<Child> controller;
            if (withTobble) {
                controller.emplace(tobbleCommand(tobble));
                if (!tapsAtLeast(2)) {
                    std::printf("run %d: Tobble did not tap both players within 10 s\n", run);
                    continue;
                }
            } else {
                std::this_thread::sleep_for(1s);
            }
            restartPolicyManager(session);
            std::this_thread::sleep_for(1s);
            const int hanging = hangingTools();
            ++done;
            if (hanging) {
                ++wedged;
                std::string line = "run " + std::to_string(run) + ": " + describeHang(hanging);
                if (controller)
                    line += "; SIGTERM exit " + describeExit(exitAfterSigterm(*controller));
                exits.push_back(line);
            }
        }
        std::printf(
            "[ measure  ] WirePlumber restart with two apps playing, %s: wedged %d of %d\n",
            withTobble ? (std::string("with Tobble (") + who + ")").c_str() : "without Tobble",
            wedged, done);
        for (const auto& line : exits) std::printf("             %s hung\n", line.c_str());
    }

    // A server that answers nothing, for certain: PipeWire stopped while Tobble taps two apps.
    PrivateSession session;
    if (!session.ok()) return;
    Child a({TOBBLE_TONE_PLAYER, "0.5", "60"});
    Child b({TOBBLE_TONE_PLAYER, "0.5", "60"});
    Child controller(tobbleCommand(tobble));
    if (!tapsAtLeast(2)) return;
    ::kill(session.serverPid(), SIGSTOP);
    const auto ms = exitAfterSigterm(controller);
    ::kill(session.serverPid(), SIGCONT);
    std::printf("[ measure  ] SIGTERM to Tobble (%s) while the server is stopped: exit after %s\n",
                who, describeExit(ms).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "burst") == 0) return playBursts(argc, argv);
    std::string tobble;
    int runs = 10;
    double seconds = 60;
    int only = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--tobble") == 0) tobble = argv[i + 1];
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::strtod(argv[i + 1], nullptr);
        if (std::strcmp(argv[i], "--only") == 0) only = std::atoi(argv[i + 1]);
    }
    if (auto missing = missingProgram()) {
        std::printf("skipped: %s is not installed (scripts/install-deps.sh)\n", missing->c_str());
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pw_init(&argc, &argv);

    if ((only == 0 || only == 1) && !dropouts(seconds)) return 1;
    if (only == 0 || only == 2) latency(argv[0]);
    if (only == 0 || only == 3) restarts(tobble, runs);
    return 0;
}
