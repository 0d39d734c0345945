// The global shortcut end to end on a real X server: Xvfb, the `tobble` program, and a key
// press injected by xdotool while another client's window has the focus.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
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

// Runs xdotool to completion on the X server of `env` and returns its status and output.
std::pair<int, std::string> xdotool(const std::map<std::string, std::string>& env,
                                    const std::vector<std::string>& args) {
    ChildProcess child("xdotool", env, args);
    const int status = child.waitForExit(20s);
    return {status, child.output()};
}

bool panelVisible(const std::map<std::string, std::string>& env) {
    const auto [status, out] = xdotool(env, {"search", "--onlyvisible", "--name", "^Tobble$"});
    return status == 0 && !out.empty();
}

TEST(GlobalShortcutXvfb, KeyPressAimedAtAnotherWindowTogglesThePanel) {
#ifndef TOBBLE_HAVE_X11
    GTEST_SKIP() << "built without X11 support";
#else
    if (!onPath("Xvfb") || !onPath("xdotool")) {
        GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/install-deps.sh installs both)";
    }
    testing::ensureApplication();
    const std::string display = ":" + std::to_string(90 + ::getpid() % 400);
    ChildProcess server("Xvfb", {}, {display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    std::map<std::string, std::string> xenv{{"DISPLAY", display}};
    ASSERT_TRUE(eventually([&] { return xdotool(xenv, {"getdisplaygeometry"}).first == 0; }, 20s))
        << "Xvfb did not come up on " << display;

    // Another client's window, mapped and focused: the key press is aimed at it.
    xcb_connection_t* other = xcb_connect(display.c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(other));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(other)).data;
    const xcb_window_t window = xcb_generate_id(other);
    const uint32_t events = XCB_EVENT_MASK_KEY_PRESS;
    xcb_create_window(other, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                      &events);
    xcb_map_window(other, window);
    xcb_set_input_focus(other, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(other);

    ScratchHome home("tobble-xvfb-test");
    auto env = home.env("xcb");
    env["DISPLAY"] = display;
    ChildProcess tobble(TOBBLE_EXECUTABLE, env);
    ASSERT_TRUE(tobble.waitForOutput("audio routing started", 30s)) << tobble.output();
    EXPECT_FALSE(panelVisible(xenv));

    ASSERT_EQ(xdotool(xenv, {"key", "super+shift+t"}).first, 0);
    EXPECT_TRUE(eventually([&] { return panelVisible(xenv); }, 10s)) << tobble.output();

    ASSERT_EQ(xdotool(xenv, {"key", "super+shift+t"}).first, 0);
    EXPECT_TRUE(eventually([&] { return !panelVisible(xenv); }, 10s));

    // Escape closes the open panel although the other window kept the focus.
    ASSERT_EQ(xdotool(xenv, {"key", "super+shift+t"}).first, 0);
    ASSERT_TRUE(eventually([&] { return panelVisible(xenv); }, 10s));
    ASSERT_EQ(xdotool(xenv, {"key", "Escape"}).first, 0);
    EXPECT_TRUE(eventually([&] { return !panelVisible(xenv); }, 10s));

    // A press with an extra modifier is not the shortcut.
    ASSERT_EQ(xdotool(xenv, {"key", "super+shift+alt+t"}).first, 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(panelVisible(xenv));

    ::kill(tobble.pid(), SIGTERM);
    EXPECT_EQ(tobble.waitForExit(20s), 0);
    xcb_disconnect(other);
    ::kill(server.pid(), SIGTERM);
    server.waitForExit(10s);
#endif
}

}  // namespace
}  // namespace tobble::shell
