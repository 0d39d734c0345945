// The program itself, as a process: how it ends on a signal.
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
    ::kill(tobble.pid(), GetParam());
    EXPECT_EQ(tobble.waitForExit(30s), 0) << tobble.output();
    EXPECT_NE(tobble.output().find("termination signal: stopping the engine"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalTest, ::testing::Values(SIGHUP, SIGQUIT),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

}  // namespace
}  // namespace tobble::shell
