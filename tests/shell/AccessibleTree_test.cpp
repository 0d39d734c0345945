// The panel as a screen reader sees it: `tobble` on Xvfb (Qt's offscreen platform offers no
// accessibility bridge) with the AT-SPI bus of a private session bus, and a pyatspi script that
// walks the panel's accessible tree, acts on its controls and presses Tab.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/shell/ShellTestBed.h"
#include "tests/support/PrivateSessionBus.h"

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr const char* kBusLauncher = "/usr/libexec/at-spi-bus-launcher";

bool succeeds(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Debian's python3 has the pyatspi bindings; a python of the user's own may not.
std::string pythonWithPyatspi() {
    for (const std::string python : {"/usr/bin/python3", "python3"}) {
        if (succeeds(python + " -c 'import pyatspi'")) return python;
    }
    return {};
}

// Stops a child with SIGTERM, so the bus launcher takes its bus and registry down with it.
void stop(std::unique_ptr<ChildProcess>& child) {
    if (!child) return;
    ::kill(child->pid(), SIGTERM);
    child->waitForExit(10s);
    child.reset();
}

TEST(AccessibleTree, NamesRolesStatesAndTabOrderOverAtSpi) {
    const std::string python = pythonWithPyatspi();
    if (python.empty() || !succeeds("command -v Xvfb") || !succeeds("command -v xdotool") ||
        ::access(kBusLauncher, X_OK) != 0) {
        GTEST_SKIP() << "needs Xvfb, xdotool, at-spi2-core and python3-pyatspi "
                        "(scripts/install-deps.sh installs them)";
    }
    testing::ensureApplication();
    tobble::testing::PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    testing::ScratchHome home("tobble-atspi-test");
    auto session = home.env("xcb");
    session["DISPLAY"] = ":" + std::to_string(500 + ::getpid() % 400);
    session["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    session["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";

    auto server = std::make_unique<ChildProcess>(
        "Xvfb", std::map<std::string, std::string>{},
        std::vector<std::string>{session["DISPLAY"], "-screen", "0", "1280x800x24", "-nolisten",
                                 "tcp"});
    ASSERT_TRUE(tobble::testing::eventually(
        [&] { return ChildProcess("xdotool", session, {"getdisplaygeometry"}).waitForExit(10s) == 0; },
        20s));
    auto launcher =
        std::make_unique<ChildProcess>(kBusLauncher, session, std::vector<std::string>{"--launch-immediately"});
    home.completeOnboarding();
    auto tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, session);
    ASSERT_TRUE(tobble->waitForOutput("audio routing started", 30s)) << tobble->output();
    ChildProcess show(TOBBLECTL_EXECUTABLE, session, {"panel", "show"});
    ASSERT_EQ(show.waitForExit(20s), 0) << show.output();

    ChildProcess script(python, session, {TOBBLE_SOURCE_DIR "/tests/shell/accessible_tree.py"});
    const int status = script.waitForExit(120s);
    const std::string report = script.output();
    stop(tobble);
    stop(launcher);
    stop(server);
    if (status == 77) GTEST_SKIP() << report;
    EXPECT_EQ(status, 0) << report;
}

}  // namespace
}  // namespace tobble::shell
