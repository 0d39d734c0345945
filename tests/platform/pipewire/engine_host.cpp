// The engine over PipeWire in a process of its own, for the tests that kill it:
//   tobble_pw_engine_host VOLUME
// Every application it taps starts at VOLUME (its saved volume). Runs until killed; SIGTERM and
// SIGINT stop the engine first, as the program does.
//   tobble_pw_engine_host crash PID
// Plays process PID through a pipeline of the engine's own making at a quarter of its level,
// with the crash guard installed, until SIGUSR1 makes the I/O callback raise SIGSEGV.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/TAKCrashGuard.h"
#include "engine/TAKEngine.h"
#include "engine/TAKSavedVolumes.h"
#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/Environment.h"
#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/dispatch/RealDispatcher.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "platform/system/ProcessTable.h"
#include "platform/system/linux/LinuxRunningApplications.h"
#include "tests/support/AudioProperties.h"

namespace {

class EveryAppAt final : public tobble::engine::TAKSavedVolumes {
  public:
    explicit EveryAppAt(float volume) : volume_(volume) {}
    std::optional<Saved> savedVolume(const std::string&) override { return Saved{volume_, false}; }
    void save(const std::string&, float, bool) override {}

  private:
    float volume_;
};

std::atomic<bool> crashRequested{false};

extern "C" void requestCrash(int) { crashRequested.store(true); }

int crashInsideTheCallback(tobble::audio::AudioHardware& audio,
                           tobble::dispatch::Dispatcher& dispatcher, pid_t pid) {
    using namespace tobble;
    using namespace tobble::audio;
    engine::TAKCrashGuard::install(audio);
    std::signal(SIGUSR1, requestCrash);
    AudioObjectID process = kAudioObjectUnknown;
    for (int tries = 0; tries < 100 && process == kAudioObjectUnknown; ++tries) {
        for (AudioObjectID id : testing::readIDs(audio, kAudioObjectSystemObject,
                                                 {kAudioHardwarePropertyProcessObjectList})) {
            if (testing::valueOf<int32_t>(audio, id, {kAudioProcessPropertyPID}) == pid) {
                process = id;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (process == kAudioObjectUnknown) return 1;
    const auto tap = engine::TAKTapManager(audio).createTap(pid, {process}, std::string("spk1"));
    const AudioObjectID aggregate =
        engine::TAKAggregateBuilder(audio).build(tap.uid, "spk1").aggregateID;
    IOProcID proc = 0;
    audio.createIOProcID(
        aggregate, dispatcher.makeSerialQueue("crash.io"),
        [](const AudioTimeStamp&, const AudioBufferList& in, AudioBufferList& out) {
            if (crashRequested.load()) std::raise(SIGSEGV);
            const size_t bytes =
                std::min(in.mBuffers[0].mDataByteSize, out.mBuffers[0].mDataByteSize);
            auto* samples = static_cast<float*>(out.mBuffers[0].mData);
            std::memcpy(samples, in.mBuffers[0].mData, bytes);
            for (size_t i = 0; i < bytes / sizeof(float); ++i) samples[i] *= 0.25f;
        },
        proc);
    if (audio.deviceStart(aggregate, proc) != kAudioHardwareNoError) return 1;
    std::printf("playing\n");
    std::fflush(stdout);
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tobble;
    if (argc < 2) return 2;

    // Blocked before any thread starts, so that every thread inherits the mask and only the
    // sigwait below takes them.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGINT);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);

    dispatch::RealDispatcher dispatcher;
    auto audio = audio::pipewire::PipeWireAudioHardware::connect(dispatcher);
    if (!audio) {
        std::fprintf(stderr, "no PipeWire server\n");
        return 1;
    }
    if (std::strcmp(argv[1], "crash") == 0 && argc > 2) {
        pthread_sigmask(SIG_UNBLOCK, &quit, nullptr);  // ends at once, like a crash
        return crashInsideTheCallback(*audio, dispatcher, std::atoi(argv[2]));
    }
    const float volume = std::strtof(argv[1], nullptr);
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
    int signal = 0;
    sigwait(&quit, &signal);
    engine->stop();
    return 0;
}
