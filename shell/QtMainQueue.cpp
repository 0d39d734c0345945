#include "shell/QtMainQueue.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/CurrentQueue.h"

namespace tobble::shell {

QtMainQueue::QtMainQueue() : context_(new QObject()) {
    // Parented to the application, so posts made after its end are dropped rather than
    // delivered to a dead object.
    if (auto* app = QCoreApplication::instance()) {
        context_->moveToThread(app->thread());
        context_->setParent(app);
    }
}

QtMainQueue::~QtMainQueue() {
    if (context_ && !context_->parent()) delete context_.data();
}

void QtMainQueue::runTask(const std::function<void()>& work) const {
    dispatch::CurrentQueue::Scope scope(this);
    work();
}

void QtMainQueue::async(std::function<void()> work) {
    QObject* context = context_.data();
    if (!context) return;
    QMetaObject::invokeMethod(
        context, [this, work = std::move(work)] { runTask(work); }, Qt::QueuedConnection);
}

void QtMainQueue::asyncAfter(dispatch::Seconds delay, dispatch::WorkItemPtr item) {
    QObject* context = context_.data();
    if (!context || !item) return;
    const auto ms =
        std::chrono::milliseconds(static_cast<long long>(std::ceil(std::max(0.0, delay) * 1000.0)));
    // The timer must be made on the thread whose event loop fires it.
    QMetaObject::invokeMethod(
        context,
        [this, context, ms, item = std::move(item)] {
            QTimer::singleShot(ms, Qt::PreciseTimer, context,
                               [this, item] { runTask([&item] { item->perform(); }); });
        },
        Qt::QueuedConnection);
}

void QtMainQueue::sync(std::function<void()> work) {
    if (isCurrent()) {
        runTask(work);
        return;
    }
    QObject* context = context_.data();
    if (!context) return;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QMetaObject::invokeMethod(
        context,
        [&] {
            runTask(work);
            std::lock_guard lock(mutex);
            finished = true;
            done.notify_one();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

bool QtMainQueue::isCurrent() const {
    if (dispatch::CurrentQueue::get() == this) return true;
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace tobble::shell
