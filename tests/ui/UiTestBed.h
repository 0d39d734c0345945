#pragma once

#include <QCoreApplication>

#include "services/HiddenAppsStore.h"
#include "tests/services/ServicesTestBed.h"
#include "ui/FakeShell.h"
#include "ui/PanelContext.h"

namespace tobble::ui::testing {

// The services on a simulated desktop in virtual time, plus fake shell hooks: what the panel
// sees in the app.
struct UiTestBed : app::testing::ServicesTestBed {
    app::HiddenAppsStore hiddenApps{defaults};
    FakeShell shell;
    PanelContext context{environment, *viewModel, *service, hiddenApps, shell.hooks};

    // Runs the virtual main queue and then Qt's own events.
    void pump(double seconds = 0.05) {
        advance(seconds);
        QCoreApplication::processEvents();
    }
};

}  // namespace tobble::ui::testing
