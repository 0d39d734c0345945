#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QRect>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shell/AccessibilityManager.h"
#include "shell/AppDelegate.h"
#include "shell/GlobalInput.h"
#include "shell/Notifications.h"
#include "shell/UpdateObserver.h"
#include "tests/services/ServicesTestBed.h"

namespace tobble::shell::testing {

// One QApplication for the whole test program, on the offscreen platform unless the test
// chose another before (the Xvfb test runs its own program).
inline QApplication& ensureApplication() {
    static int argc = 1;
    static char name[] = "shell_tests";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

inline void processQtEvents() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

class FakeShortcutGrab final : public GlobalShortcutGrab {
  public:
    explicit FakeShortcutGrab(bool* available) : available_(available) {}
    bool isAvailable() const override { return *available_; }
    bool install(const KeyboardShortcut& shortcut, std::function<void()> pressed) override {
        if (!*available_) return false;
        installed = shortcut;
        pressed_ = std::move(pressed);
        ++installs;
        return true;
    }
    void remove() override {
        installed.reset();
        pressed_ = nullptr;
    }
    bool isInstalled() const override { return installed.has_value(); }
    void press() {
        if (pressed_) pressed_();
    }

    std::optional<KeyboardShortcut> installed;
    int installs = 0;

  private:
    bool* available_;
    std::function<void()> pressed_;
};

class FakeClickMonitor final : public GlobalClickMonitor {
  public:
    bool isAvailable() const override { return true; }
    void start(std::function<void(QPoint)> pressed) override { pressed_ = std::move(pressed); }
    void stop() override { pressed_ = nullptr; }
    bool isRunning() const override { return pressed_ != nullptr; }
    void click(QPoint at) {
        if (pressed_) pressed_(at);
    }

  private:
    std::function<void(QPoint)> pressed_;
};

// Content whose preferred size the test sets, as rows coming and going would.
class SizedContent final : public QWidget {
  public:
    explicit SizedContent(QSize size) : size_(size) {}
    QSize sizeHint() const override { return size_; }
    void setPreferred(QSize size) {
        size_ = size;
        updateGeometry();
    }
    int keyPresses = 0;

  protected:
    void keyPressEvent(QKeyEvent*) override { ++keyPresses; }

  private:
    QSize size_;
};

// The delegate over the services of the simulated desktop in virtual time, with the desktop
// pieces the shell reaches directly (global grab, click watch, screen) faked.
struct ShellTestBed : app::testing::ServicesTestBed {
    QApplication& application = ensureApplication();
    bool trusted = true;
    bool trayShown = true;
    NotificationCenter notifications;
    std::shared_ptr<AccessibilityManager> accessibility = AccessibilityManager::make(
        dispatcher, [this] { return trusted; }, notifications, [] {});
    UpdateObserver updateObserver{dispatcher.mainQueuePtr()};
    // Owned by the delegate once it is made.
    std::unique_ptr<FakeShortcutGrab> ownedGrab = std::make_unique<FakeShortcutGrab>(&trusted);
    std::unique_ptr<FakeClickMonitor> ownedClicks = std::make_unique<FakeClickMonitor>();
    std::unique_ptr<FakeShortcutGrab> ownedEscape = std::make_unique<FakeShortcutGrab>(&trusted);
    FakeShortcutGrab* grab = ownedGrab.get();
    FakeClickMonitor* clicks = ownedClicks.get();
    FakeShortcutGrab* escape = ownedEscape.get();
    SizedContent* content = nullptr;  // the current panel content
    std::function<void()> dismissOnboarding;
    // When set, makes the panel content instead of a SizedContent.
    std::function<std::unique_ptr<QWidget>()> makeContent;
    std::vector<int> exits;
    std::filesystem::path lockDirectory = std::filesystem::temp_directory_path() /
                                          ("tobble-shell-test-" + std::to_string(::getpid()));
    std::unique_ptr<AppDelegate> delegate;

    // `trayShown`: whether the desktop shows the status item; `startedAtLogin`: as by the
    // autostart entry.
    explicit ShellTestBed(bool trayShownAtStart = true, bool startedAtLogin = false)
        : trayShown(trayShownAtStart) {
        delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{
            environment,
            *engine,
            *viewModel,
            updateObserver,
            *accessibility,
            notifications,
            std::move(ownedGrab),
            std::move(ownedClicks),
            std::move(ownedEscape),
            [this]() -> std::unique_ptr<QWidget> {
                if (makeContent) return makeContent();
                auto widget = std::make_unique<SizedContent>(QSize(320, 200));
                content = widget.get();
                return widget;
            },
            [this](std::function<void()> onDismiss) {
                dismissOnboarding = std::move(onDismiss);
                return std::make_unique<SizedContent>(QSize(280, 300));
            },
            lockDirectory,
            [this](int status) { exits.push_back(status); },
            [] { return QRect(0, 0, 1000, 800); },
            [](const std::string&) {},
            [this] { return trayShown; },
            false,
            startedAtLogin,
        });
    }

    ~ShellTestBed() {
        delegate.reset();
        std::error_code ignored;
        std::filesystem::remove_all(lockDirectory, ignored);
    }

    // Runs the main queue's due work and Qt's posted events.
    void settle(double seconds = 0.0) {
        dispatcher.advance(seconds);
        processQtEvents();
        dispatcher.runDue();
    }

    // Routing has built a pipeline for one playing application.
    void playMusic() {
        addSpeakers();
        launch(501, "org.example.music", "Music");
        settle(3.0);
    }
};

}  // namespace tobble::shell::testing
