#include "platform/system/ProcessTable.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tobble::system {

bool OsProcessTable::exists(pid_t pid) const {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

pid_t OsProcessTable::ownPid() const { return ::getpid(); }

}  // namespace tobble::system
