#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "engine/TAKCrashGuard.h"
#include "engine/core/Identity.h"
#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/TAKTapManager.h"
#include "platform/audio/sim/SimAudioSystem.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"

namespace tobble::engine {
namespace {

using namespace audio;

class CrashGuardTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    sim::SimAudioSystem sim{dispatcher};

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
    EXPECT_EQ(
        capture->messages(log::Level::Error),
        std::vector<std::string>{"CrashGuard: tracking slot limit 64 reached, id=65 skipped"});
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

// Forwards to the simulated system and reports every aggregate destroyed to a pipe, with write()
// only, which is safe inside a signal handler.
class ReportingHardware final : public AudioHardware {
  public:
    ReportingHardware(AudioHardware& inner, int fd) : inner_(inner), fd_(fd) {}
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        [[maybe_unused]] auto n = ::write(fd_, &device, sizeof device);
        return inner_.destroyAggregateDevice(device);
    }
    bool hasProperty(AudioObjectID o, const PropertyAddress& a) override {
        return inner_.hasProperty(o, a);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, uint32_t& s) override {
        return inner_.getPropertyDataSize(o, a, s);
    }
    OSStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, uint32_t& s,
                             void* d) override {
        return inner_.getPropertyData(o, a, s, d);
    }
    OSStatus setPropertyData(AudioObjectID o, const PropertyAddress& a, uint32_t s,
                             const void* d) override {
        return inner_.setPropertyData(o, a, s, d);
    }
    OSStatus getPropertyString(AudioObjectID o, const PropertyAddress& a,
                               std::optional<std::string>& s) override {
        return inner_.getPropertyString(o, a, s);
    }
    OSStatus addPropertyListener(AudioObjectID o, const PropertyAddress& a, dispatch::QueuePtr q,
                                 PropertyListenerBlock b) override {
        return inner_.addPropertyListener(o, a, std::move(q), std::move(b));
    }
    OSStatus removePropertyListener(AudioObjectID o, const PropertyAddress& a, dispatch::QueuePtr q,
                                    PropertyListenerBlock b) override {
        return inner_.removePropertyListener(o, a, std::move(q), std::move(b));
    }
    OSStatus createProcessTap(const TapDescription& d, AudioObjectID& t) override {
        return inner_.createProcessTap(d, t);
    }
    OSStatus destroyProcessTap(AudioObjectID t) override { return inner_.destroyProcessTap(t); }
    OSStatus createAggregateDevice(const AudioValue& d, AudioObjectID& o) override {
        return inner_.createAggregateDevice(d, o);
    }
    OSStatus createIOProcID(AudioObjectID d, dispatch::QueuePtr q, IOProcBlock b,
                            IOProcID& id) override {
        return inner_.createIOProcID(d, std::move(q), std::move(b), id);
    }
    OSStatus destroyIOProcID(AudioObjectID d, IOProcID id) override {
        return inner_.destroyIOProcID(d, id);
    }
    OSStatus deviceStart(AudioObjectID d, IOProcID id) override {
        return inner_.deviceStart(d, id);
    }
    OSStatus deviceStop(AudioObjectID d, IOProcID id) override { return inner_.deviceStop(d, id); }

  private:
    AudioHardware& inner_;
    int fd_;
};

TEST_F(CrashGuardTest, AbortDestroysEveryTrackedAggregateThenDiesOfTheSameSignal) {
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
        ReportingHardware hardware(sim, fds[1]);
        TAKCrashGuard::install(hardware);
        sim.addDevice({.uid = "speakers", .name = "Speakers", .makeDefault = true});
        const auto process = sim.addProcess({42, "com.example.A", {}});
        const auto tap = TAKTapManager(hardware).createTap(42, {process}, std::string("speakers"));
        TAKAggregateBuilder builder(hardware);
        AudioObjectID ids[3];
        for (auto& id : ids) id = builder.build(tap.uid, "speakers").aggregateID;
        // Tell the parent which ids to expect, then crash.
        [[maybe_unused]] auto n = ::write(fds[1], ids, sizeof ids);
        std::abort();
    }
    ::close(fds[1]);
    std::vector<AudioObjectID> received;
    AudioObjectID id;
    while (::read(fds[0], &id, sizeof id) == static_cast<ssize_t>(sizeof id))
        received.push_back(id);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    ASSERT_EQ(received.size(), 6u);
    std::vector<AudioObjectID> expected(received.begin(), received.begin() + 3);
    std::vector<AudioObjectID> destroyed(received.begin() + 3, received.end());
    std::sort(destroyed.begin(), destroyed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(destroyed, expected);
}

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

TEST_F(OrphanCleanupTest, DestroysOnlyOurPrefixedAggregates) {
    const auto first = makeAggregate(aggregateUIDPrefix() + "LEFT-1");
    const auto second = makeAggregate(aggregateUIDPrefix() + "LEFT-2");
    const auto foreign = makeAggregate("com.example.other.aggregate");
    capture->clear();

    TAKOrphanedCleanup::destroyOrphans(sim);

    const auto remaining = sim.aggregates();
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(remaining[0].id, foreign);
    EXPECT_EQ(capture->messages(),
              (std::vector<std::string>{
                  "orphan cleanup: destroyed aggregate uid=" + aggregateUIDPrefix() +
                      "LEFT-1 id=" + std::to_string(first),
                  "orphan cleanup: destroyed aggregate uid=" + aggregateUIDPrefix() +
                      "LEFT-2 id=" + std::to_string(second),
                  "orphan cleanup: destroyed 2 orphan(s)"}));
}

TEST_F(OrphanCleanupTest, ReportsWhenThereIsNothingToDoAndSurvivesFailures) {
    capture->clear();
    TAKOrphanedCleanup::destroyOrphans(sim);
    EXPECT_EQ(capture->messages(),
              std::vector<std::string>{"orphan cleanup: no orphaned Tobble aggregates found"});

    const auto stuck = makeAggregate(aggregateUIDPrefix() + "STUCK");
    capture->clear();
    sim.failNext(sim::SimCall::DestroyAggregateDevice, kAudioHardwareIllegalOperationError);
    TAKOrphanedCleanup::destroyOrphans(sim);
    EXPECT_EQ(capture->messages(),
              (std::vector<std::string>{
                  "orphan cleanup: destroy failed uid=" + aggregateUIDPrefix() +
                      "STUCK id=" + std::to_string(stuck) + " status=1852797029 (nope)",
                  "orphan cleanup: no orphaned Tobble aggregates found"}));

    capture->clear();
    sim.failNext(sim::SimCall::GetPropertyDataSize, kAudio_ParamError);
    TAKOrphanedCleanup::destroyOrphans(sim);
    EXPECT_EQ(capture->messages(),
              std::vector<std::string>{
                  "orphan cleanup: failed to read device list: CoreAudio error -50 (????): "
                  "AudioObjectGetPropertyDataSize(dev#)"});
}

}  // namespace
}  // namespace tobble::engine
