#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/TAKCoreAudio.h"
#include "platform/system/RunningApplications.h"

namespace tobble::engine {

// One audio process object as the audio system reports it. Failed reads give pid -1, no
// bundle id, not running.
struct TAKProcessInfo {
    audio::AudioObjectID objectID = 0;
    pid_t pid = -1;
    std::optional<std::string> bundleID;
    bool isRunning = false;
    bool isRunningOutput = false;
};

// One running application of the workspace.
struct TAKRunningAppInfo {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    bool isAppBundle = false;

    friend bool operator==(const TAKRunningAppInfo&, const TAKRunningAppInfo&) = default;
};

// The process objects that belong to one parent application.
struct TAKAppGroup {
    pid_t parentPID = 0;
    std::optional<std::string> parentBundleID;
    std::set<audio::AudioObjectID> processObjectIDs;
    bool anyRunning = false;
    bool anyRunningOutput = false;
};

using TAKResponsiblePIDLookup = std::function<std::optional<pid_t>(pid_t)>;

// Decides which application a process belongs to: itself when it is an application, else the
// application the system holds responsible, else the application whose bundle id is the longest
// dotted prefix of the process's own.
struct TAKParentAppResolver {
    struct Resolution {
        pid_t parentPID = 0;
        std::optional<std::string> parentBundleID;
    };

    std::vector<TAKRunningAppInfo> runningApps;
    TAKResponsiblePIDLookup responsiblePIDLookup;  // may be empty

    Resolution resolveParent(pid_t childPID, const std::optional<std::string>& childBundleID) const;
};

// Reads the audio process objects and groups them by parent application. Stateless.
class TAKProcessRegistry {
  public:
    explicit TAKProcessRegistry(audio::AudioHardware& hardware) : core_(hardware) {}

    // Every process object, in the system's order. Throws TAKError when the list is unreadable.
    std::vector<TAKProcessInfo> list() const;
    // The processes producing output, with a known pid.
    std::vector<TAKProcessInfo> listOutputAudible() const;
    // The running processes with a known pid, grouped by parent application.
    std::vector<TAKAppGroup> listGroupedByParent(
        const std::vector<TAKRunningAppInfo>& runningApps,
        const TAKResponsiblePIDLookup& responsiblePIDLookup) const;

    // The order of the groups carries no meaning.
    static std::vector<TAKAppGroup> groupByParent(const std::vector<TAKProcessInfo>& processes,
                                                  const TAKParentAppResolver& resolver);

  private:
    TAKCoreAudio core_;
};

// The workspace's running applications, in its order.
struct TAKRunningAppsSnapshot {
    static std::vector<TAKRunningAppInfo> current(const system::RunningApplications& applications);
};

// The system's responsible-process query, reduced to a useful answer: empty when the query is
// unavailable, fails, answers below 1 or names the asking process itself.
struct TAKResponsibility {
    static TAKResponsiblePIDLookup lookup(const system::ResponsibleProcessLookup& platformLookup);
};

}  // namespace tobble::engine
