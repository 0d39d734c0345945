#include "platform/system/ProcessTable.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tobble::system {
namespace {

TEST(OsProcessTableTest, KnowsItselfAndTellsLiveFromReapedProcesses) {
    OsProcessTable table;
    EXPECT_EQ(table.ownPid(), ::getpid());
    EXPECT_TRUE(table.exists(table.ownPid()));
    EXPECT_TRUE(table.exists(1));    // init: may be EPERM for us, still a process
    EXPECT_FALSE(table.exists(0));   // would address our whole process group
    EXPECT_FALSE(table.exists(-1));  // would address every process we may signal

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    EXPECT_TRUE(table.exists(child));  // exited or not, it is a zombie until reaped
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(table.exists(child));
}

}  // namespace
}  // namespace tobble::system
