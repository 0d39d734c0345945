// Resident memory the simulated audio system gains per hour with the demo's devices and
// applications playing, in virtual time: once as the demo sets it up, once keeping every
// device's recording as the scenario runner does. The demo runs for as long as the desktop
// session, so its figure must stay flat.

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/sim/SimEnvironment.h"

namespace {

using namespace tobble;

double residentMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

double growthPerHour(bool asTheDemo) {
    sim::SimEnvironment env(sim::TimeMode::Virtual);
    auto& audio = env.audio();
    if (asTheDemo) {
        audio.setSampleHistorySeconds(0);
        audio.setCycleHistorySeconds(0);
    }
    audio.addDevice({.uid = "speakers", .name = "Built-in Speakers", .makeDefault = true});
    audio.addDevice({.uid = "headphones", .name = "USB Headphones", .sampleRate = 44100.0});
    env.addApp(4'000'001, "org.example.music", "Music", 440.0, 0.5f);
    env.addApp(4'000'002, "org.example.chat", "Chat", 880.0, 0.3f);
    env.addApp(4'000'003, "org.example.browser", "Browser", 660.0, 0.25f);

    constexpr double kWarmUp = 120.0;  // past the sample history of the recording's ring
    constexpr double kMeasured = 3600.0;
    env.virtualTime().advance(kWarmUp);
    const double before = residentMiB();
    env.virtualTime().advance(kMeasured);
    return (residentMiB() - before) * 3600.0 / kMeasured;
}

}  // namespace

int main() {
    std::printf("simulated audio, demo set-up: RSS growth %.2f MiB per hour\n",
                growthPerHour(true));
    std::printf("simulated audio, every cycle recorded: RSS growth %.2f MiB per hour\n",
                growthPerHour(false));
    return 0;
}
