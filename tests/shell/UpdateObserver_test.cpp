#include "shell/UpdateObserver.h"

#include <gtest/gtest.h>

#include <QEvent>
#include <QWidget>

#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "shell/AppcastUpdater.h"
#include "shell/TobblePanel.h"
#include "tests/shell/ShellTestBed.h"

namespace tobble::shell {
namespace {

class UpdateObserverTest : public ::testing::Test {
  protected:
    void activate(QWidget& window) {
        QEvent event(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&window, &event);
    }

    QApplication& application = testing::ensureApplication();
    dispatch::VirtualDispatcher dispatcher;
    UpdateObserver observer{dispatcher.mainQueuePtr()};
};

TEST_F(UpdateObserverTest, FlagFollowsTheLastReportOnTheMainQueue) {
    std::vector<bool> seen;
    auto subscription = observer.observeUpdateAvailable([&](bool v) { seen.push_back(v); });
    observer.didFindValidUpdate();
    EXPECT_FALSE(observer.updateAvailable()) << "set on the main queue, not in the caller";
    dispatcher.runDue();
    EXPECT_TRUE(observer.updateAvailable());
    observer.didNotFindUpdate();
    dispatcher.runDue();
    EXPECT_FALSE(observer.updateAvailable());
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(UpdateObserverTest, UpdaterWindowsAreLiftedAboveThePanelOthersAreNot) {
    observer.startObservingWindows();
    observer.startObservingWindows();  // once is enough
    // The updater's own window: a check without a feed address reports its failure in it.
    system::InMemoryUserDefaults defaults;
    AppcastUpdater updater(defaults, observer, "1.0", "");
    updater.checkForUpdates();
    for (int i = 0; i < 20 && !updater.window(); ++i) QCoreApplication::processEvents();
    ASSERT_NE(updater.window(), nullptr);
    QWidget* window = updater.window();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, false);
    QWidget plain;
    TobblePanel panel;
    activate(*window);
    activate(plain);
    activate(panel);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(plain.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(isUpdaterWindowClass("SUUpdateAlert"));
    EXPECT_FALSE(isUpdaterWindowClass("QDialog"));
    window->close();
}

}  // namespace
}  // namespace tobble::shell
