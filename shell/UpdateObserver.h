#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "ui/PanelContext.h"

namespace tobble::shell {

// Tracks whether the most recent update check found an update, for the panel and the settings,
// and lifts the updater's own windows above the floating panel. Main-thread object; the two
// report calls may come from any thread.
class UpdateObserver final : public QObject {
    Q_OBJECT
  public:
    explicit UpdateObserver(dispatch::QueuePtr mainQueue);
    ~UpdateObserver() override;

    bool updateAvailable() const { return updateAvailable_; }
    [[nodiscard]] ui::Subscription observeUpdateAvailable(std::function<void(bool)> changed);

    // Every completed check reports through one of these; the flag follows the last report.
    void didFindValidUpdate();
    void didNotFindUpdate();

    // Watches windows as they become active: an updater window (its class name contains
    // "Sparkle" or "SUUpdate") is kept above the panel. Once; later calls do nothing.
    void startObservingWindows();
    bool isObservingWindows() const { return observingWindows_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void setUpdateAvailable(bool value);

    dispatch::QueuePtr mainQueue_;
    bool updateAvailable_ = false;
    bool observingWindows_ = false;
    std::shared_ptr<std::map<uint64_t, std::function<void(bool)>>> observers_ =
        std::make_shared<std::map<uint64_t, std::function<void(bool)>>>();
    uint64_t nextObserver_ = 1;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Whether a top-level window belongs to the updater, by its class name.
bool isUpdaterWindowClass(const char* className);

}  // namespace tobble::shell
