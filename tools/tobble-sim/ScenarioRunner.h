#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/tobble-sim/Scenario.h"

namespace tobble::simtool {

struct RunOptions {
    // Called with every log line as it is written: "<t> <level> <category> <message>".
    std::function<void(const std::string&)> printLine;
};

// Runs a scenario against the real engine, audio service and view model over the simulated
// system in virtual time, and returns the report.
nlohmann::ordered_json runScenario(const Scenario& scenario, const RunOptions& options);

}  // namespace tobble::simtool
