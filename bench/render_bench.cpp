// Cost of one I/O cycle of the per-application callback (gain, limiter, level meter) against a
// plain copy of the same buffers, both per frame of 512-frame stereo cycles. The callback has
// to stay within a small multiple of the copy: it runs once per device cycle on the audio
// thread of every tapped application.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/pipeline/IOProcRenderer.h"
#include "platform/log/Log.h"

namespace {

using namespace tobble;

constexpr size_t kFrames = 512;
constexpr uint32_t kChannels = 2;
constexpr char kRenderName[] = "render";
constexpr char kHotRenderName[] = "render_hot";
constexpr char kCopyName[] = "copy";

// Program material stays within full scale; a hot signal (peaks at 1.2 after gain) goes over
// in every cycle, so the limiter scales every cycle.
constexpr double kProgramAmplitude = 0.75;
constexpr double kHotAmplitude = 1.5;

// Every 400th cycle composes a diagnostic line; the bench keeps it off the terminal.
class DiscardSink final : public log::Sink {
  public:
    void write(const log::Record&) override {}
};

std::vector<float> testSignal(double amplitude) {
    std::vector<float> samples(kFrames * kChannels);
    for (size_t frame = 0; frame < kFrames; ++frame) {
        const double phase = 2.0 * 3.141592653589793 * static_cast<double>(frame) / 97.0;
        const auto value = static_cast<float>(amplitude * std::sin(phase));
        samples[frame * kChannels] = value;
        samples[frame * kChannels + 1] = -value;
    }
    return samples;
}

audio::AudioBufferList bufferList(std::vector<float>& samples) {
    audio::AudioBufferList list;
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {kChannels, static_cast<uint32_t>(samples.size() * sizeof(float)),
                        samples.data()};
    return list;
}

// The volume is 0.8, so gain is applied on every sample.
void renderCycles(benchmark::State& state, double amplitude) {
    engine::TAKVolumeState volumes;
    engine::TAKRMSBuffer levels;
    engine::IOProcRenderer renderer(0, volumes, levels);
    volumes.write(0, 0.8f, false);
    std::vector<float> in = testSignal(amplitude);
    std::vector<float> out(in.size());
    const audio::AudioBufferList input = bufferList(in);
    audio::AudioBufferList output = bufferList(out);
    uint64_t hostTime = 0;
    for (auto _ : state) {
        renderer.render(audio::AudioTimeStamp{.mHostTime = hostTime += kFrames}, input, output);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
}

void copyCycles(benchmark::State& state) {
    std::vector<float> in = testSignal(kProgramAmplitude);
    std::vector<float> out(in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(in.data());
        std::memcpy(out.data(), in.data(), in.size() * sizeof(float));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
}

// Prints what the console reporter prints and keeps the median CPU time per cycle of each.
class PerFrameReporter final : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            nanosPerCycle[run.run_name.function_name] =
                run.GetAdjustedCPUTime() * nanosPerUnit(run.time_unit);
        }
    }

    std::map<std::string, double> nanosPerCycle;

  private:
    static double nanosPerUnit(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            case benchmark::kNanosecond:
                return 1.0;
        }
        return 1.0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    log::setSink(std::make_shared<DiscardSink>());
    benchmark::RegisterBenchmark(kRenderName, renderCycles, kProgramAmplitude)
        ->Repetitions(5)
        ->DisplayAggregatesOnly();
    benchmark::RegisterBenchmark(kHotRenderName, renderCycles, kHotAmplitude)
        ->Repetitions(5)
        ->DisplayAggregatesOnly();
    benchmark::RegisterBenchmark(kCopyName, copyCycles)->Repetitions(5)->DisplayAggregatesOnly();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    PerFrameReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& measured = reporter.nanosPerCycle;
    if (!measured.contains(kRenderName) || !measured.contains(kHotRenderName) ||
        !measured.contains(kCopyName)) {
        return 0;  // a filter left some out
    }
    const double copyPerFrame = measured.at(kCopyName) / kFrames;
    const double renderPerFrame = measured.at(kRenderName) / kFrames;
    const double hotPerFrame = measured.at(kHotRenderName) / kFrames;
    std::printf("stereo %zu-frame cycles, median CPU time per frame:\n", kFrames);
    std::printf("  plain copy of the same buffers:            %.3f ns/frame\n", copyPerFrame);
    std::printf("  render, program level (limiter idle):      %.3f ns/frame  %.2fx the copy\n",
                renderPerFrame, renderPerFrame / copyPerFrame);
    std::printf("  render, hot signal (limiter engaged):      %.3f ns/frame  %.2fx the copy\n",
                hotPerFrame, hotPerFrame / copyPerFrame);
    return 0;
}
