#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/tobble-sim/Scenario.h"
#include "tools/tobble-sim/ScenarioRunner.h"

namespace tobble::simtool {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

std::string readScenarioFile(const std::string& name) {
    std::ifstream in(std::string(TOBBLE_SOURCE_DIR) + "/scenarios/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ordered_json runFile(const std::string& name) {
    return runScenario(parseScenario(readScenarioFile(name), name), {});
}

bool logContains(const ordered_json& report, const std::string& prefix) {
    for (const auto& line : report["log"]) {
        if (line["message"].get<std::string>().rfind(prefix, 0) == 0) return true;
    }
    return false;
}

TEST(ScenarioFilesTest, AppIsHeardAtItsSavedVolumeAndTheSliderIsSaved) {
    const auto r = runFile("saved-volume.json");
    ASSERT_EQ(r["rows"].size(), 1u);
    EXPECT_EQ(r["rows"][0]["bundleID"], "com.example.Music");
    EXPECT_FLOAT_EQ(r["rows"][0]["volume"].get<float>(), 0.25f);
    const auto& rms = r["devices"][0]["rms"];
    EXPECT_NEAR(rms[200].get<double>(), 0.3536 * 0.5, 0.01);   // 2.0 s: the saved volume
    EXPECT_NEAR(rms[290].get<double>(), 0.3536 * 0.25, 0.01);  // 2.9 s: the slider's value
    EXPECT_EQ(r["defaults"]["TobblePerAppVolumes"],
              R"({"com.example.Music":{"volume":0.25,"isMuted":false}})");
    EXPECT_EQ(r["live"]["taps"], 1);
    EXPECT_EQ(r["live"]["ioProcsRunning"], 1);
}

TEST(ScenarioFilesTest, DeviceSwitchMovesEveryAppWithoutAGap) {
    const auto r = runFile("device-switch.json");
    const auto& builtin = r["devices"][0]["rms"];
    const auto& buds = r["devices"][1]["rms"];
    // Combined level per window stays within 3 dB of the level before the switch.
    const double before = builtin[190].get<double>();
    for (size_t w = 195; w <= 300; ++w) {
        const double a = builtin[w].get<double>(), b = buds[w].get<double>();
        const double db = 10.0 * std::log10((a * a + b * b) / (before * before));
        EXPECT_LE(std::abs(db), 3.0) << "window " << w;
    }
    EXPECT_LT(builtin[300].get<double>(), 0.001) << "at 3 s every app plays on the buds";
    EXPECT_EQ(r["snapshots"][0]["rows"].size(), 2u);  // the helper plays under its browser
}

// 200 % doubles a quiet tone on the device; a hot one is limited, never clipped past full scale.
// Without "allowVolumeBoost" the same request stops at 100 %.
TEST(ScenarioFilesTest, BoostDoublesAQuietAppAndKeepsAHotOneWithinFullScale) {
    const auto r = runFile("volume-boost.json");
    const auto& rms = r["devices"][0]["rms"];
    EXPECT_NEAR(rms[200].get<double>(), 2.0 * rms[140].get<double>(), 1e-4);  // 2.0 s vs 1.4 s
    EXPECT_LE(r["devices"][0]["peak"].get<double>(), 1.0);
    EXPECT_GT(rms[300].get<double>(), 0.6);  // 3.0 s: the hot tone, limited but not dipped
    EXPECT_EQ(r["rows"][0]["volume"], 2.0);

    auto withoutBoost = parseScenario(readScenarioFile("volume-boost.json"), "volume-boost.json");
    withoutBoost.defaults.clear();
    EXPECT_EQ(runScenario(withoutBoost, {})["rows"][0]["volume"], 1.0);
}

// The call in the headset, the music where the default output goes (the engine's suite follows
// the headset being unplugged and plugged in again on samples).
TEST(ScenarioFilesTest, AnAppSentToADeviceOfItsOwnStaysThereWhileItIsPlugged) {
    const auto r = runFile("app-output.json");
    std::map<std::string, std::vector<double>> rms;
    for (const auto& d : r["devices"]) rms[d["uid"]] = d["rms"].get<std::vector<double>>();
    EXPECT_NEAR(rms["headset"][320], 0.4 * std::sqrt(0.5), 0.01);  // 3.2 s: after the change
    EXPECT_NEAR(rms["buds"][320], 0.3 * std::sqrt(0.5), 0.01);
    EXPECT_EQ(r["snapshots"][0]["rows"][0]["output"], "headset");
    EXPECT_EQ(r["rows"][1]["output"], "");
    EXPECT_EQ(r["defaults"]["TobbleAppOutputs"], R"({"com.example.Chat":"headset"})");
}

TEST(ScenarioFilesTest, ExitedAppIsKeptForTheGracePeriodThenTornDown) {
    const auto r = runFile("app-exits.json");
    EXPECT_EQ(r["snapshots"][0]["entries"].size(), 1u);
    EXPECT_EQ(r["snapshots"][1]["entries"].size(), 0u);
    EXPECT_EQ(r["rows"].size(), 0u);
    EXPECT_EQ(r["live"]["aggregates"], 0);
}

TEST(ScenarioFilesTest, ThirtyThirdAppWaitsForASilentOne) {
    const auto r = runFile("thirty-three-apps.json");
    auto hasPid = [](const ordered_json& entries, int pid) {
        for (const auto& e : entries) {
            if (e["pid"] == pid) return true;
        }
        return false;
    };
    EXPECT_FALSE(hasPid(r["snapshots"][0]["entries"], 1032));
    EXPECT_TRUE(hasPid(r["snapshots"][1]["entries"], 1032));
    EXPECT_FALSE(hasPid(r["snapshots"][1]["entries"], 1007));
}

TEST(ScenarioParseTest, InvalidScenariosNameFilePathAndProblem) {
    auto messageFor = [](const std::string& text) -> std::string {
        try {
            parseScenario(text, "bad.json");
        } catch (const ScenarioError& e) {
            return e.what();
        }
        return "(accepted)";
    };
    EXPECT_EQ(messageFor(R"({"devices": []})"), "bad.json: $: missing field \"events\"");
    EXPECT_EQ(messageFor(R"({"events": [{"at": 1, "do": "dance"}]})"),
              "bad.json: $.events[0].do: unknown event \"dance\"");
    EXPECT_EQ(messageFor(R"({"events": [{"at": 1, "do": "play"}]})"),
              "bad.json: $.events[0]: missing field \"pid\"");
    EXPECT_EQ(messageFor(R"({"events": [{"at": "soon", "do": "startEngine"}]})"),
              "bad.json: $.events[0].at: must be a number");
    EXPECT_EQ(messageFor(R"({"events": [{"at": 1, "do": "stop", "pid": 5, "pdi": 6}]})"),
              "bad.json: $.events[0].pdi: unknown field for \"stop\"");
    EXPECT_EQ(
        messageFor(R"({"devices": [{"uid": "x", "transport": "carrier pigeon"}], "events": []})"),
        "bad.json: $.devices[0].transport: unknown transport \"carrier pigeon\"");
    EXPECT_EQ(
        messageFor(
            R"({"events": [{"at": 0, "do": "fail", "call": "AudioDeviceStart", "status": 1.5}]})"),
        "bad.json: $.events[0].status: must be an integer or a four-character code such as "
        "\"nope\"");
    EXPECT_EQ(messageFor("[1, 2").rfind("bad.json: $: not valid JSON", 0), 0u);
    EXPECT_EQ(messageFor(R"({"events": []})"), "(accepted)");
}

TEST(ScenarioRunTest, FaultsAndUnknownRowsAreLoggedNotFatal) {
    const auto s = parseScenario(R"({
        "apps": [{"pid": 700, "bundleID": "com.example.A"}],
        "processes": [{"pid": 700, "bundleID": "com.example.A"}],
        "defaults": {"TobblePerAppVolumes": "not json at all"},
        "end": 3,
        "events": [
            {"at": 0, "do": "startEngine"}, {"at": 0, "do": "startViewModel"},
            {"at": 0, "do": "fail", "call": "AudioHardwareCreateAggregateDevice", "status": "nope"},
            {"at": 0.1, "do": "play", "pid": 700},
            {"at": 2, "do": "setVolume", "bundleID": "com.example.Nobody", "volume": 0.3},
            {"at": 2.5, "do": "toggleMute", "bundleID": "com.example.A"}
        ]})",
                                 "inline");
    const auto r = runScenario(s, {});
    EXPECT_TRUE(logContains(
        r, "pipeline build failed slot=0 parentPID=700: CoreAudio error 1852797029 (nope)"));
    EXPECT_TRUE(logContains(r, "setVolume: no row for bundleID=com.example.Nobody"));
    ASSERT_EQ(r["rows"].size(), 1u);
    EXPECT_TRUE(r["rows"][0]["isMuted"].get<bool>());
    // The corrupt document was replaced by the next save.
    const auto saved = json::parse(r["defaults"]["TobblePerAppVolumes"].get<std::string>());
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved["com.example.A"]["isMuted"].get<bool>());
}

}  // namespace
}  // namespace tobble::simtool
