#include "services/KeyboardShortcut.h"

#include <gtest/gtest.h>

#include "platform/system/InMemoryUserDefaults.h"

namespace tobble::app {
namespace {

using namespace modifier;

class ShortcutMatchTest : public ::testing::Test {
  protected:
    bool press(int64_t flags, std::string characters) {
        return isTobbleShortcut(defaults, KeyPress{flags, std::move(characters)});
    }
    system::InMemoryUserDefaults defaults;
};

TEST_F(ShortcutMatchTest, DefaultIsSuperShiftT) {
    EXPECT_EQ(KeyboardShortcut::fromDefaults(defaults).displayText(), "Super+Shift+T");
    EXPECT_TRUE(press(kCommand | kShift, "t"));
    EXPECT_TRUE(press(kCommand | kShift, "T")) << "characters compare lower-cased";
}

TEST_F(ShortcutMatchTest, MissingOrExtraModifiersDoNotMatch) {
    EXPECT_FALSE(press(kCommand, "t"));
    EXPECT_FALSE(press(kCommand | kShift | kOption, "t"));
    EXPECT_FALSE(press(kControl | kShift, "t"));
    EXPECT_FALSE(press(kCommand | kShift, "y"));
    EXPECT_FALSE(press(kCommand | kShift, ""));
}

TEST_F(ShortcutMatchTest, CapsLockAndOtherDeviceBitsDoNotMatter) {
    EXPECT_TRUE(press(kCommand | kShift | kCapsLock, "t"));
    EXPECT_TRUE(press(kCommand | kShift | 0x800000 /* Fn */ | 0x200000 /* keypad */, "t"));
}

TEST_F(ShortcutMatchTest, StoredShortcutAppliesAtOnce) {
    KeyboardShortcut{kControl | kOption, "m"}.store(defaults);
    EXPECT_TRUE(press(kControl | kOption, "m"));
    EXPECT_FALSE(press(kCommand | kShift, "t"));
}

TEST_F(ShortcutMatchTest, UnusableStoredModifiersFallBackToTheDefault) {
    defaults.setInteger(kShortcutModifiersKey, -5);
    EXPECT_TRUE(press(kCommand | kShift, "t"));
    defaults.setString(kShortcutModifiersKey, "1179648");
    EXPECT_TRUE(press(kCommand | kShift, "t"));
    defaults.setInteger(kShortcutModifiersKey, 0);
    EXPECT_TRUE(press(0, "t")) << "zero is a valid set: the bare key";
}

}  // namespace
}  // namespace tobble::app
