#include "shell/AppDelegate.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <cctype>
#include <cstdlib>

#include "engine/TAKEngine.h"
#include "engine/core/Identity.h"
#include "services/AudioClientViewModel.h"
#include "shell/TobbleIcon.h"
#include "shell/TobblePanel.h"
#include "shell/tray/StatusNotifierItem.h"
#include "ui/Shortcut.h"

namespace tobble::shell {

namespace {

// A click that closed the panel and the tray click it was part of arrive as two events; the
// second must not reopen what the first closed.
constexpr double kClickElsewhereGrace = 0.3;

}  // namespace

KeyPress keyPressFromQt(int key, Qt::KeyboardModifiers modifiers) {
    KeyPress press;
    press.modifierFlags = ui::shortcut::modifierBits(modifiers);
    // Qt's codes for printable keys are their unshifted ASCII characters (letters upper-case).
    if (key >= 0x20 && key <= 0x7e) {
        press.charactersIgnoringModifiers =
            std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(key))));
    }
    return press;
}

// The in-application key monitor: sees every key press aimed at this application's windows.
class AppDelegate::KeyFilter final : public QObject {
  public:
    explicit KeyFilter(std::function<bool(const QKeyEvent&)> handler)
        : handler_(std::move(handler)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && handler_(*static_cast<QKeyEvent*>(event))) {
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<bool(const QKeyEvent&)> handler_;
};

// Runs `changed` whenever the desktop's palette changes (a light or dark theme chosen).
class AppDelegate::PaletteWatch final : public QObject {
  public:
    explicit PaletteWatch(std::function<void()> changed) : changed_(std::move(changed)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) changed_();
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> changed_;
};

AppDelegate::AppDelegate(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      logger_(engine::logSubsystem(), "AppDelegate"),
      instanceLock_(deps_.console),
      isRunningTests_(deps_.isRunningTests) {
    wasAccessibilityTrusted_ = deps_.accessibility.queryTrusted();
    if (!deps_.exitProcess) deps_.exitProcess = [](int status) { std::exit(status); };
}

AppDelegate::~AppDelegate() {
    if (!terminated_) applicationWillTerminate();
}

bool AppDelegate::applicationDidFinishLaunching() {
    if (!isRunningTests_ && !acquireInstanceLock()) return false;

    deps_.environment.defaults.registerDefaults({{kAutomaticChecksKey, true}});
    createStatusItem();

    if (!isRunningTests_) {
        installKeyboardShortcutMonitors();
        installSignalHandlers();
        observeShortcutChanges();
        observeAccessibilityGrant();
        deps_.updateObserver.startObservingWindows();
        // The guide's questions (launch at login, update checks) must be answered on every
        // session type, whether or not the shortcut can work here.
        if (!deps_.environment.defaults.boolean(kOnboardingCompletedKey)) {
            showAccessibilityOnboarding();
            logger_.info("launch finished; onboarding shown");
            return true;
        }
        QPointer<AppDelegate> self(this);
        deps_.environment.dispatcher.mainQueue().async([self] {
            if (self) self->postOnboardingSetup();
        });
    }
    logger_.info("launch finished");
    return true;
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    removeKeyboardShortcutMonitors();
    if (deps_.clickMonitor) deps_.clickMonitor->stop();
    if (deps_.escapeGrab) deps_.escapeGrab->remove();
    shortcutChangeObserver_.reset();
    accessibilityObserver_.reset();
    if (accessibilityPollTimer_) {
        accessibilityPollTimer_->cancel();
        accessibilityPollTimer_.reset();
    }
    if (!isRunningTests_) {
        deps_.engine.stop();
        deps_.viewModel.stop();
        isAudioRouted_ = false;
    }
    if (statusItem_) statusItem_->hide();
    trayPopup_.reset();
    trayItem_.reset();
    if (paletteWatch_ && qApp) qApp->removeEventFilter(paletteWatch_.get());
    paletteWatch_.reset();
}

// ---- single instance and signals

bool AppDelegate::acquireInstanceLock() {
    return InstanceLock::mayRun(instanceLock_.acquire(deps_.instanceLockDirectory));
}

void AppDelegate::installSignalHandlers() {
    QPointer<AppDelegate> self(this);
    signalPipe_.install([self] {
        if (self) self->handleTerminationSignal();
    });
}

void AppDelegate::handleTerminationSignal() {
    // Only the engine: its aggregates and taps must not outlive the process. The rest of the
    // termination sequence is skipped on purpose.
    logger_.info("termination signal: stopping the engine");
    deps_.engine.stop();
    deps_.exitProcess(0);
}

// ---- status item

void AppDelegate::createStatusItem() {
    // The StatusNotifier item is Tobble's own, so that a tray that starts later still gets it;
    // Qt's icon serves the older trays (XEmbed) of X11 desktops that have no StatusNotifier host.
    QDBusConnection bus = QDBusConnection::sessionBus();
    trayHostPresent_ = StatusNotifierItem::isHostPresent(bus);
    QPointer<AppDelegate> self(this);
    trayItem_ = std::make_unique<StatusNotifierItem>(
        bus, StatusNotifierItem::Handlers{[self](QPoint at) {
                                              if (self) self->statusItemLeftClicked(at);
                                          },
                                          [self](QPoint at) {
                                              if (self) self->showTrayMenu(at);
                                          }});
    QObject::connect(trayItem_.get(), &StatusNotifierItem::registeredChanged, this,
                     [this](bool registered) {
                         trayHostPresent_ = registered;
                         if (statusItem_) statusItem_->setVisible(!registered);
                     });

    statusItem_ = std::make_unique<QSystemTrayIcon>();
    statusItem_->setToolTip(QStringLiteral("Tobble"));
    updateTrayIcons();
    // The drawn icon is coloured for the bar it sits on; a theme change redraws it.
    paletteWatch_ = std::make_unique<PaletteWatch>([this] { updateTrayIcons(); });
    qApp->installEventFilter(paletteWatch_.get());
    // The menu's items depend on the panel's state, so they are made when it opens.
    trayMenu_ = std::make_unique<QMenu>();
    QObject::connect(trayMenu_.get(), &QMenu::aboutToShow, this, [this] {
        trayMenu_->clear();
        auto fresh = buildContextMenu();
        for (QAction* action : fresh->actions()) {
            action->setParent(trayMenu_.get());
            trayMenu_->addAction(action);
        }
    });
    statusItem_->setContextMenu(trayMenu_.get());
    QObject::connect(statusItem_.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) statusItemLeftClicked();
                     });
    // With a StatusNotifier host Qt would publish a second item: its icon is for XEmbed trays.
    if (!trayHostPresent_) statusItem_->show();
}

void AppDelegate::updateTrayIcons() {
    const QIcon icon = tobbleStatusIcon();
    if (statusItem_) statusItem_->setIcon(icon);
    if (trayItem_) {
        trayItem_->setIcon(QIcon::hasThemeIcon(kTrayIconName) ? QString(kTrayIconName) : QString(),
                           icon);
    }
}

void AppDelegate::showTrayMenu(QPoint at) {
    // Shown without a nested event loop: the panel may close meanwhile.
    trayPopup_ = buildContextMenu();
    QStringList titles;
    for (QAction* action : trayPopup_->actions()) titles << action->text();
    logger_.info("tray menu: " + titles.join(", ").toStdString());
    trayPopup_->popup(at);
}

bool AppDelegate::isWithoutTray() const {
    if (deps_.trayAvailable) return !deps_.trayAvailable();
    return !trayHostPresent_ && !QSystemTrayIcon::isSystemTrayAvailable();
}

std::unique_ptr<QMenu> AppDelegate::buildContextMenu() {
    auto menu = std::make_unique<QMenu>();
    if (isPanelVisible()) {
        if (!isSticky_) {
            menu->addAction(QStringLiteral("Sticky"), this, [this] { enableSticky(); });
        } else {
            menu->addAction(QStringLiteral("Hide"), this, [this] { hideStickyPanel(); });
        }
    }
    menu->addAction(QStringLiteral("Quit Tobble"), this, [this] { quitApp(); });
    return menu;
}

void AppDelegate::statusItemLeftClicked(std::optional<QPoint> at) {
    if (onboardingWindow_) return;
    if (!isPanelVisible() && lastClickElsewhereClose_ >= 0 &&
        deps_.environment.dispatcher.clock().monotonicSeconds() - lastClickElsewhereClose_ <
            kClickElsewhereGrace) {
        return;
    }
    if (isPanelVisible()) {
        closePanel();
        return;
    }
    // Opened from the tray, the panel opens on the tray's screen.
    const QRect tray = statusItem_ ? statusItem_->geometry() : QRect();
    if (!at && tray.isValid()) at = tray.center();
    openPanel(at);
}

// ---- panel

bool AppDelegate::isPanelVisible() const { return panel_ && panel_->isVisible(); }

void AppDelegate::togglePopover() {
    if (onboardingWindow_) return;
    if (isPanelVisible()) {
        closePanel();
    } else {
        openPanel();
    }
}

QRect AppDelegate::screenArea(std::optional<QPoint> near) const {
    if (deps_.screenArea) return deps_.screenArea();
    // The screen the user is looking at: the pointer's, or the tray icon's.
    QScreen* screen = QGuiApplication::screenAt(near.value_or(QCursor::pos()));
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens()[0];
    return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

void AppDelegate::openPanel(std::optional<QPoint> near) {
    if (!statusItem_) return;
    if (!panel_) panel_ = std::make_unique<TobblePanel>();
    QPointer<AppDelegate> self(this);
    panel_->onClose = [self] {
        if (self) self->closePanel();
    };
    panel_->setContent(deps_.makePanelContent ? deps_.makePanelContent() : nullptr);
    const bool wasVisible = isPanelVisible();
    const bool windowed = isWithoutTray();
    if (!wasVisible) panel_->setWindowed(windowed);
    if (!wasVisible) panel_->placeCentred(screenArea(near));
    panel_->show();
    panel_->takeKeyboard();
    if (!wasVisible) emit panelVisibilityChanged(true);

    deps_.viewModel.startRMSPolling();

    // A window stays until the user closes it, like any other.
    if (windowed) return;
    // Where no click watch works (Wayland), leaving the panel closes it.
    panel_->setClosesOnDeactivation(!isSticky_ &&
                                    !(deps_.clickMonitor && deps_.clickMonitor->isAvailable()));
    // The panel takes the keyboard, but a window manager may still leave it with the window in
    // front; Escape is taken globally while the panel is open and not sticky.
    if (deps_.escapeGrab && !isSticky_) {
        deps_.escapeGrab->install(KeyboardShortcut{0, kEscapeKey}, [self] {
            if (!self || !self->isPanelVisible()) return;
            // A menu of Tobble's own (a row's, the tray's) is open: Escape closes just that.
            if (QWidget* popup = QApplication::activePopupWidget()) {
                popup->close();
                return;
            }
            self->closePanel();
        });
    }
    if (!isSticky_ && deps_.clickMonitor) {
        deps_.clickMonitor->start([self](QPoint position) {
            if (self) self->handleGlobalClick(position);
        });
    }
}

void AppDelegate::appearanceChanged() {
    updateTrayIcons();
    if (!isPanelVisible() || !deps_.makePanelContent) return;
    panel_->setContent(deps_.makePanelContent());
    panel_->focusFirstControl();
}

void AppDelegate::closePanel() {
    isSticky_ = false;
    const bool wasVisible = isPanelVisible();
    if (panel_) panel_->hide();
    if (wasVisible) emit panelVisibilityChanged(false);
    deps_.viewModel.stopRMSPolling();
    if (panel_) panel_->clearContent();
    if (deps_.clickMonitor) deps_.clickMonitor->stop();
    if (deps_.escapeGrab) deps_.escapeGrab->remove();
}

void AppDelegate::handleGlobalClick(QPoint position) {
    // Decided at once, against the panel as it is at the press: a quick click on the gear
    // resizes the panel for the settings before queued work would run.
    if (isSticky_ || !isPanelVisible()) return;
    if (panel_->frameGeometry().contains(position)) return;
    // The press on the tray icon is the tray's own click, which toggles the panel itself.
    if (statusItem_ && statusItem_->geometry().contains(position)) return;
    // The watch sees this application's own clicks too; only other applications' count (a
    // click in the onboarding or the update window leaves the panel open).
    if (QWidget* window = QApplication::topLevelAt(position); window && window->isVisible()) {
        return;
    }
    closePanel();
    lastClickElsewhereClose_ = deps_.environment.dispatcher.clock().monotonicSeconds();
}

bool AppDelegate::isClickMonitorInstalled() const {
    return deps_.clickMonitor && deps_.clickMonitor->isRunning();
}

void AppDelegate::enableSticky() {
    isSticky_ = true;
    // A sticky panel stays while the user works elsewhere, so it gives Escape back to the other
    // applications; Escape still closes it while it has the keyboard.
    if (deps_.clickMonitor) deps_.clickMonitor->stop();
    if (deps_.escapeGrab) deps_.escapeGrab->remove();
    if (panel_) panel_->setClosesOnDeactivation(false);
}

void AppDelegate::hideStickyPanel() {
    isSticky_ = false;
    closePanel();
}

void AppDelegate::quitApp() {
    // The application's quit runs applicationWillTerminate through aboutToQuit.
    QCoreApplication::quit();
}

// ---- onboarding and routing

void AppDelegate::showAccessibilityOnboarding() {
    auto window = std::make_unique<QWidget>(
        nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->setObjectName(QStringLiteral("TobbleOnboarding"));
    window->setWindowTitle(QStringLiteral("Welcome to Tobble"));
    window->setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    QPointer<AppDelegate> self(this);
    if (deps_.makeOnboarding) {
        auto content = deps_.makeOnboarding([self] {
            if (self) self->dismissOnboarding();
        });
        if (content) layout->addWidget(content.release());
    }
    window->adjustSize();
    const QRect area = screenArea();
    const QSize size = window->sizeHint().expandedTo(QSize(1, 1));
    window->setGeometry(area.x() + (area.width() - size.width()) / 2,
                        area.y() + (area.height() - size.height()) / 2, size.width(),
                        size.height());
    window->show();
    window->raise();
    window->activateWindow();
    onboardingWindow_ = std::move(window);
}

void AppDelegate::dismissOnboarding() {
    if (onboardingWindow_) {
        onboardingWindow_->hide();
        // The dismissal arrives from inside the window's own content: delete it later.
        onboardingWindow_.release()->deleteLater();
    }
    deps_.environment.defaults.setBoolean(kOnboardingCompletedKey, true);
    QPointer<AppDelegate> self(this);
    deps_.environment.dispatcher.mainQueue().async([self] {
        if (self) self->postOnboardingSetup();
    });
}

void AppDelegate::postOnboardingSetup() {
    if (isAudioRouted_ || terminated_) return;
    deps_.engine.start();
    deps_.viewModel.start();
    isAudioRouted_ = true;
    logger_.info("audio routing started");
    // Started from the application menu on a desktop without a tray: the panel is the app.
    if (isWithoutTray()) {
        if (deps_.startedAtLogin) {
            logger_.info("no tray on this desktop; the panel opens when Tobble is started again");
        } else {
            logger_.info("no tray on this desktop; the panel opens as a window");
            openPanel();
        }
    }
}

// ---- keyboard shortcut and accessibility

void AppDelegate::toggleFromShortcut() {
    QPointer<AppDelegate> self(this);
    deps_.environment.dispatcher.mainQueue().async([self] {
        if (self && !self->onboardingWindow_) self->togglePopover();
    });
}

void AppDelegate::installKeyboardShortcutMonitors() {
    removeKeyboardShortcutMonitors();
    system::UserDefaults& defaults = deps_.environment.defaults;
    localKeyMonitor_ = std::make_unique<KeyFilter>([this, &defaults](const QKeyEvent& event) {
        // While the settings record a new shortcut, the old one is just a key like any other.
        if (ui::ShortcutRecorder::installedCount() > 0) return false;
        if (!isTobbleShortcut(defaults, keyPressFromQt(event.key(), event.modifiers()))) {
            return false;
        }
        toggleFromShortcut();
        return true;
    });
    qApp->installEventFilter(localKeyMonitor_.get());

    if (deps_.globalShortcut) {
        QPointer<AppDelegate> self(this);
        const auto shortcut = KeyboardShortcut::fromDefaults(defaults);
        shortcutProblem_.reset();
        if (!deps_.globalShortcut->install(shortcut, [self] {
                if (self) self->toggleFromShortcut();
            })) {
            if (deps_.globalShortcut->isAvailable()) {
                logger_.error("global shortcut " + shortcut.displayText() +
                              " could not be grabbed; another program may hold it");
                shortcutProblem_ = shortcut.displayText() +
                                   " is taken by another program: choose another shortcut";
            }
        }
    }
}

void AppDelegate::removeGlobalKeyMonitor() {
    if (deps_.globalShortcut) deps_.globalShortcut->remove();
}

void AppDelegate::removeKeyboardShortcutMonitors() {
    if (localKeyMonitor_) {
        if (qApp) qApp->removeEventFilter(localKeyMonitor_.get());
        localKeyMonitor_.reset();
    }
    removeGlobalKeyMonitor();
}

bool AppDelegate::isGlobalKeyMonitorInstalled() const {
    return deps_.globalShortcut && deps_.globalShortcut->isInstalled();
}

void AppDelegate::shortcutDidChange() { deps_.notifications.post(kShortcutDidChangeNotification); }

void AppDelegate::observeShortcutChanges() {
    QPointer<AppDelegate> self(this);
    shortcutChangeObserver_ =
        deps_.notifications.observe(std::string(kShortcutDidChangeNotification), [self] {
            if (self) self->installKeyboardShortcutMonitors();
        });
}

void AppDelegate::observeAccessibilityGrant() {
    QPointer<AppDelegate> self(this);
    accessibilityObserver_ =
        deps_.notifications.observe(std::string(kAccessibilityGrantedNotification), [self] {
            if (self) self->installKeyboardShortcutMonitors();
        });
    if (accessibilityPollTimer_) accessibilityPollTimer_->cancel();
    auto& dispatcher = deps_.environment.dispatcher;
    accessibilityPollTimer_ =
        dispatcher.makeRepeatingTimer(dispatcher.mainQueuePtr(), kAccessibilityWatchInterval,
                                      kAccessibilityWatchInterval, [self] {
                                          if (self) self->checkAccessibility();
                                      });
}

void AppDelegate::checkAccessibility() {
    const bool trusted = deps_.accessibility.queryTrusted();
    if (wasAccessibilityTrusted_ && !trusted) {
        removeGlobalKeyMonitor();
        logger_.error(kRevokedMessage);
    } else if (!wasAccessibilityTrusted_ && trusted) {
        installKeyboardShortcutMonitors();
    }
    wasAccessibilityTrusted_ = trusted;
}

}  // namespace tobble::shell
