#include "shell/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace tobble::shell {

std::filesystem::path applicationDataDirectory() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    return base / "Tobble";
}

InstanceLock::InstanceLock(std::function<void(const std::string&)> console)
    : console_(std::move(console)) {
    if (!console_) {
        console_ = [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        };
    }
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result InstanceLock::acquire(const std::filesystem::path& directory) {
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);

    const std::string path = (directory / kFileName).string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        console_(kOpenFailedMessage);
        return Result::RunningWithoutLock;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            console_(kAnotherInstanceMessage);
            return Result::HeldByAnother;
        }
        return Result::Failed;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return Result::Acquired;
}

}  // namespace tobble::shell
