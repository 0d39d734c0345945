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

TEST_F(SimProcessTableTest, AProcessExistsWhileAnySourceKnowsIt) {
    EXPECT_TRUE(table.exists(kOwnPid));
    for (pid_t never : {0, -1, 4242}) EXPECT_FALSE(table.exists(never)) << never;

    audio.addProcess({.pid = 500, .bundleID = "org.example.Player", .signal = {}});
    workspace.launch({.pid = 510, .bundleID = "org.example.Editor", .name = "Editor"});
    table.addProcess(520);
    table.addProcess(520);
    for (pid_t pid : {500, 510, 520}) EXPECT_TRUE(table.exists(pid)) << pid;

    audio.exitProcess(500);
    workspace.terminate(510);
    table.removeProcess(520);  // once is enough, however often it was added
    for (pid_t pid : {500, 510, 520}) EXPECT_FALSE(table.exists(pid)) << pid;

    // Removing by hand does not end a process that the workspace still runs.
    workspace.launch({.pid = 521, .bundleID = std::nullopt, .name = "Tool"});
    table.removeProcess(521);
    EXPECT_TRUE(table.exists(521));
}

}  // namespace
}  // namespace tobble::system::sim
