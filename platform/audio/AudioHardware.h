#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/audio/AudioTypes.h"
#include "platform/audio/AudioValue.h"
#include "platform/audio/TapDescription.h"
#include "platform/dispatch/Queue.h"

namespace tobble::audio {

// Called on the queue given at registration with the object and the addresses that changed.
using PropertyListenerFn = std::function<void(AudioObjectID, std::span<const PropertyAddress>)>;
// The registered callback object; removal passes back the very same pointer.
using PropertyListenerBlock = std::shared_ptr<const PropertyListenerFn>;

inline PropertyListenerBlock makeListenerBlock(PropertyListenerFn fn) {
    return std::make_shared<const PropertyListenerFn>(std::move(fn));
}

// One I/O cycle: the "now" time stamp, the input buffers (the aggregate's tapped audio) and the
// output buffers to fill. Runs on a real-time thread: it must not lock, allocate or block.
using IOProcBlock = std::function<void(const AudioTimeStamp& now, const AudioBufferList& input,
                                       AudioBufferList& output)>;

// The audio hardware interface. Shaped like the part of the platform's C API that the engine
// uses, so a backend can forward call for call. Every call is thread-safe except from inside an
// I/O block, where none may be made. Statuses are the platform's values.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // ---- properties
    virtual bool hasProperty(AudioObjectID object, const PropertyAddress& address) = 0;
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                         uint32_t& outSize) = 0;
    // Reads up to ioSize bytes; ioSize becomes the number of bytes written.
    virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     uint32_t& ioSize, void* outData) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     uint32_t size, const void* data) = 0;
    // String-valued properties (UIDs, names, bundle ids). A successful read of a null string
    // gives no error and an empty optional.
    virtual OSStatus getPropertyString(AudioObjectID object, const PropertyAddress& address,
                                       std::optional<std::string>& out) = 0;

    // ---- listeners
    virtual OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                         dispatch::QueuePtr queue, PropertyListenerBlock block) = 0;
    virtual OSStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                            dispatch::QueuePtr queue,
                                            PropertyListenerBlock block) = 0;

    // ---- taps and aggregate devices
    virtual OSStatus createProcessTap(const TapDescription& description,
                                      AudioObjectID& outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createAggregateDevice(const AudioValue& description,
                                           AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // ---- I/O callbacks
    virtual OSStatus createIOProcID(AudioObjectID device, dispatch::QueuePtr queue,
                                    IOProcBlock block, IOProcID& outID) = 0;
    // After it returns, the block is not running and will not run again.
    virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, IOProcID id) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, IOProcID id) = 0;
};

}  // namespace tobble::audio
