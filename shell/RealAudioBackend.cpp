#include <memory>

#include "engine/core/Identity.h"
#include "platform/dispatch/RealDispatcher.h"
#include "platform/log/Log.h"
#include "platform/system/ApplicationDetailsFallback.h"
#include "shell/AudioBackend.h"

#if defined(TOBBLE_HAVE_PIPEWIRE)
#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/system/linux/LinuxRunningApplications.h"
#endif

namespace tobble::shell {

#if defined(TOBBLE_HAVE_PIPEWIRE)

namespace {

// The desktop's own audio server: PipeWire for sound, /proc and the desktop entries for the
// applications behind the streams.
class PipeWireBackend final : public AudioBackend {
  public:
    // Takes over a dispatcher that already served the connection attempt: the backend's
    // callbacks were registered on its queues.
    PipeWireBackend(std::unique_ptr<dispatch::RealDispatcher> dispatcher,
                    std::unique_ptr<audio::pipewire::PipeWireAudioHardware> audio)
        : dispatcher_(std::move(dispatcher)), audio_(std::move(audio)) {
        auto desktop = system::linux_desktop::makeLinuxRunningApplications(*dispatcher_);
        responsible_ = system::linux_desktop::makeLinuxResponsibleProcessLookup(desktop);
        // Applications without a desktop entry are named and drawn as their streams describe
        // them. The backend is never freed before the applications service (see main()).
        applications_ = std::make_unique<system::ApplicationDetailsFallback>(
            std::move(desktop),
            [audio = audio_.get()](pid_t pid) { return audio->streamApplication(pid); });
    }

    ~PipeWireBackend() override {
        // The server connection goes first: its threads deliver into the dispatcher's queues.
        audio_.reset();
    }

    dispatch::Dispatcher& dispatcher() override { return *dispatcher_; }
    audio::AudioHardware& audio() override { return *audio_; }
    system::ProcessTable& processes() override { return processes_; }
    system::RunningApplications& applications() override { return *applications_; }
    system::ResponsibleProcessLookup responsibleProcess() override { return responsible_; }
    std::string name() const override { return "PipeWire"; }

  private:
    std::unique_ptr<dispatch::RealDispatcher> dispatcher_;
    std::unique_ptr<audio::pipewire::PipeWireAudioHardware> audio_;
    system::OsProcessTable processes_;
    std::unique_ptr<system::ApplicationDetailsFallback> applications_;
    system::ResponsibleProcessLookup responsible_;
};

}  // namespace

std::unique_ptr<AudioBackend> makeRealAudioBackend(dispatch::QueuePtr mainQueue) {
    auto dispatcher = std::make_unique<dispatch::RealDispatcher>(std::move(mainQueue));
    auto audio = audio::pipewire::PipeWireAudioHardware::connect(*dispatcher);
    if (!audio) {
        log::Logger(engine::logSubsystem(), "AudioBackend")
            .info("no PipeWire server answered; using the simulated audio system");
        return nullptr;
    }
    return std::make_unique<PipeWireBackend>(std::move(dispatcher), std::move(audio));
}

#else

// Built without the PipeWire client library: there is no real server to reach.
std::unique_ptr<AudioBackend> makeRealAudioBackend(dispatch::QueuePtr /*mainQueue*/) {
    return nullptr;
}

#endif

}  // namespace tobble::shell
