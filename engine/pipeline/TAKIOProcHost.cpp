#include "engine/pipeline/TAKIOProcHost.h"

#include <string>

#include "engine/core/FourCC.h"
#include "engine/core/TAKCoreAudio.h"
#include "engine/core/TAKError.h"
#include "engine/core/TAKLog.h"

namespace tobble::engine {

TAKIOProcHost::TAKIOProcHost(uint32_t slot, TAKVolumeState& volumeState, TAKRMSBuffer& rmsBuffer,
                             audio::AudioHardware& audio, dispatch::Clock& clock,
                             dispatch::QueuePtr ioQueue)
    : audio_(audio),
      clock_(clock),
      ioQueue_(std::move(ioQueue)),
      renderer_(slot, volumeState, rmsBuffer),
      hostTimeNanosScale_(clock_.hostTimeNanosScale()) {}

TAKIOProcHost::~TAKIOProcHost() {
    // The callback points into this object; it must be gone before we are. Owners keep a host
    // whose removal failed (see TAKTeardown), so this is the last attempt of a forgotten stop.
    if (ioProcID_) stop();
}

void TAKIOProcHost::start(audio::AudioObjectID aggregateID) {
    if (isRunning_) return;
    aggregateID_ = aggregateID;
    renderer_.silenced.store(false, std::memory_order_seq_cst);

    // A plain pointer: the callback must not touch reference counts, and it cannot outlive
    // the renderer because the host is freed only once the callback has been removed.
    IOProcRenderer* renderer = &renderer_;
    audio::IOProcBlock block =
        [renderer](const audio::AudioTimeStamp& now, const audio::AudioBufferList& input,
                   audio::AudioBufferList& output) { renderer->render(now, input, output); };

    audio::IOProcID id = 0;
    const audio::OSStatus createStatus =
        audio_.createIOProcID(aggregateID, ioQueue_, std::move(block), id);
    if (createStatus != audio::kAudioHardwareNoError || id == 0) {
        throw TAKError::ioProcCreateFailed(createStatus);
    }
    ioProcID_ = id;

    const audio::OSStatus startStatus = audio_.deviceStart(aggregateID, id);
    if (startStatus != audio::kAudioHardwareNoError) {
        stop();  // a failed removal keeps the id for the owner's next stop()
        throw TAKError::status(startStatus, "AudioDeviceStart");
    }

    isRunning_ = true;
    activatedAt_.store(clock_.absoluteTime(), std::memory_order_relaxed);
    TAKLog::log().info("AudioDeviceStart ok aggID=" + std::to_string(aggregateID) +
                       " slot=" + std::to_string(renderer_.slot) + " procID=" + std::to_string(id));
}

bool TAKIOProcHost::stop() noexcept {
    // Whatever happens below, this callback is never heard again.
    renderer_.silenced.store(true, std::memory_order_seq_cst);
    if (ioProcID_) {
        if (isRunning_) {
            const audio::OSStatus stopStatus = audio_.deviceStop(aggregateID_, *ioProcID_);
            if (stopStatus != audio::kAudioHardwareNoError) {
                TAKLog::log().error("AudioDeviceStop status=" + statusText(stopStatus));
            }
            if (!isStopped(stopStatus)) return false;
            isRunning_ = false;
        }
        const audio::OSStatus destroyStatus = audio_.destroyIOProcID(aggregateID_, *ioProcID_);
        if (destroyStatus != audio::kAudioHardwareNoError) {
            TAKLog::log().error("AudioDeviceDestroyIOProcID status=" + statusText(destroyStatus));
        }
        if (!isRemoved(destroyStatus)) return false;
        ioProcID_.reset();
    }
    isRunning_ = false;
    renderer_.writeLog();  // the last cycles' lines, now that no cycle runs
    return true;
}

void TAKIOProcHost::attachCrossfade(TAKCrossfadeState& state, Role role) {
    // Role first: a cycle between the two stores sees the new role without a state and plays
    // at full gain, never the new state with the old role.
    renderer_.crossfadeRole.store(role, std::memory_order_relaxed);
    renderer_.crossfadeState.store(&state, std::memory_order_seq_cst);
}

uint64_t TAKIOProcHost::detachCrossfade() {
    renderer_.crossfadeState.store(nullptr, std::memory_order_seq_cst);
    renderer_.crossfadeRole.store(Role::primary, std::memory_order_relaxed);
    // A cycle that still holds the old pointer incremented the counter before loading it, so
    // its tick is at most this value; the next tick starts only after that cycle has ended.
    return renderer_.diagCounter.load(std::memory_order_seq_cst);
}

}  // namespace tobble::engine
