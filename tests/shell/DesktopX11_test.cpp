// Tobble on a real X11 desktop: Xvfb with openbox, a private session bus, and either no tray or a
// StatusNotifier tray (the watcher and tray host from Debian's packages), with input injected by
// xdotool while another client's window has the focus.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusInterface>
#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/shell/ProcessTestSupport.h"
#include "tests/shell/ShellTestBed.h"
#include "tests/support/PrivateSessionBus.h"

#ifdef TOBBLE_HAVE_X11
#include <xcb/xcb.h>
#endif

namespace tobble::shell {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::onPath;
using testing::ScratchHome;
using tobble::testing::eventually;

constexpr const char* kAccessibilityBusLauncher = "/usr/libexec/at-spi-bus-launcher";

// Debian's python3 has the pyatspi bindings; a python of the user's own may not.
std::string pythonWithPyatspi() {
    for (const std::string python : {"/usr/bin/python3", "python3"}) {
        if (std::system((python + " -c 'import pyatspi' >/dev/null 2>&1").c_str()) == 0) {
            return python;
        }
    }
    return {};
}

#ifdef TOBBLE_HAVE_X11

class X11Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"Xvfb", "xdotool", "openbox", "dbus-daemon"}) {
            if (!onPath(program)) GTEST_SKIP() << program << " is not installed (install-deps)";
        }
        testing::ensureApplication();
        ASSERT_FALSE(bus.address().empty()) << "no private session bus";
        display = ":" + std::to_string(90 + ::getpid() % 400);
        xenv = {{"DISPLAY", display},
                {"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                {"XDG_SESSION_TYPE", "x11"},
                {"WAYLAND_DISPLAY", ""}};
        server = std::make_unique<ChildProcess>(
            "Xvfb", std::map<std::string, std::string>{},
            std::vector<std::string>{display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        ASSERT_TRUE(eventually([&] { return xdotool({"getdisplaygeometry"}).first == 0; }, 20s))
            << "Xvfb did not come up on " << display;
        helpers.push_back(std::make_unique<ChildProcess>("openbox", xenv));

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
        env.insert(xenv.begin(), xenv.end());
    }

    void TearDown() override {
        if (tobble) {
            EXPECT_EQ(tobble->signalAndWait(SIGTERM, 20s), 0);
        }
        if (other) xcb_disconnect(other);
        for (auto it = helpers.rbegin(); it != helpers.rend(); ++it) {
            (*it)->signalAndWait(SIGTERM, 10s);
        }
        if (server) {
            server->signalAndWait(SIGTERM, 10s);
        }
    }

    // A StatusNotifier tray as KDE, Xfce and GNOME's extension provide one: the watcher, and a
    // host showing the items in a bar.
    bool startTray() {
        if (!onPath("status-notifier-watcher") || !onPath("gtk-sni-tray-standalone")) return false;
        helpers.push_back(std::make_unique<ChildProcess>("status-notifier-watcher", xenv));
        if (!eventually([&] { return !watcher().property("ProtocolVersion").isNull(); }, 10s)) {
            return false;
        }
        helpers.push_back(std::make_unique<ChildProcess>("gtk-sni-tray-standalone", xenv,
                                                         std::vector<std::string>{"--bottom"}));
        return eventually(
            [&] { return watcher().property("IsStatusNotifierHostRegistered").toBool(); }, 10s);
    }

    QDBusConnection session() {
        return QDBusConnection::connectToBus(
            QString::fromStdString(bus.address()),
            QString::fromStdString("x11-desktop-" + bus.address()));
    }
    QDBusInterface watcher() {
        return QDBusInterface("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                              "org.kde.StatusNotifierWatcher", session());
    }
    // The bus names of the registered items ("<name>/<path>" or "<name>").
    QStringList trayItems() {
        return watcher().property("RegisteredStatusNotifierItems").toStringList();
    }

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
    QRect panelGeometry() {
        const auto out =
            QString::fromStdString(xdotool({"search", "--onlyvisible", "--name", "^Tobble$",
                                            "getwindowgeometry", "--shell"})
                                       .second);
        std::map<QString, int> values;
        for (const QString& line : out.split('\n')) {
            const auto parts = line.split('=');
            if (parts.size() == 2) values[parts[0]] = parts[1].toInt();
        }
        return QRect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
    }
    bool panelFocused() {
        return xdotool({"getwindowfocus", "getwindowname"}).second.rfind("Tobble\n", 0) == 0;
    }
    void key(const std::string& keys) { ASSERT_EQ(xdotool({"key", keys}).first, 0); }
    // A press of `button` on the other client's window, away from the panel.
    void clickElsewhere(const std::string& button) {
        ASSERT_EQ(xdotool({"mousemove", "1100", "600", "click", button}).first, 0);
    }

    void launchAnsweredTobble(const std::string& ready = "audio routing started") {
        home.completeOnboarding();
        tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, env);
        ASSERT_TRUE(tobble->waitForOutput(ready, 30s)) << tobble->output();
    }

    tobble::testing::PrivateSessionBus bus;
    ScratchHome home{"tobble-x11-test"};
    std::string display;
    std::map<std::string, std::string> xenv, env;
    std::unique_ptr<ChildProcess> server, tobble;
    std::vector<std::unique_ptr<ChildProcess>> helpers;
    xcb_connection_t* other = nullptr;
};

TEST_F(X11Desktop, FirstStartShowsTheGuideAndRoutesOnlyAfterIt) {
    tobble = std::make_unique<ChildProcess>(TOBBLE_EXECUTABLE, env);
    EXPECT_TRUE(eventually([&] { return windowVisible("Welcome to Tobble"); }, 30s))
        << tobble->output();
    EXPECT_EQ(tobble->output().find("audio routing started"), std::string::npos);
}

// Without any tray the panel is the app: it opens as a window at launch, closes to the
// background, and starting Tobble again (from the application menu) reopens it.
TEST_F(X11Desktop, WithoutATrayThePanelIsAWindowThatASecondLaunchReopens) {
    launchAnsweredTobble("the panel opens as a window");
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s)) << tobble->output();
    EXPECT_TRUE(eventually([&] { return panelFocused(); }, 10s));
    key("Escape");
    ASSERT_TRUE(eventually([&] { return !panelVisible(); }, 10s));
    EXPECT_TRUE(tobble->isRunning());

    ChildProcess second(TOBBLE_EXECUTABLE, env);
    EXPECT_EQ(second.waitForExit(30s), 0) << second.output();
    EXPECT_TRUE(eventually([&] { return panelVisible(); }, 10s)) << tobble->output();
}

// The tray starts after Tobble, as at login. The floating panel takes the keyboard, only a left
// click elsewhere closes it, and the item's menu offers what the panel's state allows.
TEST_F(X11Desktop, StatusNotifierTrayShortcutAndClicksElsewhere) {
    launchAnsweredTobble();
    if (!startTray()) GTEST_SKIP() << "no StatusNotifier watcher and host (install-deps)";
    ASSERT_TRUE(eventually([&] { return !trayItems().isEmpty(); }, 10s)) << tobble->output();
    // The window it opened while there was no tray.
    ChildProcess(TOBBLECTL_EXECUTABLE, env, {"panel", "hide"}).waitForExit(20s);
    ASSERT_TRUE(eventually([&] { return !panelVisible(); }, 10s));

    const QString entry = trayItems().front();
    const auto slash = entry.indexOf('/');
    const QString service = slash < 0 ? entry : entry.left(slash);
    const QString path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : entry.mid(slash);
    QDBusInterface item(service, path, "org.kde.StatusNotifierItem", session());
    item.call("Activate", 10, 10);
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s)) << tobble->output();
    EXPECT_TRUE(eventually([&] { return panelFocused(); }, 10s));

    // The host asks for the item's menu; it offers what the open panel allows.
    item.call("ContextMenu", 10, 10);
    EXPECT_TRUE(tobble->waitForOutput("tray menu: Sticky, Quit Tobble", 10s)) << tobble->output();
    key("Escape");  // closes the menu, not the panel
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(panelVisible());

    // A right-click (a tray icon's menu) or a wheel step elsewhere leaves the panel open.
    clickElsewhere("3");
    clickElsewhere("4");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(panelVisible());
    clickElsewhere("1");
    EXPECT_TRUE(eventually([&] { return !panelVisible(); }, 10s));

    for (const char* closing : {"super+shift+t", "Escape"}) {
        key("super+shift+t");
        ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s)) << tobble->output();
        key(closing);
        EXPECT_TRUE(eventually([&] { return !panelVisible(); }, 10s)) << closing;
    }

    // A press with an extra modifier is not the shortcut.
    key("super+shift+alt+t");
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(panelVisible());

    // A quick click on the gear (press and release at once, as a touchpad tap) opens the
    // settings and keeps the panel: the press is judged against the panel as it was.
    key("super+shift+t");
    ASSERT_TRUE(eventually([&] { return panelVisible(); }, 10s));
    const QRect before = panelGeometry();
    ASSERT_EQ(xdotool({"mousemove", std::to_string(before.right() - 25),
                       std::to_string(before.top() + 26), "click", "1"})
                  .first,
              0);
    EXPECT_TRUE(eventually([&] { return panelGeometry().height() != before.height(); }, 10s));
    EXPECT_TRUE(panelVisible());
}

// Qt's offscreen platform has no accessibility bridge, so what a screen reader sees is checked
// here, by a pyatspi script on the session's accessibility bus.
TEST_F(X11Desktop, ScreenReaderSeesNamesRolesStatesAndTabOrder) {
    const std::string python = pythonWithPyatspi();
    if (python.empty() || ::access(kAccessibilityBusLauncher, X_OK) != 0) {
        GTEST_SKIP() << "at-spi2-core or python3-pyatspi is not installed (install-deps)";
    }
    helpers.push_back(std::make_unique<ChildProcess>(
        kAccessibilityBusLauncher, env, std::vector<std::string>{"--launch-immediately"}));
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    launchAnsweredTobble();
    ChildProcess show(TOBBLECTL_EXECUTABLE, env, {"panel", "show"});
    ASSERT_EQ(show.waitForExit(20s), 0) << show.output();

    ChildProcess script(python, env, {TOBBLE_SOURCE_DIR "/tests/shell/accessible_tree.py"});
    const int status = script.waitForExit(120s);
    if (status == 77) GTEST_SKIP() << script.output();
    EXPECT_EQ(status, 0) << script.output();
}

#endif  // TOBBLE_HAVE_X11

}  // namespace
}  // namespace tobble::shell
