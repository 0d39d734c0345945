#include "shell/UpdateObserver.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <cstring>
#include <vector>

namespace tobble::shell {

bool isUpdaterWindowClass(const char* className) {
    return className && (std::strstr(className, "Sparkle") != nullptr ||
                         std::strstr(className, "SUUpdate") != nullptr);
}

UpdateObserver::UpdateObserver(dispatch::QueuePtr mainQueue) : mainQueue_(std::move(mainQueue)) {}

UpdateObserver::~UpdateObserver() {
    *alive_ = false;
    if (observingWindows_ && qApp) qApp->removeEventFilter(this);
}

ui::Subscription UpdateObserver::observeUpdateAvailable(std::function<void(bool)> changed) {
    const uint64_t id = nextObserver_++;
    (*observers_)[id] = std::move(changed);
    std::weak_ptr<std::map<uint64_t, std::function<void(bool)>>> weak = observers_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto observers = weak.lock()) observers->erase(id);
    });
}

void UpdateObserver::didFindValidUpdate() {
    std::weak_ptr<bool> alive = alive_;
    mainQueue_->async([this, alive] {
        if (auto a = alive.lock(); a && *a) setUpdateAvailable(true);
    });
}

void UpdateObserver::didNotFindUpdate() {
    std::weak_ptr<bool> alive = alive_;
    mainQueue_->async([this, alive] {
        if (auto a = alive.lock(); a && *a) setUpdateAvailable(false);
    });
}

void UpdateObserver::setUpdateAvailable(bool value) {
    if (value == updateAvailable_) return;
    updateAvailable_ = value;
    std::vector<std::function<void(bool)>> handlers;
    for (const auto& [id, handler] : *observers_) handlers.push_back(handler);
    for (const auto& handler : handlers) {
        if (handler) handler(value);
    }
}

void UpdateObserver::startObservingWindows() {
    if (observingWindows_ || !qApp) return;
    observingWindows_ = true;
    qApp->installEventFilter(this);
}

bool UpdateObserver::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::WindowActivate && watched->isWidgetType()) {
        auto* window = static_cast<QWidget*>(watched);
        if (window->isWindow() && !window->inherits("tobble::shell::TobblePanel") &&
            !(window->windowFlags() & Qt::WindowStaysOnTopHint) &&
            isUpdaterWindowClass(window->metaObject()->className())) {
            // One level above the panel: on top of other windows, and raised after it.
            window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
            window->show();
            window->raise();
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tobble::shell
