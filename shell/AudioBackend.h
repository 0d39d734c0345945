#pragma once

#include <memory>
#include <string>

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"
#include "platform/system/ProcessTable.h"
#include "platform/system/RunningApplications.h"

namespace tobble::shell {

// What `tobble` runs on: the audio system, the process and application tables and the
// dispatcher that drives them (with the Qt event loop as its main queue). The user defaults are
// not part of it: they are always the user's own settings.
class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    virtual dispatch::Dispatcher& dispatcher() = 0;
    virtual audio::AudioHardware& audio() = 0;
    virtual system::ProcessTable& processes() = 0;
    virtual system::RunningApplications& applications() = 0;
    virtual system::ResponsibleProcessLookup responsibleProcess() = 0;
    // For the log: "simulated (demo applications)", "PipeWire", ...
    virtual std::string name() const = 0;
};

// The real audio server of the desktop, or null when none is reachable. The PipeWire backend
// fills this in (RealAudioBackend.cpp); until then there is none.
std::unique_ptr<AudioBackend> makeRealAudioBackend(dispatch::QueuePtr mainQueue);

// The simulated desktop in real time: two output devices and a few applications playing
// tones, one of which pauses and resumes now and then so rows come and go.
std::unique_ptr<AudioBackend> makeSimulatedDemoBackend(dispatch::QueuePtr mainQueue);

// TOBBLE_AUDIO=sim forces the simulated system; otherwise the real server when one is
// reachable, else the simulated system.
std::unique_ptr<AudioBackend> chooseAudioBackend(dispatch::QueuePtr mainQueue);

}  // namespace tobble::shell
