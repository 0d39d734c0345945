#include "shell/SignalPipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>

namespace tobble::shell {

namespace {

std::atomic<int> gWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

void onTerminationSignal(int) {
    const int fd = gWriteEnd.load();
    if (fd < 0) return;
    const int savedErrno = errno;
    const char one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, 1);
    errno = savedErrno;
}

// Each of these would otherwise end the process with the engine's taps and aggregates still in
// place (the session closing sends SIGHUP; Ctrl+\ sends SIGQUIT).
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

SignalPipe::SignalPipe() = default;

SignalPipe::~SignalPipe() {
    if (!notifier_) return;
    setHandler(SIG_DFL);
    const int writeEnd = gWriteEnd.exchange(-1);
    notifier_.reset();
    if (writeEnd >= 0) ::close(writeEnd);
    ::close(readEnd_);
}

bool SignalPipe::install(std::function<void()> onSignal) {
    if (notifier_) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    readEnd_ = fds[0];
    gWriteEnd.store(fds[1]);
    onSignal_ = std::move(onSignal);
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readByte(); });
    setHandler(onTerminationSignal);
    return true;
}

void SignalPipe::readByte() {
    char byte = 0;
    if (::read(readEnd_, &byte, 1) != 1) return;
    if (onSignal_) onSignal_();
}

}  // namespace tobble::shell
