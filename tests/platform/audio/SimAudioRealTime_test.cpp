// The simulated system on real threads: short, and tolerant of scheduling. These check what
// happened and in which order, never how long it took.
#include <atomic>
#include <thread>

#include "platform/dispatch/RealDispatcher.h"
#include "tests/platform/audio/SimTestSupport.h"
#include "tests/support/Eventually.h"

namespace tobble::audio::sim::testing {
namespace {

using namespace std::chrono_literals;
using tobble::testing::eventually;

class SimAudioRealTimeTest : public ::testing::Test {
  protected:
    dispatch::RealDispatcher dispatcher;
    SimAudioSystem sim{dispatcher};
    dispatch::QueuePtr ioQueue =
        dispatcher.makeSerialQueue("rt.io", dispatch::QoS::UserInteractive);
    dispatch::QueuePtr listenerQueue = dispatcher.makeSerialQueue("rt.listener");
    AudioObjectID speakers = sim.addDevice(
        {.uid = "speakers", .name = "Speakers", .bufferFrames = 256, .makeDefault = true});
};

TEST_F(SimAudioRealTimeTest, TappedProcessPlaysThroughTheCallbackUntilItIsDestroyed) {
    const AudioObjectID process = sim.addProcess({.pid = 501, .signal = Signal::sine(440, 0.5f)});
    sim.startPlaying(process);

    std::atomic<int> calls{0};
    std::atomic<bool> inBlock{false};
    auto copyHalf = gainBlock(0.5f);
    IOProcBlock block = [&](const AudioTimeStamp& now, const AudioBufferList& in,
                            AudioBufferList& out) {
        inBlock = true;
        copyHalf(now, in, out);
        std::this_thread::sleep_for(200us);  // widen the window in which a destroy can land
        ++calls;
        inBlock = false;
    };
    const auto [tap, tapUID, aggregate, proc] =
        buildPipeline(sim, {process}, "speakers", "agg", ioQueue, block);

    ASSERT_TRUE(eventually([&] { return calls >= 5; }));
    const double from = dispatcher.clock().monotonicSeconds();
    const int seen = calls;
    ASSERT_TRUE(eventually([&] { return calls >= seen + 30; }));
    const double to = dispatcher.clock().monotonicSeconds();
    EXPECT_NEAR(sim.rms("speakers", 0, from, to), kSineRms05 / 2, 0.02);
    const auto cycles = sim.cycles("speakers", from, to);
    ASSERT_FALSE(cycles.empty());
    for (const auto& c : cycles) EXPECT_EQ(c.directRms, 0.0f);

    ASSERT_EQ(sim.destroyIOProcID(aggregate, proc), 0);
    EXPECT_FALSE(inBlock.load());
    const int final = calls;
    const size_t recorded = sim.cycles("speakers").size();
    ASSERT_TRUE(eventually([&] { return sim.cycles("speakers").size() >= recorded + 10; }));
    EXPECT_EQ(calls.load(), final);
    // Nobody reads the tap any more: the process is heard directly again.
    EXPECT_GT(sim.cycles("speakers").back().directRms, 0.1f);
}

TEST_F(SimAudioRealTimeTest, ListenersFireOnTheirQueueAndBlocksMayDestroyThemselves) {
    std::atomic<int> defaultChanges{0};
    std::atomic<bool> onListenerQueue{false};
    auto listener = makeListenerBlock([&](AudioObjectID, std::span<const PropertyAddress>) {
        onListenerQueue = listenerQueue->isCurrent();
        ++defaultChanges;
    });
    ASSERT_EQ(sim.addPropertyListener(1, global(kAudioHardwarePropertyDefaultOutputDevice),
                                      listenerQueue, listener),
              0);

    std::atomic<int> calls{0};
    IOProcID proc = 0;
    IOProcBlock block = [&](const AudioTimeStamp&, const AudioBufferList&, AudioBufferList&) {
        if (++calls == 3) sim.destroyIOProcID(speakers, proc);
    };
    ASSERT_EQ(sim.createIOProcID(speakers, ioQueue, block, proc), 0);
    ASSERT_EQ(sim.deviceStart(speakers, proc), 0);
    ASSERT_TRUE(eventually([&] { return sim.ioProcCount() == 0; }));
    EXPECT_EQ(calls.load(), 3);

    sim.addDevice({.uid = "usb", .name = "USB"});
    sim.removeDevice("speakers");
    ASSERT_TRUE(eventually([&] { return defaultChanges >= 1; }));
    EXPECT_TRUE(onListenerQueue.load());
    EXPECT_EQ(sim.defaultOutputUID(), "usb");
    EXPECT_EQ(sim.removePropertyListener(1, global(kAudioHardwarePropertyDefaultOutputDevice),
                                         listenerQueue, listener),
              0);
}

}  // namespace
}  // namespace tobble::audio::sim::testing
