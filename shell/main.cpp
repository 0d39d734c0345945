// tobble: the tray application. It opens no window of its own (but the first-run guide, or the
// panel on a desktop without a tray); the tray item and the global shortcut open the floating
// panel. Its options are --version, --help and --at-login.

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "engine/TAKEngine.h"
#include "engine/core/Identity.h"
#include "platform/log/Log.h"
#include "platform/system/qt/QSettingsUserDefaults.h"
#include "services/AudioClientViewModel.h"
#include "services/HiddenAppsStore.h"
#include "services/OutputPinStore.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"
#include "shell/AccessibilityManager.h"
#include "shell/AppDelegate.h"
#include "shell/AppcastUpdater.h"
#include "shell/AudioBackend.h"
#include "shell/BuildId.h"
#include "shell/ColorSchemeWatch.h"
#include "shell/GlobalInput.h"
#include "shell/QtMainQueue.h"
#include "shell/TobbleIcon.h"
#include "shell/TobblePanel.h"
#include "shell/XdgLoginItem.h"
#include "shell/dbus/DBusInterface.h"
#include "ui/Accessibility.h"
#include "ui/PanelContext.h"

#ifndef TOBBLE_VERSION
#define TOBBLE_VERSION "0.0.0"
#endif
#ifndef TOBBLE_UPDATE_FEED_URL
#define TOBBLE_UPDATE_FEED_URL ""
#endif

namespace {

using namespace tobble;

bool namesDirectory(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value == '/';
}

}  // namespace

int main(int argc, char** argv) {
    bool startedAtLogin = false;
    if (argc > 1) {
        const std::string option = argv[1];
        // The autostart entry's option.
        if (option == shell::XdgLoginItem::kAtLoginOption) {
            startedAtLogin = true;
        } else if (option == "--version") {
            std::printf("tobble %s (build %s)\n", TOBBLE_VERSION, TOBBLE_BUILD_ID);
            return 0;
        } else if (option == "--help" || option == "-h") {
            std::printf(
                "Usage: tobble [--version | --help | --at-login]\n"
                "Per-application volume for the desktop: starts in the tray (or opens its panel\n"
                "where there is none). A second start opens the running one's panel.\n"
                "Scripts control it with tobblectl. --at-login (the autostart entry's option)\n"
                "keeps the panel closed until asked for where there is no tray.\n");
            return 0;
        }
    }
    // On a Wayland session Tobble is a Wayland client: through XWayland its windows would be
    // placed and focused as strangers, and it could not tell that no key grab works. X11 stays
    // the fallback where the Wayland plugin is missing. An explicit choice is kept.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && shell::isWaylandSession()) {
        qputenv("QT_QPA_PLATFORM", "wayland;xcb");
    }
    QApplication application(argc, argv);
    // Before the first window: screen readers get the panel's own descriptions of its controls.
    ui::installAccessibility();
    QApplication::setApplicationName(QStringLiteral("Tobble"));
    QApplication::setOrganizationName(QStringLiteral("Tobble"));
    QApplication::setApplicationVersion(QStringLiteral(TOBBLE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tobble.Tobble"));
    QApplication::setWindowIcon(shell::tobbleAppIcon());
    // The panel closing is not the app closing.
    QApplication::setQuitOnLastWindowClosed(false);

    // Without HOME (and XDG_CONFIG_HOME) Qt would keep the settings in a folder that is not the
    // user's own; the user's runtime directory is, and without one there is nowhere to run.
    std::optional<system::qt::QSettingsUserDefaults> settings;
    if (namesDirectory("XDG_CONFIG_HOME") || namesDirectory("HOME")) {
        settings.emplace();
    } else if (namesDirectory("XDG_RUNTIME_DIR")) {
        settings.emplace(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/Tobble/Tobble.ini");
    } else {
        std::fputs(
            "Tobble: neither HOME nor XDG_RUNTIME_DIR names a directory of this user's; "
            "not starting\n",
            stderr);
        return 1;
    }
    auto& defaults = *settings;
    shell::AppDelegate* appearanceTarget = nullptr;
    shell::ColorSchemeWatch colorScheme(QDBusConnection::sessionBus(), [&](ui::Scheme scheme) {
        ui::Tobble::setScheme(scheme);
        if (appearanceTarget) appearanceTarget->appearanceChanged();
    });
    ui::Tobble::setScheme(colorScheme.scheme());
    auto mainQueue = std::make_shared<shell::QtMainQueue>();
    // The app's engine and audio service are process-wide and are destroyed only after main()
    // returns; the audio system they hold must still be there then, so it is never freed.
    shell::AudioBackend* backend = shell::chooseAudioBackend(mainQueue).release();
    const Environment environment{
        backend->dispatcher(),   backend->audio(), backend->processes(),
        backend->applications(), defaults,         backend->responsibleProcess()};
    log::Logger(engine::logSubsystem(), "AppDelegate")
        .info("audio: " + backend->name() +
              "; windows: " + QGuiApplication::platformName().toStdString());

    // Rewriting the saved volumes grows with every application ever seen: never on the main
    // thread.
    app::VolumeStore volumeStore(
        defaults, backend->dispatcher().makeSerialQueue(engine::queueLabel("volumestore.write"),
                                                        dispatch::QoS::Utility));
    app::SavedVolumesAdapter savedVolumes(volumeStore);
    app::OutputPinStore outputPins(defaults);
    engine::TAKEngine::configureShared(environment, {nullptr, nullptr, &savedVolumes, &outputPins});
    auto& engine = engine::TAKEngine::shared();
    app::TobbleAudioService::configureShared(environment, engine);
    app::HiddenAppsStore::bindSharedDefaults(defaults);
    auto viewModel = app::AudioClientViewModel::make(
        environment, engine, app::TobbleAudioService::shared(), volumeStore, &outputPins);

    auto& notifications = shell::NotificationCenter::defaultCenter();
    shell::AccessibilityManager::configureShared(shell::AccessibilityManager::make(
        environment.dispatcher, [] { return shell::globalShortcutsPossible(); }, notifications,
        // Nothing can be granted on Linux: where no grab works, the user binds the command in
        // the desktop's own keyboard settings.
        [] {
            QGuiApplication::clipboard()->setText(QString::fromLatin1(ui::kPanelToggleCommand));
        }));
    auto& accessibility = shell::AccessibilityManager::shared();

    shell::UpdateObserver updateObserver(mainQueue);
    shell::AppcastUpdater updater(defaults, updateObserver, TOBBLE_VERSION, TOBBLE_UPDATE_FEED_URL);
    shell::XdgLoginItem loginItem(shell::XdgLoginItem::runningExecutable());

    std::unique_ptr<shell::AppDelegate> delegate;
    ui::ShellHooks hooks{
        accessibility,
        loginItem,
        updater,
        [](const std::string& url) {
            QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        },
        [&notifications] { notifications.post(shell::kShortcutDidChangeNotification); },
        [&delegate] {
            if (delegate && delegate->panel()) delegate->panel()->refit();
        },
        TOBBLE_VERSION,
        TOBBLE_BUILD_ID,
        [] { QCoreApplication::quit(); },
        [](const std::string& text) {
            QGuiApplication::clipboard()->setText(QString::fromStdString(text));
        },
        [&delegate] { return delegate ? delegate->shortcutProblem() : std::nullopt; },
        [](int64_t modifiers, const std::string& key) {
            return shell::canBindGlobalShortcut(app::KeyboardShortcut{modifiers, key});
        },
    };
    ui::PanelContext panelContext{environment, *viewModel, app::TobbleAudioService::shared(),
                                  app::HiddenAppsStore::shared(), hooks};

    shell::AppDelegate::Dependencies deps{
        environment,
        engine,
        *viewModel,
        updateObserver,
        accessibility,
        notifications,
        shell::makeGlobalShortcutGrab(),
        shell::makeGlobalClickMonitor(),
        shell::makeEscapeGrab(),
        [&panelContext] { return ui::makeContentView(panelContext); },
        [&hooks, &environment](std::function<void()> onDismiss) {
            return ui::makeOnboardingView(hooks, environment.dispatcher, std::move(onDismiss));
        },
        shell::applicationDataDirectory(),
        [&defaults, &volumeStore](int status) {
            // Skips the normal termination on purpose; settings changed a moment ago still
            // reach the disk.
            volumeStore.flush();
            defaults.flush();
            std::_Exit(status);
        },
        {},
        {},
        {},
        false,  // a real launch, never a test host
        startedAtLogin,
    };
    delegate = std::make_unique<shell::AppDelegate>(std::move(deps));
    appearanceTarget = delegate.get();

    // The end of the process: what must reach the disk does, then the process ends without
    // running static destructors. The process-wide engine and audio service would otherwise be
    // destroyed while the audio system's threads still run.
    auto endProcess = [&](int status) {
        appearanceTarget = nullptr;
        delegate.reset();
        viewModel.reset();
        volumeStore.flush();
        defaults.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    };

    if (!delegate->applicationDidFinishLaunching()) {
        // Choosing Tobble from the application menu while it runs opens its panel.
        shell::showPanelOfRunningInstance();
        endProcess(0);
    }
    shell::DBusInterface scripting({
        environment,
        engine,
        *viewModel,
        app::TobbleAudioService::shared(),
        app::HiddenAppsStore::shared(),
        volumeStore,
        {
            [&delegate] {
                if (!delegate->isPanelVisible() && !delegate->isOnboardingShown()) {
                    delegate->openPanel();
                }
            },
            [&delegate] {
                if (delegate->isPanelVisible()) delegate->closePanel();
            },
            [&delegate] { delegate->togglePopover(); },
            [&delegate] { return delegate->isPanelVisible(); },
        },
        TOBBLE_VERSION,
    });
    QObject::connect(delegate.get(), &shell::AppDelegate::panelVisibilityChanged, &scripting,
                     [&scripting](bool visible) { scripting.panelVisibilityChanged(visible); });
    shell::publishOnSessionBus(scripting);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, delegate.get(),
                     [&delegate] { delegate->applicationWillTerminate(); });
    if (!delegate->isRunningTests()) updater.start();

    endProcess(QApplication::exec());
}
