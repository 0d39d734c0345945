#include "shell/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace tobble::shell {

std::filesystem::path applicationDataDirectory() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        base = std::filesystem::path(home) / ".local" / "share";
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        base = runtime;  // private to the user, unlike the temporary directory
    } else {
        return {};
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
    if (directory.empty()) {
        console_(std::string(kOpenFailedMessage) +
                 ": neither HOME nor XDG_RUNTIME_DIR names a directory of this user's");
        return Result::OpenFailed;
    }
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);

    const std::string path = (directory / kFileName).string();
    auto reason = [&path](const char* what, int error) {
        return std::string(what) + " " + path + ": " + std::strerror(error) + " (errno " +
               std::to_string(error) + ")";
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        console_(reason(kOpenFailedMessage, errno));
        return Result::OpenFailed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            console_(kAnotherInstanceMessage);
            return Result::HeldByAnother;
        }
        console_(reason("Tobble: Failed to lock instance lock file", error));
        return Result::Failed;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return Result::Acquired;
}

}  // namespace tobble::shell
