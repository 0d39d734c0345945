#include "ui/Shortcut.h"

#include <QCoreApplication>
#include <algorithm>

#include "services/KeyboardShortcut.h"

namespace tobble::ui {

namespace shortcut {

using namespace app::modifier;

int64_t modifierBits(Qt::KeyboardModifiers modifiers) {
    int64_t bits = 0;
    if (modifiers & Qt::ShiftModifier) bits |= kShift;
    if (modifiers & Qt::AltModifier) bits |= kOption;
    if (modifiers & Qt::ControlModifier) bits |= kControl;
    if (modifiers & Qt::MetaModifier) bits |= kCommand;
    return bits;
}

QString modifierSymbol(int64_t bit) {
    switch (bit) {
        case kControl:
            return "Ctrl";
        case kOption:
            return "Alt";
        case kShift:
            return QString::fromUtf8("\u21e7");
        case kCommand:
            return "Super";
    }
    return {};
}

QStringList symbols(int64_t modifiers, const std::string& key) {
    QStringList caps;
    for (int64_t bit : {kControl, kOption, kShift, kCommand}) {
        if (modifiers & bit) caps << modifierSymbol(bit);
    }
    caps << QString::fromStdString(key).toUpper();
    return caps;
}

QString charactersIgnoringModifiers(const QKeyEvent& event) {
    const int key = event.key();
    // Keys above this range are Qt's special keys (function keys, arrows, modifiers).
    if (key <= 0 || key >= 0x01000000) return {};
    return QString(QChar(key)).toLower();
}

}  // namespace shortcut

namespace {
int gInstalled = 0;
}

ShortcutRecorder::ShortcutRecorder(std::function<void(std::function<void()>)> post,
                                   std::function<void(const Outcome&)> finished)
    : post_(std::move(post)), finished_(std::move(finished)), alive_(std::make_shared<bool>(true)) {
    if (QCoreApplication::instance()) QCoreApplication::instance()->installEventFilter(this);
    ++gInstalled;
}

ShortcutRecorder::~ShortcutRecorder() {
    *alive_ = false;
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
    --gInstalled;
}

int ShortcutRecorder::installedCount() { return gInstalled; }

bool ShortcutRecorder::handleKeyPress(const QKeyEvent& event) {
    const int64_t modifiers =
        shortcut::modifierBits(event.modifiers()) & app::modifier::kDeviceIndependentMask;
    const QString characters = shortcut::charactersIgnoringModifiers(event);
    const bool hasLetter =
        std::any_of(characters.begin(), characters.end(), [](QChar c) { return c.isLetter(); });
    std::weak_ptr<bool> alive = alive_;
    if (modifiers != 0 && hasLetter) {
        Outcome outcome{true, modifiers, characters.toStdString()};
        post_([alive, this, outcome] {
            if (auto a = alive.lock(); a && *a && finished_) finished_(outcome);
        });
    } else if (event.key() == Qt::Key_Escape) {
        post_([alive, this] {
            if (auto a = alive.lock(); a && *a && finished_) finished_(Outcome{});
        });
    }
    return true;
}

bool ShortcutRecorder::eventFilter(QObject* watched, QEvent* event) {
    // Only the event as it reaches a widget, not its copies delivered up the parent chain.
    if (!watched->isWidgetType()) return false;
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    if (event->type() == QEvent::KeyPress) return handleKeyPress(*static_cast<QKeyEvent*>(event));
    if (event->type() == QEvent::KeyRelease) return true;
    return false;
}

}  // namespace tobble::ui
