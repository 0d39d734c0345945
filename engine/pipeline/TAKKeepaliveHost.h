#pragma once

#include <optional>

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"

namespace tobble::engine {

// Keeps one output device running with a callback that plays silence, so that a wireless
// device does not fall asleep between sounds. Called from the engine's queue only.
class TAKKeepaliveHost {
  public:
    TAKKeepaliveHost(audio::AudioHardware& audio, dispatch::Dispatcher& dispatcher);
    ~TAKKeepaliveHost();
    TAKKeepaliveHost(const TAKKeepaliveHost&) = delete;
    TAKKeepaliveHost& operator=(const TAKKeepaliveHost&) = delete;

    // Runs the silent callback on `deviceID`, moving off another device first; a no-op when
    // already running there. Throws TAKError.
    void start(audio::AudioObjectID deviceID);
    // Back to idle. Safe at any time; failures are logged, never thrown.
    void stop() noexcept;

    const dispatch::QueuePtr& ioQueue() const { return ioQueue_; }
    audio::AudioObjectID deviceID() const { return deviceID_; }
    std::optional<audio::IOProcID> ioProcID() const { return ioProcID_; }
    bool isRunning() const { return isRunning_; }

  private:
    audio::AudioHardware& audio_;
    dispatch::QueuePtr ioQueue_;
    audio::AudioObjectID deviceID_ = 0;
    std::optional<audio::IOProcID> ioProcID_;
    bool isRunning_ = false;
};

}  // namespace tobble::engine
