// The scenario parser over arbitrary bytes: it accepts a document or rejects it with a
// ScenarioError naming the problem; nothing else escapes and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "tools/tobble-sim/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    try {
        const auto scenario = tobble::simtool::parseScenario(text, "fuzz.json");
        for (size_t i = 1; i < scenario.events.size(); ++i) {
            if (scenario.events[i - 1].at > scenario.events[i].at)
                tobble::fuzz::fail("events out of time order");
        }
        if (scenario.devices.empty()) tobble::fuzz::fail("a scenario without devices");
    } catch (const tobble::simtool::ScenarioError& error) {
        if (std::string(error.what()).rfind("fuzz.json: $", 0) != 0)
            tobble::fuzz::fail("error without file and path");
    }
    return 0;
}
