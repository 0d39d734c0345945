#pragma once

#include <QObject>
#include <QPointer>
#include <string>

#include "platform/dispatch/Queue.h"

namespace tobble::shell {

// The main queue of the application: tasks run on the Qt GUI thread, inside its event loop, so
// engine and services can hand work to the thread that owns every widget. Create it on the GUI
// thread after the QApplication and keep it no longer than the application object.
class QtMainQueue final : public dispatch::Queue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;

    const std::string& label() const override { return label_; }
    void async(std::function<void()> work) override;
    void asyncAfter(dispatch::Seconds delay, dispatch::WorkItemPtr item) override;
    using dispatch::Queue::asyncAfter;
    // From another thread: blocks until the GUI thread has run `work`. On the GUI thread:
    // runs it inline, as the GUI thread is this queue.
    void sync(std::function<void()> work) override;
    // True on the GUI thread, which is where every task of this queue runs.
    bool isCurrent() const override;

  private:
    void runTask(const std::function<void()>& work) const;

    const std::string label_ = "main";
    // Receives the posted calls; lives on the GUI thread.
    QPointer<QObject> context_;
};

}  // namespace tobble::shell
