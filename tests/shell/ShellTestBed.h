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

#include "engine/TAKEngine.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/sim/SimRunningApplications.h"
#include "services/AudioClientViewModel.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"
#include "shell/AccessibilityManager.h"
#include "shell/AppDelegate.h"
#include "shell/GlobalInput.h"
#include "shell/Notifications.h"
#include "shell/UpdateObserver.h"

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

// The delegate over a real engine, audio service and view model on a simulated desktop in
// virtual time, with the desktop pieces (global grab, click watch, screen) faked.
struct ShellTestBed {
    static constexpr pid_t kOwnPid = 100;

    QApplication& application = ensureApplication();
    dispatch::VirtualDispatcher dispatcher;
    audio::sim::SimAudioSystem audio{dispatcher};
    system::sim::SimRunningApplications apps;
    system::sim::SimProcessTable processes{audio, apps, kOwnPid};
    system::InMemoryUserDefaults defaults;
    system::sim::SimResponsibility responsibility;
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    app::VolumeStore volumeStore{defaults};
    app::SavedVolumesAdapter savedVolumes{volumeStore};
    log::ScopedCapture capture;
    Environment environment{dispatcher, audio, processes, apps, defaults, responsibility.lookup()};
    std::shared_ptr<engine::TAKEngine> engine =
        engine::TAKEngine::make(environment, {&volumeState, &rmsBuffer, &savedVolumes});
    std::shared_ptr<app::TobbleAudioService> service =
        app::TobbleAudioService::make(environment, *engine);
    std::shared_ptr<app::AudioClientViewModel> viewModel =
        app::AudioClientViewModel::make(environment, *engine, *service, volumeStore);

    bool trusted = true;
    NotificationCenter notifications;
    std::shared_ptr<AccessibilityManager> accessibility = AccessibilityManager::make(
        dispatcher, [this] { return trusted; }, notifications, [] {});
    UpdateObserver updateObserver{dispatcher.mainQueuePtr()};
    FakeShortcutGrab* grab = nullptr;
    FakeClickMonitor* clicks = nullptr;
    FakeShortcutGrab* escape = nullptr;
    SizedContent* content = nullptr;  // the current panel content
    QSize contentSize{320, 200};
    std::function<void()> dismissOnboarding;
    std::vector<int> exits;
    std::vector<std::string> console;
    std::filesystem::path lockDirectory;
    std::unique_ptr<AppDelegate> delegate;

    explicit ShellTestBed(bool isRunningTests = false) {
        lockDirectory = std::filesystem::temp_directory_path() /
                        ("tobble-shell-test-" + std::to_string(::getpid()));
        auto grabOwned = std::make_unique<FakeShortcutGrab>(&trusted);
        grab = grabOwned.get();
        auto clicksOwned = std::make_unique<FakeClickMonitor>();
        clicks = clicksOwned.get();
        auto escapeOwned = std::make_unique<FakeShortcutGrab>(&trusted);
        escape = escapeOwned.get();
        AppDelegate::Dependencies deps{
            environment,
            *engine,
            *viewModel,
            updateObserver,
            *accessibility,
            notifications,
            std::move(grabOwned),
            std::move(clicksOwned),
            std::move(escapeOwned),
            [this] {
                auto widget = std::make_unique<SizedContent>(contentSize);
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
            [this](const std::string& line) { console.push_back(line); },
            isRunningTests,
        };
        delegate = std::make_unique<AppDelegate>(std::move(deps));
    }

    ~ShellTestBed() {
        delegate.reset();
        viewModel->stop();
        viewModel.reset();
        service.reset();
        engine->stop();
        std::error_code ignored;
        std::filesystem::remove_all(lockDirectory, ignored);
    }

    // Runs the main queue's due work and Qt's posted events.
    void settle(double seconds = 0.0) {
        dispatcher.advance(seconds);
        processQtEvents();
        dispatcher.runDue();
    }

    void addSpeakersAndApp() {
        audio.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
        apps.launch({.pid = 501, .bundleID = "org.example.music", .name = "Music"});
        const auto object =
            audio.addProcess({501, "org.example.music", audio::sim::Signal::sine(440.0, 0.5f)});
        audio.startPlaying(object);
    }
};

}  // namespace tobble::shell::testing
