#include "shell/XdgLoginItem.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/shell/ProcessTestSupport.h"

namespace tobble::shell {
namespace {

class XdgLoginItemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(home.root / "prefix" / "bin");
        std::filesystem::create_directories(home.root / "prefix" / "share" / "applications");
        std::ofstream(home.root / "prefix" / "share" / "applications" / "org.tobble.Tobble.desktop")
            << "x";
    }
    std::filesystem::path autostart() const { return home.root / "autostart"; }

    testing::ScratchHome home{"tobble-login-test"};
};

TEST_F(XdgLoginItemTest, ProgramOutsideAnInstalledLocationIsUnavailable) {
    XdgLoginItem item(home.root / "build" / "tobble", autostart());
    EXPECT_EQ(item.status(), ui::LoginItemStatus::NotFound);
    const auto error = item.registerItem();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("not installed"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(item.entryPath()));
}

TEST_F(XdgLoginItemTest, RegisterWritesAnAutostartEntryAndUnregisterRemovesIt) {
    XdgLoginItem item(home.root / "prefix" / "bin" / "tobble", autostart());
    EXPECT_EQ(item.status(), ui::LoginItemStatus::NotRegistered);
    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), ui::LoginItemStatus::Enabled);
    std::ifstream in(item.entryPath());
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(
        text.find("Exec=" + (home.root / "prefix" / "bin" / "tobble").string() + " --at-login\n"),
        std::string::npos);
    EXPECT_NE(text.find("Type=Application"), std::string::npos);

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_EQ(item.status(), ui::LoginItemStatus::NotRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt) << "nothing to remove is not an error";
}

TEST_F(XdgLoginItemTest, EntryTheDesktopWasToldToSkipIsNotEnabled) {
    XdgLoginItem item(home.root / "prefix" / "bin" / "tobble", autostart());
    std::filesystem::create_directories(autostart());
    std::ofstream(item.entryPath()) << "[Desktop Entry]\nExec=tobble\nHidden=true\n";
    EXPECT_EQ(item.status(), ui::LoginItemStatus::NotRegistered);
}

TEST_F(XdgLoginItemTest, RegistrationFailureCarriesARealMessage) {
    // The autostart folder is a file: it cannot be created.
    std::ofstream(autostart()) << "in the way";
    XdgLoginItem item(home.root / "prefix" / "bin" / "tobble", autostart());
    const auto error = item.registerItem();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find(autostart().string()), std::string::npos) << *error;
    EXPECT_EQ(item.status(), ui::LoginItemStatus::NotRegistered);
}

}  // namespace
}  // namespace tobble::shell
