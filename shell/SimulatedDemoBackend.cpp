#include <cstdlib>
#include <string_view>

#include "platform/sim/SimEnvironment.h"
#include "shell/AudioBackend.h"

namespace tobble::shell {

namespace {

class SimulatedDemoBackend final : public AudioBackend {
  public:
    explicit SimulatedDemoBackend(dispatch::QueuePtr mainQueue)
        : env_(sim::SimEnvironmentOptions{sim::TimeMode::Real, 0, std::move(mainQueue)}) {
        auto& audio = env_.audio();
        // Nobody reads what the demo's devices played: keeping it would grow without end.
        audio.setSampleHistorySeconds(0);
        audio.setCycleHistorySeconds(0);
        audio.addDevice({.uid = "demo-speakers", .name = "Built-in Speakers", .makeDefault = true});
        audio.addDevice({.uid = "demo-headphones",
                         .name = "USB Headphones",
                         .transportType = audio::kAudioDeviceTransportTypeUSB,
                         .sampleRate = 44100.0});
        // Pids far above the real ones keep the demo clear of this process's own pid.
        env_.addApp(4'000'001, "org.example.music", "Music", 440.0, 0.5f);
        env_.addApp(4'000'002, "org.example.chat", "Chat", 880.0, 0.3f);
        browser_ = env_.addApp(4'000'003, "org.example.browser", "Browser", 660.0, 0.25f);
        // The browser pauses for a few seconds every so often, so the panel shows rows coming
        // and going.
        auto& dispatcher = env_.dispatcher();
        toggle_ = dispatcher.makeRepeatingTimer(dispatcher.mainQueuePtr(), 12.0, 6.0, [this] {
            playing_ = !playing_;
            if (playing_) {
                env_.audio().startPlaying(browser_);
            } else {
                env_.audio().stopPlaying(browser_);
            }
        });
    }
    ~SimulatedDemoBackend() override {
        if (toggle_) toggle_->cancel();
    }

    dispatch::Dispatcher& dispatcher() override { return env_.dispatcher(); }
    audio::AudioHardware& audio() override { return env_.environment().audio; }
    system::ProcessTable& processes() override { return env_.environment().processes; }
    system::RunningApplications& applications() override { return env_.environment().applications; }
    system::ResponsibleProcessLookup responsibleProcess() override {
        return env_.environment().responsibleProcess;
    }
    std::string name() const override { return "simulated (demo applications)"; }

  private:
    sim::SimEnvironment env_;
    audio::AudioObjectID browser_ = 0;
    bool playing_ = true;
    dispatch::TimerPtr toggle_;
};

}  // namespace

std::unique_ptr<AudioBackend> makeSimulatedDemoBackend(dispatch::QueuePtr mainQueue) {
    return std::make_unique<SimulatedDemoBackend>(std::move(mainQueue));
}

std::unique_ptr<AudioBackend> chooseAudioBackend(dispatch::QueuePtr mainQueue) {
    const char* forced = std::getenv("TOBBLE_AUDIO");
    if (!forced || std::string_view(forced) != "sim") {
        if (auto real = makeRealAudioBackend(mainQueue)) return real;
    }
    return makeSimulatedDemoBackend(std::move(mainQueue));
}

}  // namespace tobble::shell
