#include "engine/pipeline/TAKAggregateBuilder.h"

#include "engine/TAKCrashGuard.h"
#include "engine/core/FourCC.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKError.h"
#include "engine/core/TAKLog.h"
#include "engine/pipeline/Uuid.h"

namespace tobble::engine {

using namespace audio;

std::string TAKAggregateBuilder::makeAggregateUID() {
    return aggregateUIDPrefix() + makeUUIDString();
}

AudioValue TAKAggregateBuilder::description(const std::string& aggregateUID,
                                            const std::string& tapUID,
                                            const std::string& outputUID) {
    // The output device is main and clock without drift compensation; the tap is the one
    // drift-compensated member.
    AudioValue::Dictionary subDevice{{std::string(kAudioSubDeviceUIDKey), outputUID},
                                     {std::string(kAudioSubDeviceDriftCompensationKey), false}};
    AudioValue::Dictionary tap{{std::string(kAudioSubTapDriftCompensationKey), true},
                               {std::string(kAudioSubTapUIDKey), tapUID}};
    return AudioValue::Dictionary{
        {std::string(kAudioAggregateDeviceNameKey), kAggregateName},
        {std::string(kAudioAggregateDeviceUIDKey), aggregateUID},
        {std::string(kAudioAggregateDeviceMainSubDeviceKey), outputUID},
        {std::string(kAudioAggregateDeviceClockDeviceKey), outputUID},
        {std::string(kAudioAggregateDeviceIsPrivateKey), true},
        {std::string(kAudioAggregateDeviceIsStackedKey), true},
        {std::string(kAudioAggregateDeviceTapAutoStartKey), true},
        {std::string(kAudioAggregateDeviceSubDeviceListKey),
         AudioValue::Array{AudioValue(subDevice)}},
        {std::string(kAudioAggregateDeviceTapListKey), AudioValue::Array{AudioValue(tap)}},
    };
}

TAKAggregateInfo TAKAggregateBuilder::build(const std::string& tapUID,
                                            const std::string& outputUID) const {
    const std::string aggregateUID = makeAggregateUID();
    const AudioValue desc = description(aggregateUID, tapUID, outputUID);
    TAKLog::log().info("aggregate build start tapUID=" + tapUID + " outputUID=" + outputUID);
    AudioObjectID aggregateID = 0;
    const OSStatus status = hardware_.createAggregateDevice(desc, aggregateID);
    if (status != kAudioHardwareNoError)
        throw TAKError::status(status, "AudioHardwareCreateAggregateDevice");
    TAKCrashGuard::track(aggregateID);
    TAKLog::log().info("aggregate build success aggID=" + std::to_string(aggregateID) +
                       " aggUID=" + aggregateUID);
    return TAKAggregateInfo{aggregateID, aggregateUID, tapUID, outputUID};
}

bool TAKAggregateBuilder::destroy(const TAKAggregateInfo& aggregate) const {
    const OSStatus status = hardware_.destroyAggregateDevice(aggregate.aggregateID);
    if (status != kAudioHardwareNoError) {
        TAKLog::log().error("aggregate destroy failed status=" + statusText(status) +
                            " id=" + std::to_string(aggregate.aggregateID));
    }
    if (!isRemoved(status)) return false;  // still there: the crash guard keeps it in mind
    TAKCrashGuard::untrack(aggregate.aggregateID);
    return true;
}

}  // namespace tobble::engine
