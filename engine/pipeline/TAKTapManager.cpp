#include "engine/pipeline/TAKTapManager.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "engine/core/FourCC.h"
#include "engine/core/NumberText.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKLog.h"
#include "engine/pipeline/Uuid.h"

namespace tobble::engine {

using namespace audio;

void TAKTapManager::applyCommonSettings(TapDescription& description, pid_t pid,
                                        size_t processCount) {
    description.uuid = makeUUIDString();
    description.name = "TAK Tap pid=" + std::to_string(pid) + " n=" + std::to_string(processCount);
    description.muteBehavior = TapMuteBehavior::MutedWhenTapped;
    description.isPrivate = true;
}

TAKTap TAKTapManager::createTap(pid_t pid, const std::set<AudioObjectID>& objectIDs,
                                const std::optional<std::string>& preferredOutputUID) const {
    if (objectIDs.empty()) throw TAKError::noAudibleProcess();
    const std::vector<AudioObjectID> sorted(objectIDs.begin(),
                                            objectIDs.end());  // a set is ascending
    const size_t n = sorted.size();
    const TAKCoreAudio core(hardware_);

    // Stream-specific first: it follows the device's own channel layout. Any missing piece
    // (no UID, unknown device, unreadable or empty stream list) quietly selects the mixdown.
    if (preferredOutputUID) {
        if (auto device = core.deviceID(*preferredOutputUID)) {
            const auto streams = core.readPropertyArray(*device, kAudioDevicePropertyStreams,
                                                        kAudioObjectPropertyScopeOutput);
            if (streams && !streams->empty()) {
                auto description = TapDescription::streamSpecific(sorted, *preferredOutputUID, 0);
                applyCommonSettings(description, pid, n);
                AudioObjectID tapID = 0;
                const OSStatus status = hardware_.createProcessTap(description, tapID);
                if (status == kAudioHardwareNoError) return finalize(tapID, pid, objectIDs);
                TAKLog::log().error("stream-specific tap create failed pid=" + std::to_string(pid) +
                                    " n=" + std::to_string(n) + " status=" + statusText(status) +
                                    " — falling back to mixdown");
            }
        }
    }

    auto description = TapDescription::stereoMixdown(sorted);
    applyCommonSettings(description, pid, n);
    AudioObjectID tapID = 0;
    const OSStatus status = hardware_.createProcessTap(description, tapID);
    if (status != kAudioHardwareNoError) {
        throw TAKError::status(status, "AudioHardwareCreateProcessTap pid=" + std::to_string(pid) +
                                           " n=" + std::to_string(n));
    }
    return finalize(tapID, pid, objectIDs);
}

TAKTap TAKTapManager::finalize(AudioObjectID tapID, pid_t pid,
                               const std::set<AudioObjectID>& processObjectIDs) const {
    const TAKCoreAudio core(hardware_);
    auto uid = core.getStringProperty(tapID, kAudioTapPropertyUID);
    if (!uid) {
        hardware_.destroyProcessTap(tapID);
        throw TAKError::tapUIDMissing();
    }
    const auto format =
        core.readProperty<AudioStreamBasicDescription>(tapID, kAudioTapPropertyFormat)
            .value_or(AudioStreamBasicDescription{});
    std::ostringstream flags;
    flags << std::hex << format.mFormatFlags;
    TAKLog::log().info("tap format pid=" + std::to_string(pid) +
                       " sr=" + doubleText(format.mSampleRate) +
                       " ch=" + std::to_string(format.mChannelsPerFrame) +
                       " bits=" + std::to_string(format.mBitsPerChannel) + " flags=0x" +
                       flags.str() + " fmt=" + fourCC(format.mFormatID));
    return TAKTap{pid, processObjectIDs, tapID, *uid, format};
}

bool TAKTapManager::destroy(const TAKTap& tap) const {
    const OSStatus status = hardware_.destroyProcessTap(tap.tapID);
    if (status != kAudioHardwareNoError) {
        TAKLog::log().error("tap destroy failed status=" + statusText(status) +
                            " tapID=" + std::to_string(tap.tapID));
    }
    return isRemoved(status);
}

}  // namespace tobble::engine
