#pragma once

#include <sys/types.h>

namespace tobble::system {

// Whether processes exist, and who we are.
class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // True when the pid names a live process, including one we may not signal (EPERM).
    virtual bool exists(pid_t pid) const = 0;
    virtual pid_t ownPid() const = 0;
};

// The operating system's table: kill(pid, 0) and getpid().
class OsProcessTable final : public ProcessTable {
  public:
    bool exists(pid_t pid) const override;
    pid_t ownPid() const override;
};

}  // namespace tobble::system
