// Running applications and responsible processes over a fake /proc tree and desktop entries.
#include "platform/system/linux/LinuxRunningApplications.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/VirtualDispatcher.h"

namespace tobble::system::linux_desktop {
namespace {

namespace fs = std::filesystem;

class LinuxRunningApplicationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("tobble-linux-apps-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "proc");
        fs::create_directories(root_ / "apps");
        writeEntry("org.example.Browser",
                   "[Desktop Entry]\nType=Application\nName=Browser\n"
                   "Icon=web-browser\nExec=env GDK_BACKEND=x11 /opt/browser/browser %u\n");
        writeEntry(
            "player",
            "[Desktop Entry]\nType=Application\nName=Player\nIcon=/icons/p.png\nExec=player\n"
            "NoDisplay=true\n");
        writeEntry("link", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://example.org\n");
        addProcess(100, 1, "/opt/browser/browser", "browser");
        addProcess(101, 100, "/opt/browser/browser-helper", "browser-helper");
        addProcess(102, 101, "/opt/browser/browser-gpu", "gpu");
        // Content and audio processes run the browser's own binary, under its entry.
        addProcess(103, 100, "/opt/browser/browser", "Web Content");
        addProcess(104, 103, "/opt/browser/browser", "browser");
        addProcess(105, 102, "/opt/browser/browser", "browser");
        addProcess(200, 1, "/usr/bin/player", "player");
        addProcess(300, 1, "/usr/bin/daemon", "daemon");
    }
    void TearDown() override { fs::remove_all(root_); }

    void writeEntry(const std::string& id, const std::string& text) {
        std::ofstream(root_ / "apps" / (id + ".desktop")) << text;
    }
    void addProcess(pid_t pid, pid_t parent, const std::string& exe, const std::string& comm) {
        const fs::path dir = root_ / "proc" / std::to_string(pid);
        fs::create_directories(dir);
        fs::create_symlink(exe, dir / "exe");
        std::ofstream(dir / "comm") << comm << "\n";
        std::ofstream(dir / "status") << "Name:\t" << comm << "\nPPid:\t" << parent << "\n";
    }
    LinuxRunningApplications make() {
        return LinuxRunningApplications(
            dispatcher_, DesktopEntries::fromDirectories({(root_ / "apps").string()}),
            (root_ / "proc").string());
    }

    fs::path root_;
    dispatch::VirtualDispatcher dispatcher_;
};

TEST_F(LinuxRunningApplicationsTest, ProcessesWithADesktopEntryAreApplications) {
    auto apps = make();
    auto snapshot = apps.snapshot();
    std::sort(snapshot.begin(), snapshot.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[0], (RunningApplication{100, "org.example.Browser", true}));
    EXPECT_EQ(snapshot[1], (RunningApplication{200, "player", false}))
        << "NoDisplay: not a regular app";
    // The browser's processes under its own entry are not applications of their own.
}

TEST_F(LinuxRunningApplicationsTest, DetailsCarryNameIconAndPolicy) {
    auto apps = make();
    auto browser = apps.lookup(100);
    ASSERT_TRUE(browser);
    EXPECT_EQ(browser->localizedName, "Browser");
    EXPECT_EQ(browser->icon, (IconHandle{IconHandle::Kind::ThemeName, "web-browser", 0}));
    EXPECT_EQ(browser->activationPolicy, ActivationPolicy::Regular);
    auto player = apps.lookup(200);
    ASSERT_TRUE(player);
    EXPECT_EQ(player->icon, (IconHandle{IconHandle::Kind::FilePath, "/icons/p.png", 0}));
    EXPECT_EQ(player->activationPolicy, ActivationPolicy::Accessory);
    EXPECT_FALSE(apps.lookup(300));
    EXPECT_FALSE(apps.lookup(999)) << "a vanished pid";
}

TEST_F(LinuxRunningApplicationsTest, HelpersAnswerToTheNearestApplicationAncestor) {
    auto lookup =
        makeLinuxResponsibleProcessLookup(std::make_shared<LinuxRunningApplications>(make()));
    EXPECT_EQ(lookup(102), 100) << "two levels of helpers";
    EXPECT_EQ(lookup(101), 100);
    EXPECT_EQ(lookup(104), 100) << "a helper under a helper of the same binary";
    EXPECT_EQ(lookup(105), 100) << "the browser's binary below a helper of another binary";
    EXPECT_EQ(lookup(100), std::nullopt) << "an application's parent is init";
    EXPECT_EQ(lookup(300), std::nullopt);
    EXPECT_EQ(lookup(999), std::nullopt);
}

TEST_F(LinuxRunningApplicationsTest, DesktopEntryParsingKeepsOnlyApplications) {
    EXPECT_FALSE(DesktopEntries::parse("[Desktop Entry]\nType=Link\n", "x"));
    auto e = DesktopEntries::parse(
        "[Desktop Entry]\nType=Application\nExec=\"/a b/prog\" --x\n"
        "[Desktop Action new]\nName=Other\n",
        "x");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, "");
    EXPECT_EQ(e->executable, "prog");
}

}  // namespace
}  // namespace tobble::system::linux_desktop
