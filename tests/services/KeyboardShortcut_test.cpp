#include "services/KeyboardShortcut.h"

#include <gtest/gtest.h>

#include <tuple>

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

// Caps lock and the other device bits do not matter; a missing or extra modifier or another key
// does. Presses from Qt reach this through the delegate, whose tests cover the mapping.
TEST_F(ShortcutMatchTest, DefaultIsSuperShiftT) {
    EXPECT_EQ(KeyboardShortcut::fromDefaults(defaults).displayText(), "Super+Shift+T");
    for (const auto& [flags, characters, matches] :
         std::initializer_list<std::tuple<int64_t, const char*, bool>>{
             {kCommand | kShift, "t", true},
             {kCommand | kShift, "T", true},  // characters compare lower-cased
             {kCommand | kShift | kCapsLock, "t", true},
             {kCommand | kShift | 0x800000 /* Fn */ | 0x200000 /* keypad */, "t", true},
             {kCommand, "t", false},
             {kCommand | kShift | kOption, "t", false},
             {kControl | kShift, "t", false},
             {kCommand | kShift, "y", false},
             {kCommand | kShift, "", false},
         }) {
        EXPECT_EQ(press(flags, characters), matches) << flags << " " << characters;
    }
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
