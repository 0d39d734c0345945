#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace tobble::testing {

// A session bus of the test's own: `dbus-daemon --session` started for the fixture and stopped
// with it, so no test touches the desktop's bus. address() is empty when it could not start.
class PrivateSessionBus {
  public:
    PrivateSessionBus() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        char program[] = "dbus-daemon";
        char session[] = "--session";
        char nofork[] = "--nofork";
        char print[] = "--print-address=1";
        char* argv[] = {program, session, nofork, print, nullptr};
        if (posix_spawnp(&pid_, program, &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        // The daemon prints its address once it listens.
        pollfd p{fds[0], POLLIN, 0};
        char buffer[512];
        while (pid_ > 0 && address_.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            address_.append(buffer, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (auto end = address_.find('\n'); end != std::string::npos) {
            address_.resize(end);
        } else {
            address_.clear();
        }
    }
    ~PrivateSessionBus() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace tobble::testing
