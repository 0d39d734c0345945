#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/system/RunningApplications.h"

namespace tobble::simtool {

// A scenario that cannot be run: names the file, the JSON path and what is wrong.
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct DeviceSpec {
    std::string uid;
    std::string name;
    uint32_t transport = 0;
    uint32_t channels = 2;
    double sampleRate = 48000.0;
    bool isDefault = false;
    float volume = 1.0f;
    bool muted = false;
};

struct AppSpec {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    std::string name;
    bool appBundle = true;
    system::ActivationPolicy policy = system::ActivationPolicy::Regular;
};

struct ProcessSpec {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    std::optional<pid_t> responsiblePID;
};

// One timed event. Its fields were checked against the event's schema when parsed; `args` is the
// event object as written.
struct Event {
    double at = 0;
    std::string name;
    nlohmann::json args;
    std::string path;  // "$.events[3]", for messages
};

struct Scenario {
    uint32_t bufferFrames = 512;
    pid_t ownPID = 100;
    std::vector<DeviceSpec> devices;
    std::vector<AppSpec> apps;
    std::vector<ProcessSpec> processes;
    int orphanAggregates = 0;
    int foreignAggregates = 0;
    std::vector<std::pair<std::string, nlohmann::json>> defaults;
    std::optional<double> end;
    std::vector<Event> events;  // in time order, ties in file order

    double endTime() const;
};

// What a scenario may ask for, so that no input can exhaust the machine.
inline constexpr size_t kMaxScenarioBytes = 16 * 1024 * 1024;
inline constexpr int kMaxNestingDepth = 64;
inline constexpr double kMaxRunSeconds = 86400;
inline constexpr uint64_t kMaxSampleBytes = uint64_t{2} << 30;  // summed over devices

// Parses and validates a scenario document. `fileName` only appears in error messages.
Scenario parseScenario(const std::string& text, const std::string& fileName);

// Field readers shared with the runner, which reads event arguments.
DeviceSpec parseDevice(const nlohmann::json& object, const std::string& path,
                       const std::string& fileName);
AppSpec parseApp(const nlohmann::json& object, const std::string& path,
                 const std::string& fileName);
uint32_t transportFromName(const std::string& name);

}  // namespace tobble::simtool
