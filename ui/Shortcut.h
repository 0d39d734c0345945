#pragma once

#include <QKeyEvent>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>

namespace tobble::ui {

// The global shortcut as stored under "TobbleShortcutModifiers" / "TobbleShortcutKey": the
// platform-neutral modifier bits the shell matches against, and the key in lower case.
namespace shortcut {

inline constexpr int64_t kShift = 0x20000;
inline constexpr int64_t kControl = 0x40000;
inline constexpr int64_t kOption = 0x80000;
inline constexpr int64_t kCommand = 0x100000;  // the Super key outside macOS
inline constexpr int64_t kMask = 0x1E0000;
inline constexpr int64_t kDefaultModifiers = kCommand | kShift;
inline constexpr const char* kDefaultKey = "t";
inline constexpr const char* kModifiersKey = "TobbleShortcutModifiers";
inline constexpr const char* kKeyKey = "TobbleShortcutKey";

// The stored bits for a key event's modifiers.
int64_t modifierBits(Qt::KeyboardModifiers modifiers);
// The key caps: control, option, shift, command, then the key in upper case.
QStringList symbols(int64_t modifiers, const std::string& key);
// The cap text of one modifier bit on this platform ("⌘" on macOS, "Super" elsewhere).
QString modifierSymbol(int64_t bit);
// The event's characters as if no modifier were held, lower-cased; empty for keys that type
// nothing (function keys, arrows).
QString charactersIgnoringModifiers(const QKeyEvent& event);

}  // namespace shortcut

// While installed, every key press of this application goes to the recorder and no further.
// A modifier plus a key whose characters hold a letter is accepted; Escape cancels; anything
// else is swallowed and recording goes on. The outcome is delivered through `post` (the main
// queue), after the key event has been handled.
class ShortcutRecorder : public QObject {
  public:
    struct Outcome {
        bool accepted = false;  // false: cancelled with Escape
        int64_t modifiers = 0;
        std::string key;
    };

    ShortcutRecorder(std::function<void(std::function<void()>)> post,
                     std::function<void(const Outcome&)> finished);
    ~ShortcutRecorder() override;

    // Handles one key press; true when it was consumed (always, while installed).
    bool handleKeyPress(const QKeyEvent& event);

    // How many recorders are installed in the application right now.
    static int installedCount();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::function<void(std::function<void()>)> post_;
    std::function<void(const Outcome&)> finished_;
    std::shared_ptr<bool> alive_;
};

}  // namespace tobble::ui
