// tobblectl end to end: a real `tobble` (simulated audio, offscreen Qt) on a private session
// bus, driven by the real `tobblectl` (and read with busctl).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/support/PrivateSessionBus.h"

namespace tobble {
namespace {

using namespace std::chrono_literals;
using shell::testing::ChildProcess;

class TobblectlTest : public ::testing::Test {
  protected:
    struct Result {
        int status;
        std::string output;
    };

    void SetUp() override {
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        env = home.env("offscreen");
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
        // Past the first-run guide, so the engine starts at once.
        std::filesystem::create_directories(home.root / "config" / "Tobble");
        std::ofstream(home.root / "config" / "Tobble" / "Tobble.ini")
            << "[General]\nonboardingCompleted=bool:true\n";
    }

    void startTobble() {
        tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, env);
        ASSERT_TRUE(tobble->waitForOutput("scripting on the session bus", 30s)) << tobble->output();
        ASSERT_TRUE(tobble->waitForOutput("audio routing started", 30s)) << tobble->output();
        // The panel's rows follow the engine's first pass.
        for (int i = 0; i < 100 && ctl({"list"}).output.find("Music") == std::string::npos; ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    void stopTobble() {
        EXPECT_EQ(tobble->signalAndWait(SIGTERM, 30s), 0) << tobble->output();
        tobble.reset();
    }

    Result run(const std::string& program, std::vector<std::string> args) {
        ChildProcess child(program, env, std::move(args));
        const int status = child.waitForExit(30s);
        return {status, child.output()};
    }
    Result ctl(std::vector<std::string> args) { return run(TOBBLECTL_EXECUTABLE, std::move(args)); }
    Result busctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--user", "--timeout=10"});
        return run("busctl", std::move(args));
    }
    std::string panelVisible() {
        return busctl({"get-property", "org.tobble.Tobble", "/org/tobble/Tobble",
                       "org.tobble.Tobble1", "PanelVisible"})
            .output;
    }

    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    tobble::testing::PrivateSessionBus bus;
    shell::testing::ScratchHome home{"tobblectl-test"};
    std::map<std::string, std::string> env;
    std::unique_ptr<ChildProcess> tobble;
};

TEST_F(TobblectlTest, ChangesReachTobbleAndSurviveARestart) {
    const auto notRunning = ctl({"list"});
    EXPECT_EQ(notRunning.status, 4);
    EXPECT_TRUE(contains(notRunning.output, "Tobble is not running")) << notRunning.output;

    startTobble();
    EXPECT_EQ(ctl({"volume", "music", "30%"}).status, 0);
    EXPECT_EQ(ctl({"mute", "Chat"}).status, 0);
    EXPECT_EQ(ctl({"hide", "org.example.browser"}).status, 0);
    EXPECT_EQ(ctl({"output", "usb"}).status, 0);
    EXPECT_EQ(ctl({"route", "chat", "built-in"}).status, 0);
    EXPECT_EQ(ctl({"system-volume", "-10%"}).status, 0);
    EXPECT_EQ(ctl({"system-volume"}).output, "90%\n");
    const auto outputs = ctl({"outputs", "--json"}).output;
    EXPECT_TRUE(contains(outputs, R"({"default":true,"name":"USB Headphones")")) << outputs;

    const auto expectSaved = [&] {
        EXPECT_EQ(ctl({"volume", "Music"}).output, "30%\n");
        const auto rows = ctl({"list", "--json"}).output;
        EXPECT_TRUE(contains(rows, R"("muted":true,"name":"Chat","output":"demo-speakers")"))
            << rows;
        EXPECT_TRUE(contains(rows, R"("hidden":true,"id":"org.example.browser")")) << rows;
        EXPECT_TRUE(contains(rows, R"("pids":[4000001],"playing":true,"volume":0.3})")) << rows;
    };
    expectSaved();
    std::this_thread::sleep_for(100ms);  // the volume write is coalesced for 16 ms
    stopTobble();
    startTobble();
    expectSaved();

    // Choosing Tobble in the application menu while it runs opens its panel. (Without a tray
    // here, the first start opened it as a window.)
    EXPECT_EQ(ctl({"panel", "hide"}).status, 0);
    EXPECT_EQ(panelVisible(), "b false\n");
    EXPECT_EQ(run(TOBBLE_EXECUTABLE, {}).status, 0);
    EXPECT_EQ(panelVisible(), "b true\n");
    EXPECT_EQ(ctl({"panel", "toggle"}).status, 0);
    EXPECT_EQ(panelVisible(), "b false\n");
    stopTobble();
}

TEST_F(TobblectlTest, BadInputGivesItsExitStatusAndChangesNothing) {
    startTobble();
    ASSERT_EQ(ctl({"volume", "music", "40%"}).status, 0);
    const struct {
        std::vector<std::string> args;
        int status;
    } commands[] = {
        {{"volume", "nothing", "30%"}, 3},
        {{"output", "nowhere"}, 3},
        {{"route", "music", "nowhere"}, 3},
        {{"route", "music"}, 2},
        {{"volume", "music", "130%"}, 2},
        {{"volume", "music", "loud"}, 2},
        {{"volume", "music", "nan%"}, 2},
        {{"panel", "sideways"}, 2},
        {{"frobnicate"}, 2},
        {{}, 2},
    };
    for (const auto& c : commands) {
        const auto result = ctl(c.args);
        EXPECT_EQ(result.status, c.status) << result.output;
        EXPECT_TRUE(contains(result.output, "tobblectl: ")) << result.output;
    }
    // A bare 30 reads as thirty times full volume: the message says how to write 30 %.
    const auto bare = ctl({"volume", "music", "30"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_TRUE(contains(bare.output, "30% is 0.3")) << bare.output;
    EXPECT_TRUE(tobble->isRunning());
    EXPECT_EQ(ctl({"volume", "music"}).output, "40%\n");
    stopTobble();
}

}  // namespace
}  // namespace tobble
