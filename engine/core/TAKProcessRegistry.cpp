#include "engine/core/TAKProcessRegistry.h"

#include <map>

namespace tobble::engine {

using namespace audio;

namespace {

const TAKRunningAppInfo* firstAppBundle(
    const std::vector<TAKRunningAppInfo>& apps,
    const std::function<bool(const TAKRunningAppInfo&)>& match) {
    for (const auto& app : apps) {
        if (app.isAppBundle && match(app)) return &app;
    }
    return nullptr;
}

}  // namespace

TAKParentAppResolver::Resolution TAKParentAppResolver::resolveParent(
    pid_t childPID, const std::optional<std::string>& childBundleID) const {
    // 1. The process is an application itself.
    if (auto* app = firstAppBundle(runningApps, [&](const auto& a) { return a.pid == childPID; })) {
        return {childPID, app->bundleID};
    }
    // 2. The system names a responsible application.
    if (responsiblePIDLookup) {
        if (auto responsible = responsiblePIDLookup(childPID);
            responsible && *responsible != childPID) {
            const pid_t r = *responsible;
            if (auto* app =
                    firstAppBundle(runningApps, [&](const auto& a) { return a.pid == r; })) {
                return {r, app->bundleID};
            }
        }
    }
    // 3. Nothing to match by.
    if (!childBundleID || childBundleID->empty()) return {childPID, std::nullopt};
    const std::string& child = *childBundleID;

    // 4. An application with exactly this bundle id.
    if (auto* app =
            firstAppBundle(runningApps, [&](const auto& a) { return a.bundleID == child; })) {
        return {app->pid, app->bundleID};
    }
    // 5. The application whose bundle id is the longest dotted prefix ("com.x.Browser" owns
    //    "com.x.Browser.helper"); the earlier one wins a tie.
    const TAKRunningAppInfo* best = nullptr;
    for (const auto& app : runningApps) {
        if (!app.isAppBundle || !app.bundleID || app.bundleID->empty()) continue;
        const std::string& prefix = *app.bundleID;
        if (child.size() <= prefix.size() || child.compare(0, prefix.size(), prefix) != 0 ||
            child[prefix.size()] != '.') {
            continue;
        }
        if (!best || prefix.size() > best->bundleID->size()) best = &app;
    }
    if (!best) return {childPID, childBundleID};
    return {best->pid, best->bundleID};
}

std::vector<TAKProcessInfo> TAKProcessRegistry::list() const {
    const auto objects =
        core_.getPropertyArray(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    std::vector<TAKProcessInfo> processes;
    processes.reserve(objects.size());
    for (AudioObjectID object : objects) {
        TAKProcessInfo info;
        info.objectID = object;
        info.pid = core_.readProperty<int32_t>(object, kAudioProcessPropertyPID).value_or(-1);
        info.bundleID = core_.getStringProperty(object, kAudioProcessPropertyBundleID);
        info.isRunning =
            core_.readProperty<uint32_t>(object, kAudioProcessPropertyIsRunning).value_or(0) != 0;
        info.isRunningOutput =
            core_.readProperty<uint32_t>(object, kAudioProcessPropertyIsRunningOutput)
                .value_or(0) != 0;
        processes.push_back(std::move(info));
    }
    return processes;
}

std::vector<TAKProcessInfo> TAKProcessRegistry::listOutputAudible() const {
    std::vector<TAKProcessInfo> audible;
    for (auto& p : list()) {
        if (p.isRunningOutput && p.pid > 0) audible.push_back(std::move(p));
    }
    return audible;
}

std::vector<TAKAppGroup> TAKProcessRegistry::listGroupedByParent(
    const std::vector<TAKRunningAppInfo>& runningApps,
    const TAKResponsiblePIDLookup& responsiblePIDLookup) const {
    std::vector<TAKProcessInfo> running;
    for (auto& p : list()) {
        if (p.isRunning && p.pid >= 1) running.push_back(std::move(p));
    }
    return groupByParent(running, TAKParentAppResolver{runningApps, responsiblePIDLookup});
}

std::vector<TAKAppGroup> TAKProcessRegistry::groupByParent(
    const std::vector<TAKProcessInfo>& processes, const TAKParentAppResolver& resolver) {
    struct Accum {
        std::optional<std::string> parentBundleID;
        std::set<AudioObjectID> objectIDs;
        bool anyRunning = false;
        bool anyRunningOutput = false;
    };
    std::map<pid_t, Accum> byParent;
    for (const auto& process : processes) {
        const auto resolution = resolver.resolveParent(process.pid, process.bundleID);
        Accum& accum = byParent[resolution.parentPID];
        if (!accum.parentBundleID) accum.parentBundleID = resolution.parentBundleID;
        accum.objectIDs.insert(process.objectID);
        accum.anyRunning = accum.anyRunning || process.isRunning;
        accum.anyRunningOutput = accum.anyRunningOutput || process.isRunningOutput;
    }
    std::vector<TAKAppGroup> groups;
    groups.reserve(byParent.size());
    for (auto& [pid, accum] : byParent) {
        groups.push_back(TAKAppGroup{pid, std::move(accum.parentBundleID),
                                     std::move(accum.objectIDs), accum.anyRunning,
                                     accum.anyRunningOutput});
    }
    return groups;
}

std::vector<TAKRunningAppInfo> TAKRunningAppsSnapshot::current(
    const system::RunningApplications& applications) {
    std::vector<TAKRunningAppInfo> apps;
    for (const auto& app : applications.snapshot()) {
        apps.push_back(TAKRunningAppInfo{app.pid, app.bundleID, app.isAppBundle});
    }
    return apps;
}

TAKResponsiblePIDLookup TAKResponsibility::lookup(
    const system::ResponsibleProcessLookup& platformLookup) {
    if (!platformLookup) return {};
    return [platformLookup](pid_t pid) -> std::optional<pid_t> {
        auto answer = platformLookup(pid);
        if (!answer || *answer < 1 || *answer == pid) return std::nullopt;
        return answer;
    };
}

}  // namespace tobble::engine
