// tobble-demo: the simulated audio system in real time, two devices and three applications,
// with each device's level drawn as a text bar once a second until Ctrl-C.
//
// The chat application is tapped and routed through a private aggregate onto the headphones,
// so it vanishes from the speakers while the aggregate's callback reads it; the browser comes
// and goes every few seconds.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/sim/SimEnvironment.h"

namespace {

using namespace tobble;
using namespace std::chrono_literals;

std::atomic<bool> gQuit{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onSignal(int) { gQuit.store(true); }

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Waits up to `duration`, returning early when asked to quit.
void napUnlessQuitting(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!gQuit.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
}

std::string levelBar(double rms, int width) {
    constexpr double kFloorDb = -60.0;
    const double db = rms > 0 ? 20.0 * std::log10(rms) : kFloorDb;
    const double fill = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
    const int filled = static_cast<int>(std::lround(fill * width));
    char text[32];
    if (db <= kFloorDb) {
        std::snprintf(text, sizeof(text), "   silent");
    } else {
        std::snprintf(text, sizeof(text), "%6.1f dBFS", db);
    }
    return "|" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "| " + text;
}

// Copies the tapped input to the output at a fixed gain; allocation-free, as a callback must be.
audio::IOProcBlock gainCallback(float gain) {
    return [gain](const audio::AudioTimeStamp&, const audio::AudioBufferList& in,
                  audio::AudioBufferList& out) {
        if (in.mNumberBuffers == 0 || out.mNumberBuffers == 0) return;
        const auto& src = in.mBuffers[0];
        auto& dst = out.mBuffers[0];
        if (src.mNumberChannels == 0 || dst.mNumberChannels == 0 || !src.mData || !dst.mData)
            return;
        const auto* x = static_cast<const float*>(src.mData);
        auto* y = static_cast<float*>(dst.mData);
        const uint32_t frames = std::min(src.mDataByteSize / (4 * src.mNumberChannels),
                                         dst.mDataByteSize / (4 * dst.mNumberChannels));
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t c = 0; c < dst.mNumberChannels; ++c) {
                y[i * dst.mNumberChannels + c] =
                    gain * x[i * src.mNumberChannels + c % src.mNumberChannels];
            }
        }
    };
}

struct Route {
    audio::AudioObjectID tap = 0;
    audio::AudioObjectID aggregate = 0;
    audio::IOProcID proc = 0;
};

bool routeThroughAggregate(audio::AudioHardware& hw, audio::AudioObjectID process,
                           const std::string& deviceUID, dispatch::QueuePtr ioQueue, Route& route) {
    auto tap = audio::TapDescription::streamSpecific({process}, deviceUID, 0);
    tap.muteBehavior = audio::TapMuteBehavior::MutedWhenTapped;
    tap.isPrivate = true;
    if (hw.createProcessTap(tap, route.tap) != 0) return false;
    std::optional<std::string> tapUID;
    hw.getPropertyString(route.tap, {audio::kAudioTapPropertyUID}, tapUID);
    const audio::AudioValue description = audio::AudioValue::Dictionary{
        {"name", "Demo Route"},
        {"uid", "org.tobble.demo.route"},
        {"master", deviceUID},
        {"clock", deviceUID},
        {"private", true},
        {"subdevices", audio::AudioValue::Array{audio::AudioValue::Dictionary{{"uid", deviceUID}}}},
        {"taps",
         audio::AudioValue::Array{audio::AudioValue::Dictionary{{"uid", tapUID.value_or("")}}}},
    };
    return hw.createAggregateDevice(description, route.aggregate) == 0 &&
           hw.createIOProcID(route.aggregate, std::move(ioQueue), gainCallback(0.8f), route.proc) ==
               0 &&
           hw.deviceStart(route.aggregate, route.proc) == 0;
}

void teardown(audio::AudioHardware& hw, const Route& route) {
    if (route.proc) {
        hw.deviceStop(route.aggregate, route.proc);
        hw.destroyIOProcID(route.aggregate, route.proc);
    }
    if (route.aggregate) hw.destroyAggregateDevice(route.aggregate);
    if (route.tap) hw.destroyProcessTap(route.tap);
}

}  // namespace

int main() {
    installSignalHandlers();

    sim::SimEnvironment env(sim::TimeMode::Real);
    auto& sys = env.audio();
    struct Shown {
        std::string uid;
        std::string name;
    };
    const Shown devices[] = {{"builtin-speakers", "Built-in Speakers"},
                             {"usb-headphones", "USB Headphones"}};
    sys.addDevice({.uid = devices[0].uid, .name = devices[0].name, .makeDefault = true});
    sys.addDevice({.uid = devices[1].uid,
                   .name = devices[1].name,
                   .transportType = audio::kAudioDeviceTransportTypeUSB,
                   .sampleRate = 44100.0});

    env.addApp(501, "org.example.music", "Music", 440.0, 0.5f);
    const auto browser = env.addApp(502, "org.example.browser", "Browser", 660.0, 0.3f);
    const auto chat = env.addApp(503, "org.example.chat", "Chat", 880.0, 0.4f);

    auto ioQueue = env.dispatcher().makeSerialQueue("demo.io", dispatch::QoS::UserInteractive);
    Route route;
    const bool routed =
        routeThroughAggregate(env.environment().audio, chat, devices[1].uid, ioQueue, route);

    std::printf(
        "tobble-demo: simulated audio in real time. Music and Browser play on the speakers,\n"
        "Chat is tapped and routed to the headphones%s. Ctrl-C to quit.\n\n",
        routed ? "" : " (routing failed: it plays on the speakers)");
    std::fflush(stdout);

    auto& clock = env.dispatcher().clock();
    for (int second = 1; !gQuit.load(); ++second) {
        napUnlessQuitting(1s);
        if (gQuit.load()) break;
        const double now = clock.monotonicSeconds();
        for (size_t i = 0; i < std::size(devices); ++i) {
            const double level = sys.rms(devices[i].uid, 0, now - 1.0, now);
            const std::string stamp = i == 0 ? "[" + std::to_string(second) + "s]" : "";
            std::printf("%-7s %-18s %s\n", stamp.c_str(), devices[i].name.c_str(),
                        levelBar(level, 40).c_str());
        }
        std::fflush(stdout);
        // The browser pauses every fourth second and comes back the next.
        if (second % 4 == 0) sys.stopPlaying(browser);
        if (second % 4 == 1 && second > 1) sys.startPlaying(browser);
    }

    teardown(env.environment().audio, route);
    std::printf("\nstopped\n");
    return 0;
}
