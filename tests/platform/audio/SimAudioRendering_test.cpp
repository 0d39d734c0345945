// What reaches the simulated devices, measured on the recorded samples.
#include <cmath>
#include <numbers>

#include "tests/platform/audio/SimTestSupport.h"

namespace tobble::audio::sim::testing {
namespace {

class SimAudioRenderingTest : public SimFixture {
  protected:
    // Largest |directRms| of the cycles in [from, to).
    float maxDirectRms(const std::string& uid, double from, double to) {
        float m = 0;
        for (const auto& c : sim.cycles(uid, from, to)) m = std::max(m, c.directRms);
        return m;
    }

    // A tap over `process` on the speakers whose callback plays it at half gain, counting calls.
    Pipeline halfGain(AudioObjectID process) {
        return buildPipeline({process}, "speakers", gainBlock(0.5f, calls));
    }

    std::shared_ptr<int> calls = std::make_shared<int>(0);
};

TEST_F(SimAudioRenderingTest, PlayingProcessIsHeardOnTheDefaultDeviceOnlyAndFollowsIt) {
    addPlayer(501);
    EXPECT_NEAR(rmsOfNext("speakers", 1.0), kSineRms05, 0.002);
    EXPECT_NEAR(sim.rms("speakers", 1, 0, 1.0), kSineRms05, 0.002);
    EXPECT_EQ(sim.rms("headphones", 0, 0, 1.0), 0.0);

    const auto cycles = sim.cycles("speakers", 0, 1.0);
    ASSERT_EQ(cycles.size(), 93u);  // 48000 / 512 cycles per second
    EXPECT_NEAR(cycles[10].directRms, kSineRms05, 0.01);
    EXPECT_EQ(cycles[10].aggregateRms, 0.0f);
    EXPECT_NEAR(cycles[10].peak, 0.5f, 0.01f);

    sim.setDefaultOutput("headphones");
    const double switched = dispatcher.now();
    EXPECT_NEAR(rmsOfNext("headphones", 0.5), kSineRms05, 0.002);
    EXPECT_EQ(sim.rms("speakers", 0, switched + 0.02, dispatcher.now()), 0.0);
}

TEST_F(SimAudioRenderingTest, SamplesAreThePureSineOfTheDeviceClock) {
    const AudioObjectID p = addPlayer(501, 0.5f, 1000.0);
    dispatcher.advance(0.1);
    const auto samples = sim.samples("speakers", 0, 0, 1.0);
    ASSERT_EQ(samples.size(), 9u * 512u);
    for (size_t k : {0ul, 1ul, 777ul, 4000ul}) {
        const double t = static_cast<double>(k) / 48000.0;  // the device started at time 0
        EXPECT_NEAR(samples[k], 0.5 * std::sin(2 * std::numbers::pi * 1000.0 * t), 1e-5) << k;
    }
    sim.setSignal(p, Signal::silence());
    EXPECT_EQ(rmsOfNext("speakers", 0.1), 0.0);
}

TEST_F(SimAudioRenderingTest, TappedProcessIsHeardOnlyThroughTheAggregateCallback) {
    const AudioObjectID p = addPlayer(501);
    dispatcher.advance(0.5);
    const Pipeline pipe = halfGain(p);

    const double start = dispatcher.now();
    EXPECT_NEAR(rmsOfNext("speakers", 1.0), kSineRms05 / 2, 0.002);
    EXPECT_EQ(maxDirectRms("speakers", start, dispatcher.now()), 0.0f);
    EXPECT_EQ(*calls, 94);
    for (const auto& c : sim.cycles("speakers", start, dispatcher.now())) {
        EXPECT_NEAR(c.aggregateRms, kSineRms05 / 2, 0.01);
    }

    // Once the callback stops, nothing reads the tap and the process is heard directly again.
    ASSERT_EQ(sim.deviceStop(pipe.aggregate, pipe.proc), 0);
    const double stopped = dispatcher.now();
    EXPECT_NEAR(rmsOfNext("speakers", 1.0), kSineRms05, 0.002);
    EXPECT_EQ(*calls, 94);
    for (const auto& c : sim.cycles("speakers", stopped, dispatcher.now())) {
        EXPECT_EQ(c.aggregateRms, 0.0f);
    }
}

TEST_F(SimAudioRenderingTest, TapInputIsSampleForSampleWhatTheDeviceWouldPlay) {
    // An unmuted tap whose callback plays the inverse cancels the direct signal exactly.
    const AudioObjectID p = addPlayer(501, 0.5f, 523.25);
    buildPipeline({p}, "speakers", gainBlock(-1.0f), TapMuteBehavior::Unmuted);
    EXPECT_LT(rmsOfNext("speakers", 0.5), 1e-6);
    EXPECT_NEAR(maxDirectRms("speakers", 0, 1), kSineRms05, 0.01);
}

TEST_F(SimAudioRenderingTest, MuteBehaviourDecidesWhenTheDirectSignalVanishes) {
    const AudioObjectID a = addPlayer(501);
    const AudioObjectID b = addPlayer(502);
    // A tap nobody reads leaves MutedWhenTapped processes audible; Muted silences at once.
    auto whenTapped = TapDescription::stereoMixdown({a});
    whenTapped.muteBehavior = TapMuteBehavior::MutedWhenTapped;
    auto muted = TapDescription::stereoMixdown({b});
    muted.muteBehavior = TapMuteBehavior::Muted;
    AudioObjectID t1 = 0, t2 = 0;
    ASSERT_EQ(sim.createProcessTap(whenTapped, t1), 0);
    ASSERT_EQ(sim.createProcessTap(muted, t2), 0);
    EXPECT_NEAR(rmsOfNext("speakers", 0.5), kSineRms05, 0.002);  // only a

    ASSERT_EQ(sim.destroyProcessTap(t2), 0);
    EXPECT_NEAR(rmsOfNext("speakers", 0.5), 2 * kSineRms05, 0.004);  // a and b in phase
}

TEST_F(SimAudioRenderingTest, StalledAggregateSkipsItsCallbackAndUnmutesTheProcess) {
    const Pipeline pipe = halfGain(addPlayer(501));
    dispatcher.advance(0.2);
    sim.setCallbacksStalled(pipe.aggregate, true);
    const int before = *calls;
    EXPECT_NEAR(rmsOfNext("speakers", 0.5), kSineRms05, 0.002);
    EXPECT_EQ(*calls, before);
    sim.setCallbacksStalled("agg.1", false);
    EXPECT_NEAR(rmsOfNext("speakers", 0.5), kSineRms05 / 2, 0.002);
    EXPECT_GT(*calls, before);
}

TEST_F(SimAudioRenderingTest, CallbackGetsTimeStampsAndBuffersShapedLikeTheDevices) {
    const AudioObjectID p = addPlayer(501);
    std::vector<AudioTimeStamp> stamps;
    std::vector<std::pair<uint32_t, uint32_t>> inputShape;  // channels, bytes
    std::vector<uint32_t> outputChannels;
    auto block = [&](const AudioTimeStamp& now, const AudioBufferList& in, AudioBufferList& out) {
        EXPECT_TRUE(ioQueue->isCurrent());
        stamps.push_back(now);
        inputShape.emplace_back(in.mBuffers[0].mNumberChannels, in.mBuffers[0].mDataByteSize);
        outputChannels.push_back(out.mBuffers[0].mNumberChannels);
    };
    buildPipeline({p}, "headphones", block);  // 44.1 kHz
    dispatcher.advance(0.1);
    ASSERT_GE(stamps.size(), 3u);
    EXPECT_EQ(stamps[1].mSampleTime - stamps[0].mSampleTime, 512.0);
    const auto& clock = dispatcher.clock();
    const double periodTicks = 512.0 / 44100.0 * 1e9 / clock.hostTimeNanosScale();
    EXPECT_NEAR(static_cast<double>(stamps[2].mHostTime - stamps[1].mHostTime), periodTicks, 2.0);
    EXPECT_EQ(stamps[0].mFlags & AudioTimeStamp::kHostTimeValid, AudioTimeStamp::kHostTimeValid);
    EXPECT_EQ(inputShape[0], (std::pair<uint32_t, uint32_t>{2, 512 * 2 * 4}));
    EXPECT_EQ(outputChannels[0], 2u);
}

TEST_F(SimAudioRenderingTest, CallbackOnThePlainDeviceRunsWithoutInput) {
    int runs = 0;
    IOProcID id = 0;
    auto block = [&](const AudioTimeStamp&, const AudioBufferList& in, AudioBufferList& out) {
        ++runs;
        EXPECT_EQ(in.mNumberBuffers, 0u);
        auto* y = static_cast<float*>(out.mBuffers[0].mData);
        for (uint32_t i = 0; i < out.mBuffers[0].mDataByteSize / 4; ++i) y[i] = 0.25f;
    };
    ASSERT_EQ(sim.createIOProcID(headphones, ioQueue, block, id), 0);
    dispatcher.advance(0.1);
    EXPECT_EQ(runs, 0);  // installed, not started
    ASSERT_EQ(sim.deviceStart(headphones, id), 0);
    EXPECT_NEAR(rmsOfNext("headphones", 0.5), 0.25, 1e-6);
    EXPECT_GT(runs, 0);
    EXPECT_EQ(sim.runningIOProcCount(), 1u);
}

TEST_F(SimAudioRenderingTest, CallbackDestroyedFromInsideNeverRunsAgain) {
    int runs = 0;
    Pipeline pipe;
    pipe = buildPipeline({addPlayer(501)}, "speakers",
                         [&](const AudioTimeStamp&, const AudioBufferList&, AudioBufferList&) {
                             if (++runs == 3) {
                                 EXPECT_EQ(sim.destroyIOProcID(pipe.aggregate, pipe.proc), 0);
                             }
                         });
    dispatcher.advance(0.5);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(sim.ioProcCount(), 0u);
    EXPECT_EQ(sim.destroyIOProcID(pipe.aggregate, pipe.proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(sim.deviceStart(pipe.aggregate, pipe.proc), kAudioHardwareBadObjectError);
}

TEST_F(SimAudioRenderingTest, KilledAggregateVanishesAndItsProcessIsHeardDirectly) {
    const Pipeline pipe = halfGain(addPlayer(501));
    dispatcher.advance(0.2);
    sim.killAggregate(pipe.aggregate);

    uint32_t size = 0;
    EXPECT_EQ(sim.getPropertyDataSize(pipe.aggregate, global(kAudioObjectPropertyClass), size),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(readIDs(sim, 1, global(kAudioHardwarePropertyDevices)),
              (std::vector<AudioObjectID>{speakers, headphones}));
    const int before = *calls;
    EXPECT_NEAR(rmsOfNext("speakers", 0.5), kSineRms05, 0.002);
    EXPECT_EQ(*calls, before);
    EXPECT_FALSE(sim.aggregates().at(0).alive);

    // Tearing it down reports the aggregate gone but still releases the callback.
    EXPECT_EQ(sim.destroyIOProcID(pipe.aggregate, pipe.proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(sim.ioProcCount(), 0u);
    EXPECT_EQ(sim.destroyAggregateDevice(pipe.aggregate), kAudioHardwareBadObjectError);
    EXPECT_TRUE(sim.aggregates().empty());
}

TEST_F(SimAudioRenderingTest, RemovedDeviceHandsItsProcessesToTheNewDefault) {
    halfGain(addPlayer(501));
    dispatcher.advance(0.5);
    sim.removeDevice("speakers");

    EXPECT_EQ(sim.defaultOutputUID(), "headphones");
    EXPECT_FALSE(sim.aggregates().at(0).alive);
    EXPECT_NEAR(rmsOfNext("headphones", 1.0), kSineRms05, 0.002);
    // The recording of the vanished device stays readable.
    EXPECT_NEAR(sim.rms("speakers", 0, 0.1, 0.5), kSineRms05 / 2, 0.002);
    EXPECT_TRUE(sim.cycles("speakers", 0.5, 10).empty());
}

TEST_F(SimAudioRenderingTest, SampleHistoryIsBoundedAndCanBeSwitchedOff) {
    addPlayer(501);
    sim.setSampleHistorySeconds(0.5);
    dispatcher.advance(2.0);
    EXPECT_EQ(sim.samples("speakers", 0, 0, 1.0).size(), 0u);  // fell out of the history
    const auto recent = sim.samples("speakers", 0, 0);
    EXPECT_GE(recent.size(), 24000u);
    EXPECT_LE(recent.size(), 24000u + 512u);
    EXPECT_EQ(sim.cycles("speakers").size(), 187u);  // cycle records are all kept

    sim.setSampleHistorySeconds(0);
    dispatcher.advance(0.5);
    EXPECT_TRUE(sim.samples("speakers", 0).empty());
    EXPECT_EQ(sim.rms("speakers", 0, 0, 10), 0.0);
    EXPECT_NEAR(sim.cycles("speakers", 2.1, 2.5).at(0).rms, kSineRms05, 0.01);
}

// A demo that runs all day must not keep a record of every cycle.
TEST_F(SimAudioRenderingTest, CycleRecordsCanBeBoundedToTheRecentPast) {
    addPlayer(501);
    sim.setCycleHistorySeconds(1.0);
    dispatcher.advance(10.0);
    const auto kept = sim.cycles("speakers");
    ASSERT_EQ(kept.size(), 94u);  // one second of 512-frame cycles at 48 kHz
    EXPECT_GE(kept.front().time, 8.9);
    EXPECT_NEAR(sim.rms("speakers", 0, 9.5, 10.0), kSineRms05, 0.01);
    EXPECT_TRUE(sim.cycles("speakers", 0, 8.5).empty());
}

}  // namespace
}  // namespace tobble::audio::sim::testing
