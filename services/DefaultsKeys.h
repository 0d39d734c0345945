#pragma once

#include <cstdint>
#include <string_view>

namespace tobble::app {

// Keys of the application's defaults domain that the stores own. They are shared with every
// earlier and later build of the app, so they never change.
inline constexpr std::string_view kPerAppVolumesKey = "TobblePerAppVolumes";
inline constexpr std::string_view kPerAppVolumesVersionKey = "TobblePerAppVolumesVersion";
inline constexpr std::string_view kHiddenAppsKey = "TobbleHiddenApps";
inline constexpr std::string_view kHiddenAppsVersionKey = "TobbleHiddenAppsVersion";
inline constexpr std::string_view kDefaultVolumeKey = "TobbleDefaultVolume";
inline constexpr std::string_view kAppOutputsKey = "TobbleAppOutputs";
inline constexpr std::string_view kAppOutputsVersionKey = "TobbleAppOutputsVersion";
// Whether application volumes may go above 100 %; off when absent.
inline constexpr std::string_view kAllowVolumeBoostKey = "allowVolumeBoost";

// The only document layout this build reads and writes under every store's keys.
inline constexpr int64_t kStoreSchemaVersion = 1;

}  // namespace tobble::app
