#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/Environment.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/Dispatcher.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/sim/SimRunningApplications.h"

namespace tobble::sim {

enum class TimeMode { Virtual, Real };

struct SimEnvironmentOptions {
    TimeMode time = TimeMode::Virtual;
    pid_t ownPid = 0;              // 0: this process's pid
    dispatch::QueuePtr mainQueue;  // real time only: the UI thread's queue; a thread otherwise
};

// A whole simulated desktop in one object: the dispatcher (virtual time unless asked otherwise),
// the audio system, the workspace with its process and responsibility tables, an in-memory
// defaults domain, and the Environment over them that engine and services take.
class SimEnvironment {
  public:
    explicit SimEnvironment(TimeMode time = TimeMode::Virtual);
    explicit SimEnvironment(SimEnvironmentOptions options);
    ~SimEnvironment();

    SimEnvironment(const SimEnvironment&) = delete;
    SimEnvironment& operator=(const SimEnvironment&) = delete;

    dispatch::Dispatcher& dispatcher() { return *dispatcher_; }
    bool isVirtualTime() const { return virtual_ != nullptr; }
    // The virtual dispatcher, to drive time; throws std::logic_error in real time.
    dispatch::VirtualDispatcher& virtualTime();

    audio::sim::SimAudioSystem& audio() { return *audio_; }
    system::sim::SimRunningApplications& apps() { return apps_; }
    system::sim::SimProcessTable& processes() { return processes_; }
    system::sim::SimResponsibility& responsibility() { return responsibility_; }
    system::InMemoryUserDefaults& defaults() { return defaults_; }
    Environment& environment() { return environment_; }

    // Launches an application in the workspace and gives it one process object that plays a
    // sine of `frequency`. Returns the process object.
    audio::AudioObjectID addApp(pid_t pid, std::string bundleID, std::string name, double frequency,
                                float amplitude = 0.5f);
    // The application quits: it leaves the workspace and its process objects vanish.
    void quitApp(pid_t pid);

  private:
    std::unique_ptr<dispatch::Dispatcher> dispatcher_;
    dispatch::VirtualDispatcher* virtual_ = nullptr;
    std::unique_ptr<audio::sim::SimAudioSystem> audio_;
    system::sim::SimRunningApplications apps_;
    system::sim::SimProcessTable processes_;
    system::sim::SimResponsibility responsibility_;
    system::InMemoryUserDefaults defaults_;
    Environment environment_;
};

}  // namespace tobble::sim
