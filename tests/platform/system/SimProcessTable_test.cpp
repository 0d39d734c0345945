#include <gtest/gtest.h>

#include "platform/sim/SimEnvironment.h"

namespace tobble::system::sim {
namespace {

class SimProcessTableTest : public ::testing::Test {
  protected:
    static constexpr pid_t kOwnPid = 100;

    tobble::sim::SimEnvironment desktop{tobble::sim::SimEnvironmentOptions{.ownPid = kOwnPid}};
    audio::sim::SimAudioSystem& audio = desktop.audio();
    SimRunningApplications& workspace = desktop.apps();
    SimProcessTable& table = desktop.processes();
};

TEST_F(SimProcessTableTest, OwnPidAlwaysExistsAndNonPositivePidsNever) {
    EXPECT_TRUE(table.exists(kOwnPid));
    EXPECT_FALSE(table.exists(0));
    EXPECT_FALSE(table.exists(-1));
    EXPECT_FALSE(table.exists(4242));
}

TEST_F(SimProcessTableTest, AProcessExistsWhileAnySourceKnowsIt) {
    audio.addProcess({.pid = 500, .bundleID = "org.example.Player", .signal = {}});
    workspace.launch({.pid = 510, .bundleID = "org.example.Editor", .name = "Editor"});
    table.addProcess(520);
    table.addProcess(520);
    EXPECT_TRUE(table.exists(500));
    EXPECT_TRUE(table.exists(510));
    EXPECT_TRUE(table.exists(520));

    audio.exitProcess(500);
    workspace.terminate(510);
    table.removeProcess(520);  // once is enough, however often it was added
    EXPECT_FALSE(table.exists(500));
    EXPECT_FALSE(table.exists(510));
    EXPECT_FALSE(table.exists(520));

    // Removing by hand does not end a process that the workspace still runs.
    workspace.launch({.pid = 521, .bundleID = std::nullopt, .name = "Tool"});
    table.removeProcess(521);
    EXPECT_TRUE(table.exists(521));
}

}  // namespace
}  // namespace tobble::system::sim
