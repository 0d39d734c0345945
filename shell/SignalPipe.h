#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tobble::shell {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT handled on the main thread: the signal handler only writes
// one byte into a pipe, and the pipe's reader, on the Qt event loop, calls `onSignal`. One instance
// per process.
class SignalPipe {
  public:
    SignalPipe();
    ~SignalPipe();  // restores the default signal behaviour
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // False when the pipe cannot be made; the default signal behaviour then stays.
    bool install(std::function<void()> onSignal);
    bool isInstalled() const { return notifier_ != nullptr; }

  private:
    void readByte();

    int readEnd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onSignal_;
};

}  // namespace tobble::shell
