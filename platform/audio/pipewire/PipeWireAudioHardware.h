#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"
#include "platform/system/RunningApplications.h"

namespace tobble::audio::pipewire {

// Measurements of the real-time side, for benchmarks and tests.
struct FilterStats {
    AudioObjectID device = 0;  // the aggregate (or device) the filter serves
    uint64_t cycles = 0;
    uint64_t busyNanos = 0;  // time spent inside our process callbacks
};

// The audio hardware interface over a PipeWire server with WirePlumber as session manager.
//
// Output devices are the server's Audio/Sink nodes; process objects are the playback streams
// grouped by process. A process tap is a private null sink of ours that the processes' streams
// are moved into through the "default" metadata; an aggregate is one DSP filter linked from the
// tap's monitor to the real sink, whose process callback runs the installed I/O block. All our
// objects belong to our connection, so the server removes them when this process dies and the
// session manager puts the applications back on their device.
class PipeWireAudioHardware final : public AudioHardware {
  public:
    // Connects to the server of the environment (XDG_RUNTIME_DIR / PIPEWIRE_REMOTE); null when
    // no server answers.
    static std::unique_ptr<PipeWireAudioHardware> connect(dispatch::Dispatcher& dispatcher);
    ~PipeWireAudioHardware() override;

    PipeWireAudioHardware(const PipeWireAudioHardware&) = delete;
    PipeWireAudioHardware& operator=(const PipeWireAudioHardware&) = delete;

    std::vector<FilterStats> filterStats() const;
    // Blocks until the server has answered everything sent so far (tests).
    void roundTrip();
    // The name and icon (application.name, application.icon-name) the playback streams of a
    // process announce, for applications no desktop entry describes; none when it plays nothing
    // or says nothing about itself.
    std::optional<system::ApplicationDetails> streamApplication(pid_t pid) const;
    // The name a user knows a stream's program by: application.name without the transport's
    // wrapping, else the program's binary.
    static std::string recognisableName(const std::string& applicationName,
                                        const std::string& binary);

    bool hasProperty(AudioObjectID object, const PropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                 uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t size,
                             const void* data) override;
    OSStatus getPropertyString(AudioObjectID object, const PropertyAddress& address,
                               std::optional<std::string>& out) override;
    OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                 dispatch::QueuePtr queue, PropertyListenerBlock block) override;
    OSStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                    dispatch::QueuePtr queue, PropertyListenerBlock block) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const AudioValue& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcID(AudioObjectID device, dispatch::QueuePtr queue, IOProcBlock block,
                            IOProcID& outID) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID id) override;

    struct State;

  private:
    OSStatus setIOProcStarted(AudioObjectID device, IOProcID id, bool started);
    explicit PipeWireAudioHardware(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The factory the application uses: the PipeWire backend, or null when no server is reachable.
std::unique_ptr<AudioHardware> makePipeWireAudioHardware(dispatch::Dispatcher& dispatcher);

}  // namespace tobble::audio::pipewire
