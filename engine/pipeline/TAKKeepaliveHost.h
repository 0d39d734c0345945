#pragma once

#include <optional>
#include <vector>

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
    // Back to idle. Safe at any time; failures are logged with their status, never thrown. A
    // callback whose removal failed is kept and removed by a later stop() (the engine calls one
    // on every pass while any is left); the host is free to start elsewhere meanwhile.
    void stop() noexcept;
    // Another try at the callbacks whose removal failed, leaving the running one alone.
    void removeLeftovers() noexcept;
    size_t leftoverCount() const { return leftovers_.size(); }

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
    // Callbacks whose removal failed. They play silence through a function of their own, so
    // nothing they use can go away; they only keep their device awake until removed.
    struct Leftover {
        audio::AudioObjectID deviceID = 0;
        audio::IOProcID ioProcID = 0;
        bool running = true;
    };
    std::vector<Leftover> leftovers_;

    // Stops and removes one callback; false (logged) when a step failed.
    bool remove(Leftover& callback) noexcept;
};

}  // namespace tobble::engine
