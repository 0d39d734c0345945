#include "engine/TAKCrashGuard.h"
#include "engine/core/FourCC.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

using namespace audio;

void TAKOrphanedCleanup::destroyOrphans(AudioHardware& hardware) {
    const TAKCoreAudio core(hardware);
    std::vector<AudioObjectID> devices;
    try {
        devices = core.getPropertyArray(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    } catch (const TAKError& error) {
        TAKLog::log().error("orphan cleanup: failed to read device list: " + error.description());
        return;
    }
    const std::string prefix = aggregateUIDPrefix();
    int destroyed = 0;
    for (AudioObjectID device : devices) {
        std::optional<std::string> uid;
        if (hardware.getPropertyString(device, {kAudioDevicePropertyDeviceUID}, uid) !=
                kAudioHardwareNoError ||
            !uid) {
            continue;
        }
        if (!uid->starts_with(prefix)) continue;
        const OSStatus status = hardware.destroyAggregateDevice(device);
        if (status == kAudioHardwareNoError) {
            ++destroyed;
            TAKLog::log().info("orphan cleanup: destroyed aggregate uid=" + *uid +
                               " id=" + std::to_string(device));
        } else {
            TAKLog::log().error("orphan cleanup: destroy failed uid=" + *uid +
                                " id=" + std::to_string(device) + " status=" + statusText(status));
        }
    }
    if (destroyed > 0) {
        TAKLog::log().info("orphan cleanup: destroyed " + std::to_string(destroyed) + " orphan(s)");
    } else {
        TAKLog::log().info("orphan cleanup: no orphaned Tobble aggregates found");
    }
}

}  // namespace tobble::engine
