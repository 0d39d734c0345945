// The panel as a screen reader sees it: `tobble` on Xvfb (Qt's offscreen platform offers no
// accessibility bridge) with the AT-SPI bus of a private session bus, and a pyatspi script that
// walks the panel's accessible tree, acts on its controls and presses Tab.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <vector>

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

// Children stopped with SIGTERM, last started first, however the test ends: Xvfb then removes
// its lock and the bus launcher takes its bus and registry down with it.
struct Children {
    std::vector<std::unique_ptr<ChildProcess>> started;
    ChildProcess& start(const std::string& program, const std::map<std::string, std::string>& env,
                        const std::vector<std::string>& args = {}) {
        return *started.emplace_back(std::make_unique<ChildProcess>(program, env, args));
    }
    ~Children() {
        for (auto it = started.rbegin(); it != started.rend(); ++it) {
            ::kill((*it)->pid(), SIGTERM);
            (*it)->waitForExit(10s);
        }
    }
};

// The display number Xvfb prints on a line of its own once it listens (-displayfd).
std::string displayOf(ChildProcess& server) {
    const std::regex number("(^|\\n)([0-9]+)\\n");
    std::smatch match;
    tobble::testing::eventually(
        [&] {
            server.waitForOutput("\n", 100ms);
            return std::regex_search(server.output(), match, number) || !server.isRunning();
        },
        20s);
    return std::regex_search(server.output(), match, number) ? ":" + match[2].str() : "";
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
    Children children;
    ChildProcess& server = children.start(
        "Xvfb", {}, {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    auto session = home.env("xcb");
    session["DISPLAY"] = displayOf(server);
    ASSERT_NE(session["DISPLAY"], "") << server.output();
    session["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    session["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    children.start(kBusLauncher, session, {"--launch-immediately"});
    home.completeOnboarding();
    ChildProcess& tobble = children.start(TOBBLE_EXECUTABLE, session);
    ASSERT_TRUE(tobble.waitForOutput("audio routing started", 30s)) << tobble.output();
    ChildProcess show(TOBBLECTL_EXECUTABLE, session, {"panel", "show"});
    ASSERT_EQ(show.waitForExit(20s), 0) << show.output();

    ChildProcess script(python, session, {TOBBLE_SOURCE_DIR "/tests/shell/accessible_tree.py"});
    const int status = script.waitForExit(120s);
    const std::string report = script.output();
    if (status == 77) GTEST_SKIP() << report;
    EXPECT_EQ(status, 0) << report;
}

}  // namespace
}  // namespace tobble::shell
