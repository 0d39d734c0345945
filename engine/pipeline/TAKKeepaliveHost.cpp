#include "engine/pipeline/TAKKeepaliveHost.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/core/FourCC.h"
#include "engine/core/Identity.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKError.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {
namespace {

void playSilence(const audio::AudioTimeStamp&, const audio::AudioBufferList&,
                 audio::AudioBufferList& output) {
    const uint32_t count = std::min(output.mNumberBuffers, audio::AudioBufferList::kCapacity);
    for (uint32_t i = 0; i < count; ++i) {
        audio::AudioBuffer& buffer = output.mBuffers[i];
        if (buffer.mData != nullptr) std::memset(buffer.mData, 0, buffer.mDataByteSize);
    }
}

}  // namespace

TAKKeepaliveHost::TAKKeepaliveHost(audio::AudioHardware& audio, dispatch::Dispatcher& dispatcher)
    : audio_(audio),
      ioQueue_(dispatcher.makeSerialQueue(queueLabel("tak.keepalive"),
                                          dispatch::QoS::UserInteractive)) {}

TAKKeepaliveHost::~TAKKeepaliveHost() {
    // Leave no silent callback behind on the device.
    if (ioProcID_ || !leftovers_.empty()) stop();
}

void TAKKeepaliveHost::start(audio::AudioObjectID deviceID) {
    if (isRunning_) {
        if (deviceID_ == deviceID) return;
        stop();
    }
    deviceID_ = deviceID;

    audio::IOProcID id = 0;
    const audio::OSStatus createStatus = audio_.createIOProcID(deviceID, ioQueue_, playSilence, id);
    if (createStatus != audio::kAudioHardwareNoError || id == 0) {
        throw TAKError::ioProcCreateFailed(createStatus);
    }
    ioProcID_ = id;

    const audio::OSStatus startStatus = audio_.deviceStart(deviceID, id);
    if (startStatus != audio::kAudioHardwareNoError) {
        Leftover callback{deviceID, id, false};
        if (!remove(callback)) leftovers_.push_back(callback);
        ioProcID_.reset();
        throw TAKError::status(startStatus, "AudioDeviceStart(keepalive)");
    }

    isRunning_ = true;
    TAKLog::log().info("keepalive start ok deviceID=" + std::to_string(deviceID));
}

void TAKKeepaliveHost::stop() noexcept {
    removeLeftovers();  // the earlier ones first: the current one gets one try per stop
    if (ioProcID_ && deviceID_ != 0) {
        Leftover callback{deviceID_, *ioProcID_, isRunning_};
        if (!remove(callback)) leftovers_.push_back(callback);
        ioProcID_.reset();
        deviceID_ = 0;
    }
    isRunning_ = false;
}

void TAKKeepaliveHost::removeLeftovers() noexcept {
    std::erase_if(leftovers_, [this](Leftover& callback) { return remove(callback); });
}

bool TAKKeepaliveHost::remove(Leftover& callback) noexcept {
    if (callback.running) {
        const audio::OSStatus stopStatus = audio_.deviceStop(callback.deviceID, callback.ioProcID);
        if (stopStatus != audio::kAudioHardwareNoError) {
            TAKLog::log().error("keepalive stop status=" + statusText(stopStatus));
        }
        if (!isStopped(stopStatus)) return false;
        callback.running = false;
    }
    const audio::OSStatus destroyStatus =
        audio_.destroyIOProcID(callback.deviceID, callback.ioProcID);
    if (destroyStatus != audio::kAudioHardwareNoError) {
        TAKLog::log().error("keepalive destroy status=" + statusText(destroyStatus));
    }
    return isRemoved(destroyStatus);
}

}  // namespace tobble::engine
