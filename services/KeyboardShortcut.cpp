#include "services/KeyboardShortcut.h"

#include <algorithm>
#include <cctype>

namespace tobble::app {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

KeyboardShortcut KeyboardShortcut::fromDefaults(const system::UserDefaults& defaults) {
    KeyboardShortcut shortcut;
    if (auto value = defaults.object(kShortcutModifiersKey)) {
        if (const auto* bits = std::get_if<int64_t>(&*value)) {
            if (*bits >= 0 && (*bits & ~modifier::kDeviceIndependentMask) == 0) {
                shortcut.modifiers = *bits;
            }
        }
    }
    if (auto key = defaults.string(kShortcutKeyKey); key && !key->empty()) {
        shortcut.key = *key;
    }
    return shortcut;
}

void KeyboardShortcut::store(system::UserDefaults& defaults) const {
    defaults.setInteger(kShortcutModifiersKey, modifiers);
    defaults.setString(kShortcutKeyKey, lowered(key));
}

std::string KeyboardShortcut::displayText() const {
    std::string text;
    auto add = [&text](std::string_view part) {
        if (!text.empty()) text += '+';
        text += part;
    };
    if (modifiers & modifier::kControl) add("Ctrl");
    if (modifiers & modifier::kOption) add("Alt");
    if (modifiers & modifier::kCommand) add("Super");
    if (modifiers & modifier::kShift) add("Shift");
    std::string shown = key;
    std::transform(shown.begin(), shown.end(), shown.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    add(shown);
    return text;
}

bool matches(const KeyboardShortcut& shortcut, const KeyPress& press) {
    if (press.charactersIgnoringModifiers.empty()) return false;
    if ((press.modifierFlags & modifier::kDeviceIndependentMask) != shortcut.modifiers) {
        return false;
    }
    return lowered(press.charactersIgnoringModifiers) == shortcut.key;
}

bool isTobbleShortcut(const system::UserDefaults& defaults, const KeyPress& press) {
    return matches(KeyboardShortcut::fromDefaults(defaults), press);
}

}  // namespace tobble::app
