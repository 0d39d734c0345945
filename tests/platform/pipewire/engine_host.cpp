// The engine over PipeWire in a process of its own, for the tests that kill it:
//   tobble_pw_engine_host VOLUME
// Every application it taps starts at VOLUME (its saved volume). Runs until killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "engine/TAKEngine.h"
#include "engine/TAKSavedVolumes.h"
#include "platform/Environment.h"
#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/dispatch/RealDispatcher.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/ProcessTable.h"
#include "platform/system/linux/LinuxRunningApplications.h"

namespace {

class EveryAppAt final : public tobble::engine::TAKSavedVolumes {
  public:
    explicit EveryAppAt(float volume) : volume_(volume) {}
    std::optional<Saved> savedVolume(const std::string&) override { return Saved{volume_, false}; }
    void save(const std::string&, float, bool) override {}

  private:
    float volume_;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace tobble;
    if (argc < 2) return 2;
    const float volume = std::strtof(argv[1], nullptr);

    dispatch::RealDispatcher dispatcher;
    auto audio = audio::pipewire::PipeWireAudioHardware::connect(dispatcher);
    if (!audio) {
        std::fprintf(stderr, "no PipeWire server\n");
        return 1;
    }
    system::OsProcessTable processes;
    auto applications = system::linux_desktop::makeLinuxRunningApplications(dispatcher);
    system::InMemoryUserDefaults defaults;
    engine::TAKVolumeState volumeState;
    engine::TAKRMSBuffer rmsBuffer;
    EveryAppAt saved(volume);
    const Environment environment{
        dispatcher, *audio,
        processes,  *applications,
        defaults,   system::linux_desktop::makeLinuxResponsibleProcessLookup(applications)};
    auto engine = engine::TAKEngine::make(environment, {&volumeState, &rmsBuffer, &saved});
    engine->start();
    std::printf("engine running\n");
    std::fflush(stdout);
    for (;;) pause();
}
