#include "engine/pipeline/IOProcRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "engine/pipeline/RenderDSP.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/pipeline/TestAudioBuffers.h"

namespace tobble::engine {
namespace {

using testing::TestAudioBuffers;
using testing::timeStampAt;

constexpr uint32_t kSlot = 3;
constexpr size_t kFrames = 512;
constexpr float kGarbage = 7.0f;  // pre-filled into outputs to prove they were written

class IOProcRendererTest : public ::testing::Test {
  protected:
    void cycle(TestAudioBuffers& in, TestAudioBuffers& out) {
        hostTime += 1000;
        renderer.render(timeStampAt(hostTime), in.list(), out.list());
    }
    void cycle() { cycle(input, output); }
    std::vector<std::string> cycleLines() {
        renderer.writeLog();
        std::vector<std::string> lines;
        for (const auto& message : capture->messages()) {
            if (message.starts_with("IOProc ")) lines.push_back(message);
        }
        return lines;
    }

    log::ScopedCapture capture;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    IOProcRenderer renderer{kSlot, volumes, levels};
    TestAudioBuffers input{2, kFrames, 0.4f};
    TestAudioBuffers output{2, kFrames, kGarbage};
    uint64_t hostTime = 50'000;
};

// ---- gain and limiter

// Within full scale the callback is transparent: the volume and nothing else.
TEST_F(IOProcRendererTest, GainedSamplesWithinFullScalePassUnchanged) {
    volumes.write(kSlot, 0.5f, false);
    input.at(1, 0) = 1.8f;
    input.at(1, 1) = 2.0f;
    input.at(2, 0) = -1.9f;
    cycle();
    EXPECT_EQ(output.at(0, 0), 0.2f);
    EXPECT_EQ(output.at(1, 0), 0.9f);
    EXPECT_EQ(output.at(1, 1), 1.0f);
    EXPECT_EQ(output.at(2, 0), -0.95f);
    EXPECT_EQ(output.at(kFrames - 1, 1), 0.2f);
}

// A cycle that would pass full scale is scaled as a whole to end at it (no sample beyond, no
// shape changed), and the gain comes back over the next cycles.
TEST_F(IOProcRendererTest, ACycleOverFullScaleIsScaledDownAndTheGainComesBack) {
    input.at(5, 1) = -2.0f;
    cycle();
    EXPECT_FLOAT_EQ(output.at(5, 1), -1.0f);
    EXPECT_FLOAT_EQ(output.at(0, 0), 0.2f);
    for (float sample : output.samples) EXPECT_LE(std::abs(sample), 1.0f);

    input.fill(0.4f);
    cycle();
    const float next = output.at(0, 0);
    EXPECT_GT(next, 0.2f);
    EXPECT_LT(next, 0.4f);
    for (int i = 0; i < 20; ++i) cycle();  // 10,752 frames: more than the release
    EXPECT_EQ(output.at(0, 0), 0.4f);
}

// Above 100 %: a tone with room to spare is doubled sample for sample, one without it is held
// within full scale on every sample, however long it plays.
TEST_F(IOProcRendererTest, BoostDoublesAQuietToneExactlyAndNeverTakesAHotOnePastFullScale) {
    volumes.write(kSlot, kMaxVolume, false);
    size_t frame = 0;
    const auto playTone = [&](float amplitude, int cycles, auto check) {
        for (int c = 0; c < cycles; ++c) {
            for (size_t i = 0; i < kFrames; ++i, ++frame) {
                const float x = amplitude * std::sin(static_cast<float>(frame) * 0.0576f);
                input.at(i, 0) = x;
                input.at(i, 1) = -x;
            }
            cycle();
            for (size_t i = 0; i < input.samples.size(); ++i)
                check(input.samples[i], output.samples[i]);
        }
    };
    playTone(0.3f, 10, [](float in, float out) { ASSERT_EQ(out, 2.0f * in); });
    float peak = 0.0f;
    playTone(0.8f, 200, [&](float, float out) { peak = std::max(peak, std::abs(out)); });
    EXPECT_LE(peak, kFullScale);
    EXPECT_GT(peak, 0.99f);  // limited, not merely turned down
}

TEST_F(IOProcRendererTest, MutedSlotIsSilentAndItsLevelReleases) {
    input.fill(1.0f);
    cycle();
    ASSERT_EQ(levels.level(kSlot), 0.5f);
    volumes.write(kSlot, 1.0f, true);
    cycle();
    EXPECT_TRUE(output.isSilent());
    EXPECT_FLOAT_EQ(levels.level(kSlot), 0.5f * 0.95f);
}

TEST_F(IOProcRendererTest, StereoInputFillsTheFirstTwoOfSixChannels) {
    TestAudioBuffers six{6, kFrames, kGarbage};
    input.fillChannel(1, -0.3f);
    cycle(input, six);
    EXPECT_TRUE(six.channelIs(0, 0.4f));
    EXPECT_TRUE(six.channelIs(1, -0.3f));
    for (uint32_t channel = 2; channel < 6; ++channel) EXPECT_TRUE(six.channelIs(channel, 0.0f));
}

TEST_F(IOProcRendererTest, MonoInputGoesToEveryOutputChannel) {
    TestAudioBuffers mono{1, kFrames, 1.8f};
    volumes.write(kSlot + 32, 0.5f, false);
    cycle(mono, output);
    EXPECT_TRUE(output.channelIs(0, 0.9f));
    EXPECT_TRUE(output.channelIs(1, 0.9f));
}

TEST_F(IOProcRendererTest, FramesAreLimitedByTheShorterBuffer) {
    TestAudioBuffers shortInput{2, 100, 0.4f};
    cycle(shortInput, output);
    EXPECT_EQ(output.at(99, 1), 0.4f);
    EXPECT_EQ(output.at(100, 0), 0.0f);
    EXPECT_EQ(output.at(kFrames - 1, 1), 0.0f);
}

// ---- level meter

TEST_F(IOProcRendererTest, LevelAttacksThenDecaysByFivePercentPerCycle) {
    input.fill(0.0f);
    cycle();
    EXPECT_EQ(levels.hostTime[kSlot].load(), 0u);  // stamped only while audible
    input.fill(1.0f);
    for (float expected : {0.5f, 0.75f, 0.875f}) {
        cycle();
        EXPECT_EQ(levels.level(kSlot), expected);
    }
    EXPECT_EQ(levels.hostTime[kSlot].load(), hostTime);
    input.fill(0.0f);
    float level = 0.875f;
    for (int i = 0; i < 3; ++i) {
        cycle();
        EXPECT_FLOAT_EQ(levels.level(kSlot), level * 0.95f);
        level = levels.level(kSlot);
    }
}

// ---- warm-up

TEST_F(IOProcRendererTest, WarmupSilencesWholeFramesAcrossCycles) {
    renderer.warmupFramesRemaining.store(1000);
    levels.rms[kSlot].store(0.3f);
    cycle();
    EXPECT_TRUE(output.isSilent());
    EXPECT_EQ(renderer.warmupFramesRemaining.load(), 488);
    EXPECT_EQ(levels.level(kSlot), 0.0f);
    output.fill(kGarbage);
    cycle();
    EXPECT_TRUE(output.isSilent());
    EXPECT_EQ(renderer.warmupFramesRemaining.load(), 0);
    cycle();
    EXPECT_TRUE(output.channelIs(0, 0.4f));
}

// ---- unusable buffers

TEST_F(IOProcRendererTest, NullInputGivesSilenceAndLeavesTheLevelAlone) {
    levels.rms[kSlot].store(0.42f);
    auto& in = input.list();
    in.mBuffers[0].mData = nullptr;
    renderer.render(timeStampAt(77), in, output.list());
    EXPECT_TRUE(output.isSilent());
    EXPECT_EQ(levels.level(kSlot), 0.42f);
    EXPECT_EQ(renderer.diagCounter.load(), 1u);  // still a cycle for the health monitor
}

TEST_F(IOProcRendererTest, MalformedSizesGiveSilenceWithoutALine) {
    auto& out = output.list();
    out.mBuffers[0].mDataByteSize = 4;  // less than one stereo frame
    renderer.render(timeStampAt(1), input.list(), out);
    EXPECT_EQ(output.at(0, 0), 0.0f);
    EXPECT_EQ(output.at(0, 1), kGarbage);  // beyond the declared size: not ours to touch

    TestAudioBuffers noChannels{0, 0};
    std::vector<float> storage(8, kGarbage);
    auto& zero = noChannels.list();
    zero.mBuffers[0].mData = storage.data();
    zero.mBuffers[0].mDataByteSize = 32;
    renderer.render(timeStampAt(2), input.list(), zero);
    EXPECT_EQ(storage, std::vector<float>(8, 0.0f));

    TestAudioBuffers tinyInput{3, 0};
    tinyInput.samples = {0.5f, 0.5f};  // fewer samples than one frame
    renderer.render(timeStampAt(3), tinyInput.list(), output.list());
    EXPECT_TRUE(output.isSilent());
    EXPECT_TRUE(cycleLines().empty());
    EXPECT_EQ(renderer.diagCounter.load(), 3u);
}

TEST_F(IOProcRendererTest, EveryOutputBufferIsSilencedOnlyTheFirstIsRendered) {
    TestAudioBuffers second{2, 16, kGarbage};
    auto& out = output.list();
    out.mNumberBuffers = 2;
    out.mBuffers[1] = second.list().mBuffers[0];
    renderer.render(timeStampAt(1), input.list(), out);
    EXPECT_TRUE(second.isSilent());
    EXPECT_EQ(output.at(0, 0), 0.4f);
}

// ---- diagnostics

// A line takes a lock and allocates: only the first three cycles and every 400th one log.
TEST_F(IOProcRendererTest, LogsTheFirstThreeCyclesThenEveryFourHundredth) {
    const std::pair<uint64_t, size_t> steps[] = {{400, 3}, {401, 4}, {800, 4}, {801, 5}};
    for (const auto& [cycles, lines] : steps) {
        while (renderer.diagCounter.load() < cycles) cycle();
        EXPECT_EQ(cycleLines().size(), lines) << cycles;
    }
}

// ---- cross-fade

class IOProcCrossfadeTest : public IOProcRendererTest {
  protected:
    IOProcCrossfadeTest() {
        fade.beginPreparing();
        renderer.crossfadeState.store(&fade);
        incoming.crossfadeRole.store(CrossfadeRole::secondary);
        incoming.crossfadeState.store(&fade);
        input.fill(0.5f);
    }
    void cycleIncoming(TestAudioBuffers& out) {
        incoming.render(timeStampAt(hostTime), input.list(), out.list());
    }

    TAKCrossfadeState fade;
    IOProcRenderer incoming{kSlot, volumes, levels};
    TestAudioBuffers incomingOutput{2, 480, kGarbage};
};

TEST_F(IOProcCrossfadeTest, PreparingPlaysTheOldPipelineAndCountsTheNewOne) {
    cycle();
    EXPECT_TRUE(output.channelIs(0, 0.5f));
    cycleIncoming(incomingOutput);
    cycleIncoming(incomingOutput);
    EXPECT_TRUE(incomingOutput.isSilent());
    EXPECT_EQ(fade.secondarySamplesProcessed(), 960);
    EXPECT_EQ(fade.secondarySampleCount(), 0);
    // The fade's progress divides by its length; the warm-up count runs on through it.
    fade.startFading(0);
    EXPECT_EQ(fade.totalSamples(), 1);
    EXPECT_EQ(fade.secondarySamplesProcessed(), 960);
}

TEST_F(IOProcCrossfadeTest, HalfWayThroughBothPipelinesPlayAtEqualPower) {
    fade.startFading(4800);
    for (int i = 0; i < 5; ++i) cycleIncoming(incomingOutput);
    EXPECT_EQ(fade.progress(), 0.5f);
    cycle();
    const float oldGain = output.at(0, 0) / 0.5f;
    const float newGain = incomingOutput.at(0, 0) / 0.5f;
    EXPECT_NEAR(oldGain, 0.7071f, 1e-4f);
    EXPECT_NEAR(newGain, 0.7071f, 1e-4f);  // equal power along the whole fade: RenderDSP tests
}

TEST_F(IOProcCrossfadeTest, AfterFinishingTheStayingPipelinePlaysAtFullGain) {
    fade.startFading(480);
    cycleIncoming(incomingOutput);
    fade.finish();
    cycle();
    EXPECT_TRUE(output.channelIs(0, 0.5f));
    cycleIncoming(incomingOutput);
    EXPECT_TRUE(incomingOutput.channelIs(0, 0.5f));
}

TEST_F(IOProcCrossfadeTest, WarmupSilenceStillAdvancesTheFade) {
    incoming.warmupFramesRemaining.store(1000);
    fade.startFading(4800);
    cycleIncoming(incomingOutput);
    EXPECT_TRUE(incomingOutput.isSilent());
    EXPECT_EQ(fade.secondarySampleCount(), 480);
}

// Two devices that hear one cycle's frames a block apart (in one PipeWire graph the driving
// device plays a cycle after a following one), the old pipeline rendered first in every cycle:
// at every instant the two gains keep equal power, from the old pipeline's last full block to
// the end of the fade. Following the new pipeline's last cycle instead left both near full level
// for a block (+2.9 dB over PipeWire).
TEST_F(IOProcCrossfadeTest, BothPipelinesFollowTheFadeByWhenTheirFramesAreHeard) {
    constexpr uint64_t kBlock = 480;
    fade.beginPreparing(1.0);  // one host tick per frame
    std::map<uint64_t, float> oldGain;
    std::map<uint64_t, float> newGain;
    TestAudioBuffers oldOutput{2, kBlock, kGarbage};
    uint64_t cycleTime = 1'000'000;
    const auto cycleBoth = [&] {
        renderer.render(timeStampAt(cycleTime + kBlock), input.list(), oldOutput.list());
        incoming.render(timeStampAt(cycleTime), input.list(), incomingOutput.list());
        for (uint64_t i = 0; i < kBlock; ++i) {
            oldGain[cycleTime + kBlock + i] = oldOutput.at(i, 0) / 0.5f;
            newGain[cycleTime + i] = incomingOutput.at(i, 0) / 0.5f;
        }
        cycleTime += kBlock;
    };
    for (int i = 0; i < 3; ++i) cycleBoth();
    fade.startFading(4800);
    while (fade.progress() < 1.0f) cycleBoth();
    cycleBoth();

    int checked = 0;
    for (const auto& [heard, gain] : oldGain) {
        const auto other = newGain.find(heard);
        if (other == newGain.end()) continue;
        ASSERT_NEAR(gain * gain + other->second * other->second, 1.0f, 2e-3f) << "at " << heard;
        ++checked;
    }
    EXPECT_GT(checked, 4800);
    EXPECT_EQ(newGain.rbegin()->second, 1.0f);
    EXPECT_NEAR(oldGain.rbegin()->second, 0.0f, 1e-6f);
}

}  // namespace
}  // namespace tobble::engine
