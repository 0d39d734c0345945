#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/Dispatcher.h"
#include "platform/system/RunningApplications.h"
#include "platform/system/linux/DesktopEntries.h"

namespace tobble::system::linux_desktop {

// Running applications on a Linux desktop: the processes (of any user we may read) whose
// executable has a desktop entry. The entry gives the name and the icon; it is a regular
// application when the entry is shown in menus. A process whose nearest ancestor with an entry has
// the same entry (a browser's content and audio processes) is that application's helper and is
// not listed itself.
// Launches and exits are noticed by polling.
class LinuxRunningApplications final : public RunningApplications {
  public:
    // `procRoot` is /proc, or a fake tree in tests.
    LinuxRunningApplications(dispatch::Dispatcher& dispatcher, DesktopEntries entries,
                             std::string procRoot = "/proc");

    std::vector<RunningApplication> snapshot() const override;
    std::optional<ApplicationDetails> lookup(pid_t pid) const override;
    ObservationToken observeLaunches(dispatch::QueuePtr queue, Observer observer) override;
    ObservationToken observeTerminations(dispatch::QueuePtr queue, Observer observer) override;

    // The nearest ancestor (the process itself excluded) that is an application: a browser's
    // or an editor's helper processes answer to the application that started them.
    std::optional<pid_t> responsibleProcess(pid_t pid) const;

    const DesktopEntry* entryFor(pid_t pid) const;
    std::optional<pid_t> parentOf(pid_t pid) const;

  private:
    // The closest ancestor (the process itself excluded) that has a desktop entry.
    std::optional<std::pair<pid_t, const DesktopEntry*>> nearestAncestorWithEntry(pid_t pid) const;

    ObservationToken observe(dispatch::QueuePtr queue, Observer observer, bool launches);

    dispatch::Dispatcher& dispatcher_;
    DesktopEntries entries_;
    std::string procRoot_;
};

// The factories the application wires into its environment on Linux.
std::shared_ptr<LinuxRunningApplications> makeLinuxRunningApplications(
    dispatch::Dispatcher& dispatcher);
ResponsibleProcessLookup makeLinuxResponsibleProcessLookup(
    std::shared_ptr<LinuxRunningApplications> apps);

}  // namespace tobble::system::linux_desktop
