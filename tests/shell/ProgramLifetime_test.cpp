// The program itself, as a process: how it ends on a signal, and where it may not start.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/shell/ProcessTestSupport.h"

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ScratchHome;

class TerminationSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignalTest, StopsTheEngineAndExitsZero) {
    ScratchHome home("tobble-signal-test");
    ChildProcess tobble(TOBBLE_EXECUTABLE, home.env("offscreen"));
    ASSERT_TRUE(tobble.waitForOutput("launch finished", 30s)) << tobble.output();
    EXPECT_EQ(tobble.signalAndWait(GetParam(), 30s), 0) << tobble.output();
    EXPECT_NE(tobble.output().find("termination signal: stopping the engine"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalTest, ::testing::Values(SIGHUP, SIGQUIT),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

// With no HOME, the lock and the settings go to the user's runtime directory; with no runtime
// directory either, the program does not start rather than use a folder shared by all users.
TEST(ProgramPlaces, WithoutHomeOnlyTheRuntimeDirectoryIsUsed) {
    ScratchHome home("tobble-nohome-test");
    auto env = home.env("offscreen");
    env["HOME"] = env["XDG_DATA_HOME"] = env["XDG_CONFIG_HOME"] = "";
    {
        ChildProcess tobble(TOBBLE_EXECUTABLE, env);
        ASSERT_TRUE(tobble.waitForOutput("launch finished", 30s)) << tobble.output();
        EXPECT_TRUE(std::filesystem::exists(home.root / "runtime" / "Tobble" / ".instance.lock"));
        EXPECT_EQ(tobble.signalAndWait(SIGTERM, 30s), 0);
    }
    env["XDG_RUNTIME_DIR"] = "";
    ChildProcess refused(TOBBLE_EXECUTABLE, env);
    EXPECT_EQ(refused.waitForExit(30s), 1);
    EXPECT_NE(refused.output().find("not starting"), std::string::npos) << refused.output();
}

// The version names the commit it was built from, as the About box does.
TEST(ProgramVersion, NamesTheBuild) {
    ChildProcess tobble(TOBBLE_EXECUTABLE, {}, {"--version"});
    EXPECT_EQ(tobble.waitForExit(30s), 0);
    const std::string out = tobble.output();
    EXPECT_EQ(out.rfind("tobble ", 0), 0u) << out;
    const auto build = out.find("(build ");
    ASSERT_NE(build, std::string::npos) << out;
    EXPECT_NE(out.substr(build, 9), "(build ?)") << out;
}

}  // namespace
}  // namespace tobble::shell
