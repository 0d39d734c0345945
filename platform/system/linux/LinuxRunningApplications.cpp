#include "platform/system/linux/LinuxRunningApplications.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace tobble::system::linux_desktop {

namespace {

constexpr dispatch::Seconds kPollSeconds = 1.0;
constexpr int kMaxAncestry = 64;

std::string readFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

LinuxRunningApplications::LinuxRunningApplications(dispatch::Dispatcher& dispatcher,
                                                   DesktopEntries entries, std::string procRoot)
    : dispatcher_(dispatcher), entries_(std::move(entries)), procRoot_(std::move(procRoot)) {}

const DesktopEntry* LinuxRunningApplications::entryFor(pid_t pid) const {
    const std::string dir = procRoot_ + "/" + std::to_string(pid);
    std::error_code ec;
    const std::string exe = baseName(std::filesystem::read_symlink(dir + "/exe", ec).string());
    // The executable first; the command name covers interpreters and renamed binaries.
    return entries_.match(exe, readFirstLine(dir + "/comm"));
}

std::optional<pid_t> LinuxRunningApplications::parentOf(pid_t pid) const {
    std::ifstream in(procRoot_ + "/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PPid:", 0) == 0) {
            const long ppid = std::strtol(line.c_str() + 5, nullptr, 10);
            if (ppid > 0) return static_cast<pid_t>(ppid);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::pair<pid_t, const DesktopEntry*>>
LinuxRunningApplications::nearestAncestorWithEntry(pid_t pid) const {
    std::optional<pid_t> current = parentOf(pid);
    for (int depth = 0; current && *current > 1 && depth < kMaxAncestry; ++depth) {
        if (const DesktopEntry* entry = entryFor(*current)) return std::pair{*current, entry};
        current = parentOf(*current);
    }
    return std::nullopt;
}

std::vector<RunningApplication> LinuxRunningApplications::snapshot() const {
    std::vector<RunningApplication> apps;
    std::error_code ec;
    for (const auto& dir : std::filesystem::directory_iterator(procRoot_, ec)) {
        const std::string name = dir.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        const DesktopEntry* entry = entryFor(pid);
        if (!entry) continue;
        // A process started by a process of the same application (a browser's content or audio
        // process, often the same binary) is one of its helpers, not an application of its own.
        if (const auto ancestor = nearestAncestorWithEntry(pid);
            ancestor && ancestor->second == entry)
            continue;
        apps.push_back({pid, entry->id, entry->shownInMenus});
    }
    return apps;
}

std::optional<ApplicationDetails> LinuxRunningApplications::lookup(pid_t pid) const {
    const DesktopEntry* e = entryFor(pid);
    if (!e) return std::nullopt;
    ApplicationDetails details;
    details.bundleID = e->id;
    details.localizedName = e->name.empty() ? e->id : e->name;
    if (e->icon.empty()) {
        details.icon = IconHandle{IconHandle::Kind::Generic, {}, 0};
    } else if (e->icon.front() == '/') {
        details.icon = IconHandle{IconHandle::Kind::FilePath, e->icon, 0};
    } else {
        details.icon = IconHandle{IconHandle::Kind::ThemeName, e->icon, 0};
    }
    details.activationPolicy =
        e->shownInMenus ? ActivationPolicy::Regular : ActivationPolicy::Accessory;
    return details;
}

std::optional<pid_t> LinuxRunningApplications::responsibleProcess(pid_t pid) const {
    auto ancestor = nearestAncestorWithEntry(pid);
    // Climb past the application's own helpers to the process that is the application.
    for (int depth = 0; ancestor && depth < kMaxAncestry; ++depth) {
        const auto above = nearestAncestorWithEntry(ancestor->first);
        if (!above || above->second != ancestor->second) break;
        ancestor = above;
    }
    if (!ancestor) return std::nullopt;
    return ancestor->first;
}

ObservationToken LinuxRunningApplications::observe(dispatch::QueuePtr queue, Observer observer,
                                                   bool launches) {
    struct Poll {
        std::set<pid_t> known;
        dispatch::TimerPtr timer;
    };
    auto poll = std::make_shared<Poll>();
    for (const auto& app : snapshot()) poll->known.insert(app.pid);
    std::weak_ptr<Poll> weak = poll;
    poll->timer = dispatcher_.makeRepeatingTimer(
        queue, kPollSeconds, kPollSeconds, [this, weak, observer, launches] {
            auto p = weak.lock();
            if (!p) return;
            std::set<pid_t> now;
            for (const auto& app : snapshot()) now.insert(app.pid);
            const std::set<pid_t>& from = launches ? now : p->known;
            const std::set<pid_t>& other = launches ? p->known : now;
            for (pid_t pid : from) {
                if (!other.count(pid)) observer(pid);
            }
            p->known = std::move(now);
        });
    return std::shared_ptr<void>(poll.get(), [poll](void*) { poll->timer->cancel(); });
}

ObservationToken LinuxRunningApplications::observeLaunches(dispatch::QueuePtr queue,
                                                           Observer observer) {
    return observe(std::move(queue), std::move(observer), true);
}

ObservationToken LinuxRunningApplications::observeTerminations(dispatch::QueuePtr queue,
                                                               Observer observer) {
    return observe(std::move(queue), std::move(observer), false);
}

std::shared_ptr<LinuxRunningApplications> makeLinuxRunningApplications(
    dispatch::Dispatcher& dispatcher) {
    return std::make_shared<LinuxRunningApplications>(dispatcher, DesktopEntries::scan());
}

ResponsibleProcessLookup makeLinuxResponsibleProcessLookup(
    std::shared_ptr<LinuxRunningApplications> apps) {
    return [apps = std::move(apps)](pid_t pid) { return apps->responsibleProcess(pid); };
}

}  // namespace tobble::system::linux_desktop
