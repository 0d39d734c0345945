// Tobble on a real Wayland compositor: weston (its X11 backend inside Xvfb, which gives it a seat
// with a keyboard and pointer), a private session bus with a StatusNotifier watcher, and the
// `tobble` program left to choose its platform as on a Wayland desktop.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/shell/ShellTestBed.h"
#include "tests/support/PrivateSessionBus.h"

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::onPath;
using testing::ScratchHome;
using tobble::testing::eventually;

bool haveWaylandPlugin() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms",
                            "/usr/lib/aarch64-linux-gnu/qt6/plugins/platforms"}) {
        if (std::filesystem::exists(std::string(dir) + "/libqwayland-generic.so")) return true;
    }
    return false;
}

class WaylandDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program :
             {"Xvfb", "weston", "weston-simple-shm", "dbus-daemon", "status-notifier-watcher"}) {
            if (!onPath(program)) GTEST_SKIP() << program << " is not installed (install-deps)";
        }
        if (!haveWaylandPlugin()) GTEST_SKIP() << "Qt's Wayland plugin (qt6-wayland) is missing";
        testing::ensureApplication();
        ASSERT_FALSE(bus.address().empty()) << "no private session bus";
        const std::string display = ":" + std::to_string(500 + ::getpid() % 400);
        const std::string socket = "tobble-test-" + std::to_string(::getpid());
        start("Xvfb", {}, {display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        std::filesystem::create_directories(home.root / "runtime");
        const std::string runtime = (home.root / "runtime").string();
        start("weston", {{"DISPLAY", display}, {"XDG_RUNTIME_DIR", runtime}},
              {"--backend=x11-backend.so", "--width=1200", "--height=760", "--idle-time=0",
               "--socket=" + socket});
        ASSERT_TRUE(
            eventually([&] { return std::filesystem::exists(runtime + "/" + socket); }, 20s))
            << "weston did not come up";
        // The session a Wayland desktop gives its programs.
        env = home.env("");
        env.insert({{"WAYLAND_DISPLAY", socket},
                    {"XDG_SESSION_TYPE", "wayland"},
                    {"DISPLAY", ""},
                    {"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
        start("status-notifier-watcher", env, {});
        home.completeOnboarding();
    }

    void TearDown() override {
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            (*it)->signalAndWait(SIGTERM, 10s);
        }
    }

    ChildProcess& start(const std::string& program, const std::map<std::string, std::string>& e,
                        const std::vector<std::string>& args) {
        children.push_back(std::make_unique<ChildProcess>(program, e, args));
        return *children.back();
    }
    std::string ctl(const std::vector<std::string>& args) {
        ChildProcess child(TOBBLECTL_EXECUTABLE, env, args);
        child.waitForExit(20s);
        return child.output();
    }

    tobble::testing::PrivateSessionBus bus;
    ScratchHome home{"tobble-wayland-test"};
    std::map<std::string, std::string> env;
    std::vector<std::unique_ptr<ChildProcess>> children;
};

// Natively on Wayland, where nothing can watch clicks in other applications: the panel opened by
// a script takes the keyboard and closes when another client takes it.
TEST_F(WaylandDesktop, PanelTakesFocusAndClosesWhenAnotherClientTakesIt) {
    ChildProcess& tobble = start(TOBBLE_EXECUTABLE, env, {});
    ASSERT_TRUE(tobble.waitForOutput("audio routing started", 30s)) << tobble.output();
    EXPECT_NE(tobble.output().find("windows: wayland"), std::string::npos) << tobble.output();

    EXPECT_EQ(ctl({"panel", "show"}), "");
    EXPECT_TRUE(eventually([&] { return ctl({"panel", "status"}) == "shown\n"; }, 10s));
    // Another client mapped before the compositor activates the panel would leave it open.
    ASSERT_TRUE(tobble.waitForOutput("panel has the keyboard", 20s)) << tobble.output();
    start("weston-simple-shm", env, {});
    EXPECT_TRUE(eventually(
        [&] {
            return ctl({"panel", "status"}) == "hidden\n";
        },
        10s))
        << tobble.output();
}

}  // namespace
}  // namespace tobble::shell
