// tobble-sim: replays a scenario against the real engine, audio service and view model over the
// simulated audio system in virtual time, and reports what happened and what was heard.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

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
  "defaults": {key: value}                                   (the user defaults before start;
              "allowVolumeBoost": true lets setVolume go up to 2.0, else it stops at 1.0)
  "events": [{"at": seconds, "do": NAME, ...}] with NAME one of
    startEngine stopEngine startViewModel stopViewModel openPanel closePanel
    play {pid, frequency, amplitude}  silence {pid}  stop {pid}  spawn {pid, bundleID, responsiblePID}
    exit {pid}  launchApp {app fields}  quitApp {pid}  setVolume {bundleID, volume}  toggleMute {bundleID}
    setAppOutput {bundleID, uid} (an app to a device of its own; "" follows the default again)
    setDefaultOutput {uid}  addDevice {device fields}  removeDevice {uid}  setSystemVolume {volume}
    setSystemMute {muted}  fail {call, status, count}  killAggregates  stall {pid}  unstall {pid}
    snapshot {label}

Limits: a scenario file of at most 16 MiB, nested at most 64 levels deep, running at most
86400 s; every device keeps the samples of the whole run for the report, and all of them
together may take at most 2 GiB (seconds x sample rate x channels x 4 bytes).

Exit status: 0 when the scenario ran to its end, 2 when it is invalid, 1 when the report could
not be written.
)";

// Messages quote names and bytes from the scenario file: each is shown as printable text, on one
// line, and cut short.
std::string printable(std::string_view text) {
    constexpr size_t kMaxLength = 400;
    std::string out;
    for (unsigned char c : text.substr(0, kMaxLength)) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (text.size() > kMaxLength) out += "...";
    return out;
}

// The scenario's text, or a message saying why there is none.
std::optional<std::string> readScenario(const std::string& path, std::string& problem) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        problem = "is a directory";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot be read";
        return std::nullopt;
    }
    // Read one byte past the limit, never the whole of an endless file.
    std::string text(tobble::simtool::kMaxScenarioBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        problem = "cannot be read";
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

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

    std::string problem;
    const auto text = readScenario(scenarioPath, problem);
    if (!text) {
        std::fprintf(stderr, "tobble-sim: %s: %s\n", printable(scenarioPath).c_str(),
                     problem.c_str());
        return 2;
    }

    tobble::simtool::Scenario scenario;
    try {
        scenario = tobble::simtool::parseScenario(*text, scenarioPath);
    } catch (const tobble::simtool::ScenarioError& error) {
        std::fprintf(stderr, "tobble-sim: invalid scenario: %s\n", printable(error.what()).c_str());
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
        if (!std::cout.flush()) {
            std::fprintf(stderr,
                         "tobble-sim: the report could not be written to standard output\n");
            return 1;
        }
    } else if (!reportPath.empty()) {
        std::ofstream out(reportPath);
        out << report.dump(2) << "\n";
        if (!out.flush()) {
            std::fprintf(stderr, "tobble-sim: %s: report could not be written\n",
                         reportPath.c_str());
            return 1;
        }
    }
    return 0;
}
