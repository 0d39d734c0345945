#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tobble::shell {

// The "Tobble" folder of the user's application-data directory: $XDG_DATA_HOME/Tobble, else
// ~/.local/share/Tobble, else (no HOME) $XDG_RUNTIME_DIR/Tobble. Empty when none is set: a
// folder shared by all users is never used.
std::filesystem::path applicationDataDirectory();

// One running copy per user: an advisory lock on ".instance.lock" in `directory`, held for the
// life of the process (the system releases it when the process ends, however it ends).
class InstanceLock {
  public:
    // Only Acquired lets the process run: without the lock, two copies would share one
    // settings file.
    enum class Result {
        Acquired,
        OpenFailed,     // no directory, or the file could not be opened
        HeldByAnother,  // another instance is running
        Failed,         // locking failed for another reason
    };

    static constexpr const char* kFileName = ".instance.lock";
    static constexpr const char* kOpenFailedMessage = "Tobble: Failed to open instance lock file";
    static constexpr const char* kAnotherInstanceMessage =
        "Tobble: Another instance is already running";

    // `console` receives the messages (stderr by default); each failure to open or lock the
    // file names the path and the system's reason after kOpenFailedMessage.
    explicit InstanceLock(std::function<void(const std::string&)> console = {});
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Result acquire(const std::filesystem::path& directory);
    // Whether this process may run.
    static bool mayRun(Result result) { return result == Result::Acquired; }

  private:
    std::function<void(const std::string&)> console_;
    int fd_ = -1;
};

}  // namespace tobble::shell
