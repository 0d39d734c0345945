#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system/UserDefaults.h"

namespace tobble::app {

// The panel's keyboard shortcut as stored in the defaults, for the shell that binds it and the
// settings that record it: modifier bits in the platform's event-flag layout (so a stored value
// means the same on every build) and a lower-case key. On Linux the Command bit stands for the
// Super key and Option for Alt: a global Ctrl+Shift+T would take the browsers' reopen-tab key away
// from them.
namespace modifier {
inline constexpr int64_t kCapsLock = 0x10000;
inline constexpr int64_t kShift = 0x20000;
inline constexpr int64_t kControl = 0x40000;
inline constexpr int64_t kOption = 0x80000;    // Alt
inline constexpr int64_t kCommand = 0x100000;  // Super on Linux
// Only these count when matching; Caps Lock, Fn and keypad bits never do.
inline constexpr int64_t kDeviceIndependentMask = 0x1E0000;
}  // namespace modifier

inline constexpr std::string_view kShortcutModifiersKey = "TobbleShortcutModifiers";
inline constexpr std::string_view kShortcutKeyKey = "TobbleShortcutKey";
inline constexpr int64_t kDefaultShortcutModifiers = modifier::kCommand | modifier::kShift;
inline constexpr std::string_view kDefaultShortcutKey = "t";

struct KeyboardShortcut {
    int64_t modifiers = kDefaultShortcutModifiers;
    std::string key{kDefaultShortcutKey};

    // What the defaults hold now. A missing or non-integer modifier value, or one that is
    // negative or has bits outside the four modifiers, is no modifier set: the default is used
    // (the settings recorder never stores such a value). A missing or empty key reads as "t".
    static KeyboardShortcut fromDefaults(const system::UserDefaults& defaults);
    void store(system::UserDefaults& defaults) const;

    // "Super+Shift+T".
    std::string displayText() const;

    friend bool operator==(const KeyboardShortcut&, const KeyboardShortcut&) = default;
};

// A key press as the shortcut sees it: modifier bits in the layout above and the characters of
// the key without modifiers applied.
struct KeyPress {
    int64_t modifierFlags = 0;
    std::string charactersIgnoringModifiers;
};

// Exactly the required modifiers among the four (no more, no fewer) and the same key, ignoring
// case. A press without characters never matches.
bool matches(const KeyboardShortcut& shortcut, const KeyPress& press);

// The rule read fresh from the defaults for every press, so a new shortcut applies at once.
bool isTobbleShortcut(const system::UserDefaults& defaults, const KeyPress& press);

}  // namespace tobble::app
