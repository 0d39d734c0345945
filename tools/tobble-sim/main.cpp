// tobble-sim: replays a scenario against the real engine, audio service and view model over the
// simulated audio system in virtual time, and reports what happened and what was heard.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/tobble-sim/Scenario.h"
#include "tools/tobble-sim/ScenarioRunner.h"

namespace {

constexpr const char* kHelp = R"(usage: tobble-sim SCENARIO.json [--report FILE]

Runs the Tobble engine, audio service and view model against a simulated audio system in
virtual time, following SCENARIO.json. Every log line is printed as
"<t> <level> <category> <message>" (t in virtual seconds). With --report, a JSON report is
written to FILE ("-" for standard output; log lines then go to standard error).

Scenario: a JSON object; only "events" is required.
  "bufferFrames" (512), "ownPID" (100), "end" (last event + 1 s)
  "devices": [{"uid", "name", "transport": builtin|usb|bluetooth|bluetoothle|hdmi|displayport|
              virtual|aggregate, "channels" (2), "sampleRate" (48000), "default", "volume", "muted"}]
  "apps": [{"pid", "bundleID", "name", "appBundle" (true), "policy": regular|accessory|prohibited}]
  "processes": [{"pid", "bundleID", "responsiblePID"}]      (audio process objects, not running)
  "orphanAggregates", "foreignAggregates": aggregates left over from earlier runs / other programs
  "defaults": {key: value}                                   (the user defaults before start)
  "events": [{"at": seconds, "do": NAME, ...}] with NAME one of
    startEngine stopEngine startViewModel stopViewModel openPanel closePanel
    play {pid, frequency, amplitude}  silence {pid}  stop {pid}  spawn {pid, bundleID, responsiblePID}
    exit {pid}  launchApp {app fields}  quitApp {pid}  setVolume {bundleID, volume}  toggleMute {bundleID}
    setDefaultOutput {uid}  addDevice {device fields}  removeDevice {uid}  setSystemVolume {volume}
    setSystemMute {muted}  fail {call, status, count}  killAggregates  stall {pid}  unstall {pid}
    snapshot {label}

Exit status: 0 when the scenario ran to its end, 2 when it is invalid.
)";

}  // namespace

int main(int argc, char** argv) {
    std::string scenarioPath;
    std::string reportPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--report") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tobble-sim: --report needs a file name (or -)\n");
                return 2;
            }
            reportPath = argv[++i];
        } else if (scenarioPath.empty()) {
            scenarioPath = arg;
        } else {
            std::fprintf(stderr, "tobble-sim: unexpected argument '%s' (see --help)\n",
                         arg.c_str());
            return 2;
        }
    }
    if (scenarioPath.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }

    std::ifstream in(scenarioPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tobble-sim: %s: cannot be read\n", scenarioPath.c_str());
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();

    tobble::simtool::Scenario scenario;
    try {
        scenario = tobble::simtool::parseScenario(text.str(), scenarioPath);
    } catch (const tobble::simtool::ScenarioError& error) {
        std::fprintf(stderr, "tobble-sim: invalid scenario: %s\n", error.what());
        return 2;
    }

    FILE* logOut = reportPath == "-" ? stderr : stdout;
    tobble::simtool::RunOptions options;
    options.printLine = [logOut](const std::string& line) {
        std::fprintf(logOut, "%s\n", line.c_str());
    };
    const auto report = tobble::simtool::runScenario(scenario, options);

    if (reportPath == "-") {
        std::cout << report.dump(2) << "\n";
    } else if (!reportPath.empty()) {
        std::ofstream out(reportPath);
        out << report.dump(2) << "\n";
        if (!out) {
            std::fprintf(stderr, "tobble-sim: %s: report could not be written\n",
                         reportPath.c_str());
            return 1;
        }
    }
    return 0;
}
