#include "platform/sim/SimEnvironment.h"

#include <unistd.h>

#include <stdexcept>

#include "platform/dispatch/RealDispatcher.h"

namespace tobble::sim {

namespace {

std::unique_ptr<dispatch::Dispatcher> makeDispatcher(const SimEnvironmentOptions& options) {
    if (options.time == TimeMode::Real) {
        return std::make_unique<dispatch::RealDispatcher>(options.mainQueue);
    }
    return std::make_unique<dispatch::VirtualDispatcher>();
}

}  // namespace

SimEnvironment::SimEnvironment(TimeMode time)
    : SimEnvironment(SimEnvironmentOptions{.time = time}) {}

SimEnvironment::SimEnvironment(SimEnvironmentOptions options)
    : dispatcher_(makeDispatcher(options)),
      virtual_(dynamic_cast<dispatch::VirtualDispatcher*>(dispatcher_.get())),
      audio_(std::make_unique<audio::sim::SimAudioSystem>(*dispatcher_)),
      processes_(*audio_, apps_, options.ownPid != 0 ? options.ownPid : getpid()),
      environment_{*dispatcher_, *audio_, processes_, apps_, defaults_, responsibility_.lookup()} {}

// The audio system goes before the dispatcher its clocks run on (member order); nothing else to do.
SimEnvironment::~SimEnvironment() = default;

dispatch::VirtualDispatcher& SimEnvironment::virtualTime() {
    if (!virtual_) throw std::logic_error("SimEnvironment runs in real time");
    return *virtual_;
}

audio::AudioObjectID SimEnvironment::addApp(pid_t pid, std::string bundleID, std::string name,
                                            double frequency, float amplitude) {
    system::sim::SimApplication app;
    app.pid = pid;
    app.bundleID = bundleID;
    app.name = std::move(name);
    apps_.launch(std::move(app));
    const auto object =
        audio_->addProcess({.pid = pid,
                            .bundleID = std::move(bundleID),
                            .signal = audio::sim::Signal::sine(frequency, amplitude)});
    audio_->startPlaying(object);
    return object;
}

void SimEnvironment::quitApp(pid_t pid) {
    audio_->exitProcess(pid);
    apps_.terminate(pid);
}

}  // namespace tobble::sim
