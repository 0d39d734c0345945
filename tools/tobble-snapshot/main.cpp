// tobble-snapshot [--out DIR] [--scale 1|2]
//
// Builds the panel over a simulated desktop in virtual time (a real engine, audio service and
// view model, three playing applications), then renders each view offscreen to PNG: the panel
// with three apps (one muted, one loud), the empty panel, the output list expanded, the settings
// with hidden apps, the settings while recording a shortcut, each onboarding step, and rows with
// outputs of their own and a boosted volume, with a row's Output menu. Without
// --scale both 1× and 2× are written (name.png and name@2x.png).

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/TAKEngine.h"
#include "platform/sim/SimEnvironment.h"
#include "services/AudioClientViewModel.h"
#include "services/HiddenAppsStore.h"
#include "services/OutputPinStore.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"
#include "ui/AccessibilityOnboardingView.h"
#include "ui/AppRowView.h"
#include "ui/ContentView.h"
#include "ui/Controls.h"
#include "ui/DevicePickerView.h"
#include "ui/FakeShell.h"
#include "ui/Motion.h"
#include "ui/SettingsView.h"
#include "ui/Theme.h"

using namespace tobble;

namespace {

struct Options {
    QString out = "docs/screenshots";
    std::vector<double> scales = {1.0, 2.0};
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            options.out = argv[++i];
        } else if (arg == "--scale" && i + 1 < argc) {
            const double scale = std::atof(argv[++i]);
            if (scale < 1 || scale > 4) {
                std::fprintf(stderr, "tobble-snapshot: --scale takes 1 to 4\n");
                std::exit(2);
            }
            options.scales = {scale};
        } else {
            std::fprintf(stderr, "usage: tobble-snapshot [--out DIR] [--scale 1|2]\n");
            std::exit(arg == "--help" || arg == "-h" ? 0 : 2);
        }
    }
    return options;
}

// The simulated desktop and the services over it.
struct Desktop {
    sim::SimEnvironment sim{sim::TimeMode::Virtual};
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    app::VolumeStore volumeStore{sim.defaults()};
    app::SavedVolumesAdapter savedVolumes{volumeStore};
    app::OutputPinStore outputPins{sim.defaults()};
    std::shared_ptr<engine::TAKEngine> engine = engine::TAKEngine::make(
        sim.environment(), {&volumeState, &rmsBuffer, &savedVolumes, &outputPins});
    std::shared_ptr<app::TobbleAudioService> service =
        app::TobbleAudioService::make(sim.environment(), *engine);
    std::shared_ptr<app::AudioClientViewModel> viewModel = app::AudioClientViewModel::make(
        sim.environment(), *engine, *service, volumeStore, &outputPins);
    app::HiddenAppsStore hiddenApps{sim.defaults()};
    ui::FakeShell shell;
    ui::PanelContext context{sim.environment(), *viewModel, *service, hiddenApps, shell.hooks};

    Desktop() {
        sim.audio().addDevice(
            {.uid = "builtin", .name = "Built-in Audio Speakers", .makeDefault = true});
        sim.audio().addDevice({.uid = "headphones", .name = "Bluetooth Headphones"});
        sim.audio().addDevice({.uid = "hdmi", .name = "Monitor (HDMI)"});
        sim.audio().addDevice({.uid = "usb", .name = "USB Audio Interface"});
        // The banner was dismissed a day ago, so the panel shows its everyday face.
        sim.defaults().setNumber(ui::ContentView::kBannerDismissedAtKey,
                                 sim.dispatcher().clock().absoluteTime() + 978307200.0 - 86400);
    }
    ~Desktop() {
        viewModel->stop();
        engine->stop();
    }

    void advance(double seconds) {
        sim.virtualTime().advance(seconds);
        QCoreApplication::processEvents();
    }
};

void pump(Desktop& desktop) {
    for (int i = 0; i < 4; ++i) {
        desktop.advance(0.05);
        QCoreApplication::processEvents();
    }
}

bool save(QWidget& widget, const QString& folder, const QString& name,
          const std::vector<double>& scales) {
    widget.adjustSize();
    QCoreApplication::processEvents();
    bool ok = true;
    for (double scale : scales) {
        const QSize size = widget.size();
        QPixmap pixmap(size * scale);
        pixmap.setDevicePixelRatio(scale);
        pixmap.fill(Qt::transparent);
        widget.render(&pixmap, QPoint(), QRegion(), QWidget::DrawChildren);
        const QString suffix = scale == 1.0 ? QString() : QStringLiteral("@%1x").arg(scale);
        const QString path = QDir(folder).filePath(name + suffix + ".png");
        if (!pixmap.save(path)) {
            std::fprintf(stderr, "tobble-snapshot: cannot write %s\n", qPrintable(path));
            ok = false;
        } else {
            std::printf("%s (%dx%d)\n", qPrintable(path), pixmap.width(), pixmap.height());
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const Options options = parse(argc, argv);
    if (!QDir().mkpath(options.out)) {
        std::fprintf(stderr, "tobble-snapshot: cannot create %s\n", qPrintable(options.out));
        return 1;
    }
    ui::Motion::setAnimationsEnabled(false);
    bool ok = true;

    Desktop desktop;
    desktop.engine->start();
    desktop.viewModel->start();

    // The empty panel first, before anything plays.
    {
        auto view = std::make_unique<ui::ContentView>(desktop.context);
        view->show();
        pump(desktop);
        ok &= save(*view, options.out, "panel-empty", options.scales);
    }

    desktop.sim.addApp(501, "com.spotify.client", "Spotify", 220.0, 0.9f);
    desktop.sim.addApp(502, "org.mozilla.firefox", "Firefox", 330.0, 0.05f);
    desktop.sim.addApp(503, "com.slack.Slack", "Slack", 440.0, 0.3f);
    desktop.advance(3.0);
    desktop.viewModel->startRMSPolling();
    desktop.advance(0.5);
    for (const auto& client : desktop.viewModel->clients()) {
        if (client.bundleID == "com.slack.Slack") desktop.viewModel->toggleMute(client.id);
        if (client.bundleID == "org.mozilla.firefox") {
            desktop.viewModel->sendVolumeChange(client.id, client.slot, client.generation, 0.55f);
        }
    }
    desktop.advance(0.5);
    {
        auto view = std::make_unique<ui::ContentView>(desktop.context);
        view->show();
        pump(desktop);
        ok &= save(*view, options.out, "panel", options.scales);
        view->devicePicker()->setExpanded(true);
        pump(desktop);
        ok &= save(*view, options.out, "panel-output-expanded", options.scales);
        view->devicePicker()->setExpanded(false);

        desktop.hiddenApps.hide("com.microsoft.teams", "Microsoft Teams");
        desktop.hiddenApps.hide("com.apple.Music", "Music");
        view->openSettings();
        view->settingsView()->setShowHiddenApps(true);
        pump(desktop);
        ok &= save(*view, options.out, "settings", options.scales);
        view->settingsView()->startRecordingShortcut();
        pump(desktop);
        ok &= save(*view, options.out, "settings-recording", options.scales);
        view->closeSettings();
    }

    // The same in the dark scheme.
    ui::Tobble::setScheme(ui::Scheme::Dark);
    {
        auto view = std::make_unique<ui::ContentView>(desktop.context);
        view->show();
        pump(desktop);
        ok &= save(*view, options.out, "panel-dark", options.scales);
        view->openSettings();
        pump(desktop);
        ok &= save(*view, options.out, "settings-dark", options.scales);
        view->closeSettings();
    }
    ui::Tobble::setScheme(ui::Scheme::Light);

    {
        desktop.shell.accessibility.granted = false;
        ui::AccessibilityOnboardingView onboarding(desktop.shell.hooks, desktop.sim.dispatcher(),
                                                   [] {});
        onboarding.show();
        pump(desktop);
        ok &= save(onboarding, options.out, "onboarding-1-shortcut", options.scales);
        onboarding.secondaryButton()->click();  // "Skip for now"
        pump(desktop);
        ok &= save(onboarding, options.out, "onboarding-2-login", options.scales);
        onboarding.primaryButton()->click();
        pump(desktop);
        ok &= save(onboarding, options.out, "onboarding-3-updates", options.scales);
        onboarding.primaryButton()->click();
        pump(desktop);
        ok &= save(onboarding, options.out, "onboarding-4-confirm", options.scales);
    }

    // Last, as it unplugs a device: Firefox above 100 %, Spotify sent to the headphones, Slack to
    // the USB interface, which is then unplugged; and a row's "Output" menu.
    desktop.viewModel->setVolumeBoostAllowed(true);
    uint32_t spotify = 0;
    for (const auto& client : desktop.viewModel->clients()) {
        if (client.bundleID == "org.mozilla.firefox") {
            desktop.viewModel->sendVolumeChange(client.id, client.slot, client.generation, 1.6f);
        }
        if (client.bundleID == "com.spotify.client") {
            spotify = client.id;
            desktop.viewModel->setOutput(client.id, "headphones");
        }
        if (client.bundleID == "com.slack.Slack") desktop.viewModel->setOutput(client.id, "usb");
    }
    desktop.advance(1.0);
    desktop.sim.audio().removeDevice("usb");
    desktop.advance(1.0);
    {
        auto view = std::make_unique<ui::ContentView>(desktop.context);
        view->show();
        pump(desktop);
        ok &= save(*view, options.out, "panel-app-output", options.scales);
        if (ui::AppRowView* row = view->row(spotify)) {
            row->openContextMenu(QPoint());
            QMenu* outputs = row->openMenu()->actions().front()->menu();
            ok &= save(*outputs, options.out, "row-output-menu", options.scales);
            row->openMenu()->close();
        }
    }
    return ok ? 0 : 1;
}
