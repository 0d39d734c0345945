#pragma once

#include <QKeyEvent>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>

namespace tobble::ui {

// The global shortcut's key caps and key events, over the stored form in
// services/KeyboardShortcut.h (modifier bits in app::modifier, the key in lower case).
namespace shortcut {

// The stored bits for a key event's modifiers.
int64_t modifierBits(Qt::KeyboardModifiers modifiers);
// The key caps: control, option, shift, command, then the key in upper case.
QStringList symbols(int64_t modifiers, const std::string& key);
// The cap text of one modifier bit ("Super" for the Super key).
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
