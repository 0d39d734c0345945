#include "engine/core/TAKProcessMetadata.h"

namespace tobble::engine {

TAKProcessMetadata::Result TAKProcessMetadata::resolve(
    const system::RunningApplications& applications, pid_t pid,
    const std::optional<std::string>& bundleID) {
    Result result;
    if (bundleID) {
        const auto dot = bundleID->rfind('.');
        result.name = dot == std::string::npos ? *bundleID : bundleID->substr(dot + 1);
    } else {
        result.name = "Unknown (pid " + std::to_string(pid) + ")";
    }
    if (auto app = applications.lookup(pid)) {
        if (app->localizedName) result.name = *app->localizedName;
        result.icon = app->icon;
    } else {
        result.icon = system::IconHandle{system::IconHandle::Kind::Generic, {}, 0};
    }
    return result;
}

}  // namespace tobble::engine
