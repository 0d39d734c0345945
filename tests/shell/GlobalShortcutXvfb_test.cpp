// The panel on a real X server: Xvfb with a window manager, the `tobble` program, and input
// injected by xdotool while another client's window has the focus.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/shell/ShellTestBed.h"

#ifdef TOBBLE_HAVE_X11
#include <xcb/xcb.h>
#endif

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ScratchHome;
using tobble::testing::eventually;

bool onPath(const std::string& program) {
    const std::string command = "command -v " + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

#ifdef TOBBLE_HAVE_X11

// Xvfb with openbox (when installed), one other client's window focused, and a scratch home.
class XvfbSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!onPath("Xvfb") || !onPath("xdotool")) {
            GTEST_SKIP()
                << "Xvfb or xdotool is not installed (scripts/install-deps.sh installs both)";
        }
        testing::ensureApplication();
        display = ":" + std::to_string(90 + ::getpid() % 400);
        xenv = {{"DISPLAY", display}};
        server = std::make_unique<ChildProcess>(
            "Xvfb", std::map<std::string, std::string>{},
            std::vector<std::string>{display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        ASSERT_TRUE(eventually([&] { return xdotool({"getdisplaygeometry"}).first == 0; }, 20s))
            << "Xvfb did not come up on " << display;
        if (onPath("openbox")) windowManager = std::make_unique<ChildProcess>("openbox", xenv);

        // Another client's window, mapped and focused: input is aimed at it.
        other = xcb_connect(display.c_str(), nullptr);
        ASSERT_FALSE(xcb_connection_has_error(other));
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(other)).data;
        const xcb_window_t window = xcb_generate_id(other);
        const uint32_t events = XCB_EVENT_MASK_KEY_PRESS;
        xcb_create_window(other, XCB_COPY_FROM_PARENT, window, screen->root, 900, 500, 300, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          &events);
        xcb_map_window(other, window);
        xcb_set_input_focus(other, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        xcb_flush(other);
        env = home.env("xcb");
        env["DISPLAY"] = display;
    }

    void TearDown() override {
        if (tobble) {
            ::kill(tobble->pid(), SIGTERM);
            EXPECT_EQ(tobble->waitForExit(20s), 0);
        }
        if (other) xcb_disconnect(other);
        for (auto* child : {windowManager.get(), server.get()}) {
            if (!child) continue;
            ::kill(child->pid(), SIGTERM);
            child->waitForExit(10s);
        }
    }

    // Runs xdotool to completion and returns its status and output.
    std::pair<int, std::string> xdotool(const std::vector<std::string>& args) {
        ChildProcess child("xdotool", xenv, args);
        const int status = child.waitForExit(20s);
        return {status, child.output()};
    }
    bool windowVisible(const std::string& title) {
        const auto [status, out] =
            xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
        return status == 0 && !out.empty();
    }
    bool panelVisible() { return windowVisible("Tobble"); }
    void key(const std::string& keys) { ASSERT_EQ(xdotool({"key", keys}).first, 0); }
    // A press of `button` on the other client's window, away from the panel.
    void clickElsewhere(const std::string& button) {
        ASSERT_EQ(xdotool({"mousemove", "1100", "600", "click", button}).first, 0);
    }

    void launchAnsweredTobble() {
        home.completeOnboarding();
        tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, env);
        ASSERT_TRUE(tobble->waitForOutput("audio routing started", 30s)) << tobble->output();
    }

    ScratchHome home{"tobble-xvfb-test"};
    std::string display;
    std::map<std::string, std::string> xenv, env;
    std::unique_ptr<ChildProcess> server, windowManager, tobble;
    xcb_connection_t* other = nullptr;
};

TEST_F(XvfbSession, FirstStartShowsTheGuideAndRoutesOnlyAfterIt) {
    tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, env);
    EXPECT_TRUE(eventually([&] { return windowVisible("Welcome to Tobble"); }, 30s))
        << tobble->output();
    EXPECT_EQ(tobble->output().find("audio routing started"), std::string::npos);
}

TEST_F(XvfbSession, ShortcutAndEscapeFromAnotherWindowAndOnlyLeftClicksElsewhereClose) {
    launchAnsweredTobble();
    EXPECT_FALSE(panelVisible());

    key("super+shift+t");
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s)) << tobble->output();
    // The panel took the keyboard: Tab and the arrows work without a click.
    EXPECT_TRUE(eventually(
        [&] {
            return xdotool({"getwindowfocus", "getwindowname"}).second.find("Tobble") == 0;
        },
        10s));

    // A right-click (a tray icon's menu) or a wheel step elsewhere leaves it open.
    clickElsewhere("3");
    clickElsewhere("4");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(panelVisible());
    clickElsewhere("1");
    EXPECT_TRUE(eventually([&] { return !panelVisible(); }, 10s));

    key("super+shift+t");
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s));
    key("super+shift+t");
    EXPECT_TRUE(eventually([&] { return !panelVisible(); }, 10s));

    // Escape closes the open panel.
    key("super+shift+t");
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s));
    key("Escape");
    EXPECT_TRUE(eventually([&] { return !panelVisible(); }, 10s));

    // A press with an extra modifier is not the shortcut.
    key("super+shift+alt+t");
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(panelVisible());
}

#endif  // TOBBLE_HAVE_X11

}  // namespace
}  // namespace tobble::shell
