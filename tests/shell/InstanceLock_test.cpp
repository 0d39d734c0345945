#include "shell/InstanceLock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/shell/ShellTestBed.h"

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ScratchHome;

class InstanceLockTest : public ::testing::Test {
  protected:
    InstanceLock make() {
        return InstanceLock([this](const std::string& line) { console.push_back(line); });
    }
    ScratchHome home{"tobble-lock-test"};
    std::vector<std::string> console;
};

TEST_F(InstanceLockTest, FirstAcquiresSecondIsRefusedWithTheMessage) {
    InstanceLock first = make();
    EXPECT_EQ(first.acquire(home.root / "Tobble"), InstanceLock::Result::Acquired);
    EXPECT_TRUE(console.empty());
    const auto mode =
        std::filesystem::status(home.root / "Tobble" / ".instance.lock").permissions();
    EXPECT_EQ(mode & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    InstanceLock second = make();
    const auto result = second.acquire(home.root / "Tobble");
    EXPECT_EQ(result, InstanceLock::Result::HeldByAnother);
    EXPECT_FALSE(InstanceLock::mayRun(result));
    EXPECT_EQ(console, std::vector<std::string>{"Tobble: Another instance is already running"});
}

TEST_F(InstanceLockTest, ReleasedWhenTheHolderGoesAway) {
    {
        InstanceLock first = make();
        ASSERT_EQ(first.acquire(home.root), InstanceLock::Result::Acquired);
    }
    InstanceLock next = make();
    EXPECT_EQ(next.acquire(home.root), InstanceLock::Result::Acquired);
}

TEST_F(InstanceLockTest, UnopenableLockFileStopsTheStartWithItsMessage) {
    // A directory where the file should be cannot be opened for writing, even by root.
    const auto path = home.root / "Tobble" / ".instance.lock";
    std::filesystem::create_directories(path);
    InstanceLock lock = make();
    const auto result = lock.acquire(home.root / "Tobble");
    EXPECT_EQ(result, InstanceLock::Result::OpenFailed);
    EXPECT_FALSE(InstanceLock::mayRun(result));
    EXPECT_EQ(console, std::vector<std::string>{"Tobble: Failed to open instance lock file " +
                                                path.string() + ": Is a directory (errno 21)"});
}

// The program itself: a second copy says so and leaves; the first keeps running until SIGTERM,
// which it answers by exiting 0.
TEST(TobbleProgram, SecondInstanceExitsAndSigtermEndsTheFirstWithStatusZero) {
    testing::ensureApplication();
    ScratchHome home("tobble-program-test");
    const auto env = home.env("offscreen");
    ChildProcess first(TOBBLE_EXECUTABLE, env);
    ASSERT_TRUE(first.waitForOutput("launch finished", 30s)) << first.output();

    ChildProcess second(TOBBLE_EXECUTABLE, env);
    EXPECT_EQ(second.waitForExit(30s), 0);
    EXPECT_NE(second.output().find("Tobble: Another instance is already running"),
              std::string::npos)
        << second.output();
    EXPECT_EQ(second.output().find("launch finished"), std::string::npos);

    EXPECT_TRUE(first.isRunning());
    EXPECT_EQ(first.signalAndWait(SIGTERM, 30s), 0) << first.output();
    EXPECT_NE(first.output().find("termination signal"), std::string::npos);
}

}  // namespace
}  // namespace tobble::shell
