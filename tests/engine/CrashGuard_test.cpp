#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "engine/TAKCrashGuard.h"
#include "engine/core/Identity.h"
#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/sim/SimEnvironment.h"
#include "tests/support/MockAudioHardware.h"

namespace tobble::engine {
namespace {

using namespace audio;

class CrashGuardTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    audio::sim::SimAudioSystem sim{dispatcher};

    void SetUp() override {
        TAKCrashGuard::install(sim);
        TAKCrashGuard::clearForTesting();
    }
    void TearDown() override { TAKCrashGuard::clearForTesting(); }
};

TEST_F(CrashGuardTest, TableHoldsSixtyFourAndFillsHolesWithTheLastEntry) {
    log::ScopedCapture capture;
    for (AudioObjectID id = 1; id <= 64; ++id) TAKCrashGuard::track(id);
    EXPECT_TRUE(capture->messages().empty());
    TAKCrashGuard::track(65);
    EXPECT_EQ(capture->messages(log::Level::Error).size(), 1u);
    EXPECT_EQ(TAKCrashGuard::trackedForTesting().size(), 64u);

    TAKCrashGuard::clearForTesting();
    TAKCrashGuard::track(11);
    TAKCrashGuard::track(22);
    TAKCrashGuard::track(33);
    TAKCrashGuard::untrack(11);
    EXPECT_EQ(TAKCrashGuard::trackedForTesting(), (std::vector<AudioObjectID>{33, 22}));
    TAKCrashGuard::untrack(11);
    EXPECT_EQ(TAKCrashGuard::trackedForTesting(), (std::vector<AudioObjectID>{33, 22}));
}

// Reports every aggregate the guard destroys to a pipe, with write() only, which is safe inside a
// signal handler, then destroys it in the simulated system. The guard makes no other call.
class ReportingHardware final : public tobble::testing::MockAudioHardware {
  public:
    ReportingHardware(AudioHardware& inner, int fd) : inner_(inner), fd_(fd) {}
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        [[maybe_unused]] auto n = ::write(fd_, &device, sizeof device);
        return inner_.destroyAggregateDevice(device);
    }

  private:
    AudioHardware& inner_;
    int fd_;
};

// Where the fatal signal is raised: on the thread that built the aggregates, or inside an I/O
// callback on the audio system's own thread, which is where a renderer fault would strike.
struct Crash {
    const char* name;
    bool inCallback;
    int signal;
};

class CrashGuardDeathTest : public CrashGuardTest, public ::testing::WithParamInterface<Crash> {
  protected:
    // In the child: three aggregates on a simulated system in real time, their ids sent to the
    // parent, then the crash.
    [[noreturn]] void crashInChild(int fd) {
        log::ScopedCapture quiet;
        tobble::sim::SimEnvironment desktop({.time = tobble::sim::TimeMode::Real, .ownPid = 100});
        auto& audio = desktop.audio();
        ReportingHardware hardware(audio, fd);
        TAKCrashGuard::install(hardware);
        audio.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
        const auto process = audio.addProcess({42, "com.example.A", {}});
        const auto tap = TAKTapManager(audio).createTap(42, {process}, std::string("speakers"));
        TAKAggregateBuilder builder(audio);
        AudioObjectID ids[3];
        for (auto& id : ids) id = builder.build(tap.uid, "speakers").aggregateID;
        [[maybe_unused]] auto n = ::write(fd, ids, sizeof ids);
        const int sig = GetParam().signal;
        if (!GetParam().inCallback) std::raise(sig);
        IOProcID proc = 0;
        audio.createIOProcID(
            ids[1], desktop.dispatcher().makeSerialQueue("crash.io"),
            [sig](const AudioTimeStamp&, const AudioBufferList&, AudioBufferList&) {
                std::raise(sig);
            },
            proc);
        audio.deviceStart(ids[1], proc);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::_Exit(0);  // the callback never crashed
    }
};

TEST_P(CrashGuardDeathTest, DestroysEveryTrackedAggregateThenDiesOfTheSameSignalWithinASecond) {
#if defined(__SANITIZE_THREAD__)
    // The handler calls the audio interface, which in the simulated system takes a lock; TSan
    // reports every such call from a signal handler and fails the child.
    GTEST_SKIP() << "signal handler calls into the simulated system";
#endif
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        crashInChild(fds[1]);
    }
    ::close(fds[1]);
    std::vector<AudioObjectID> received;
    AudioObjectID id;
    std::chrono::steady_clock::time_point built;
    while (::read(fds[0], &id, sizeof id) == static_cast<ssize_t>(sizeof id)) {
        received.push_back(id);
        if (received.size() == 3) built = std::chrono::steady_clock::now();
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - built).count();
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(WTERMSIG(status), GetParam().signal);
    EXPECT_LT(seconds, 1.0);

    ASSERT_EQ(received.size(), 6u) << "three built, then each destroyed once";
    EXPECT_TRUE(std::is_permutation(received.begin(), received.begin() + 3, received.begin() + 3));
}

INSTANTIATE_TEST_SUITE_P(Where, CrashGuardDeathTest,
                         ::testing::Values(Crash{"AbortOnTheBuildingThread", false, SIGABRT},
                                           Crash{"SegfaultInsideAnIOCallback", true, SIGSEGV}),
                         [](const auto& test) { return std::string(test.param.name); });

class OrphanCleanupTest : public CrashGuardTest {
  protected:
    log::ScopedCapture capture;
    AudioObjectID speakers =
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
    AudioObjectID process = sim.addProcess({42, "com.example.A", {}});
    TAKTap tap = TAKTapManager(sim).createTap(42, {process}, std::string("speakers"));

    AudioObjectID makeAggregate(const std::string& uid) {
        AudioObjectID id = 0;
        EXPECT_EQ(sim.createAggregateDevice(
                      TAKAggregateBuilder::description(uid, tap.uid, "speakers"), id),
                  kAudioHardwareNoError);
        return id;
    }
};

TEST_F(OrphanCleanupTest, DestroysOnlyOurPrefixedAggregatesAndSurvivesFailures) {
    makeAggregate(aggregateUIDPrefix() + "LEFT-1");
    makeAggregate(aggregateUIDPrefix() + "LEFT-2");
    const auto foreign = makeAggregate("com.example.other.aggregate");
    TAKOrphanedCleanup::destroyOrphans(sim);
    ASSERT_EQ(sim.aggregates().size(), 1u);
    EXPECT_EQ(sim.aggregates()[0].id, foreign);

    // Failures are reported with what failed and its status.
    const auto stuck = makeAggregate(aggregateUIDPrefix() + "STUCK");
    capture->clear();
    sim.failNext(audio::sim::SimCall::DestroyAggregateDevice, kAudioHardwareIllegalOperationError);
    TAKOrphanedCleanup::destroyOrphans(sim);
    sim.failNext(audio::sim::SimCall::GetPropertyDataSize, kAudio_ParamError);
    TAKOrphanedCleanup::destroyOrphans(sim);
    EXPECT_EQ(capture->messages(log::Level::Error),
              (std::vector<std::string>{
                  "orphan cleanup: destroy failed uid=" + aggregateUIDPrefix() +
                      "STUCK id=" + std::to_string(stuck) + " status=1852797029 (nope)",
                  "orphan cleanup: failed to read device list: CoreAudio error -50 (????): "
                  "AudioObjectGetPropertyDataSize(dev#)"}));
    EXPECT_EQ(sim.aggregates().size(), 2u);
}

}  // namespace
}  // namespace tobble::engine
