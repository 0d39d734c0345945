// One device cycle: the direct mix of the playing processes, the I/O callbacks that the device
// drives, and the recording of what reached it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/audio/sim/SimCore.h"

namespace tobble::audio::sim::detail {

namespace {

// Adds `signal` to `channels`-interleaved `out`, frame 0 being at `startSeconds` on the device
// clock. The value depends only on the time, so every reader of the same moment agrees. A
// rotating phasor replaces a sine per frame; over one buffer it drifts by ~1e-14.
void addSignal(float* out, uint32_t channels, uint32_t frames, const Signal& signal,
               double startSeconds, double sampleRate) noexcept {
    if (signal.amplitude == 0.0f || channels == 0) return;
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    const double startPhase = kTwoPi * std::fmod(signal.frequency * startSeconds, 1.0);
    const double step = kTwoPi * signal.frequency / sampleRate;
    const double stepCos = std::cos(step);
    const double stepSin = std::sin(step);
    double re = signal.amplitude * std::cos(startPhase);
    double im = signal.amplitude * std::sin(startPhase);
    for (uint32_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(im);
        for (uint32_t c = 0; c < channels; ++c) out[i * channels + c] += v;
        const double nextRe = re * stepCos - im * stepSin;
        im = im * stepCos + re * stepSin;
        re = nextRe;
    }
}

// Raw loops over pointers: the cycle runs often enough in virtual time that unoptimised test
// builds feel every iterator abstraction.
void zero(std::vector<float>& buffer) noexcept {
    if (!buffer.empty()) std::memset(buffer.data(), 0, buffer.size() * sizeof(float));
}

void accumulate(std::vector<float>& into, const std::vector<float>& from) noexcept {
    const size_t n = std::min(into.size(), from.size());
    float* y = into.data();
    const float* x = from.data();
    for (size_t i = 0; i < n; ++i) y[i] += x[i];
}

// total = direct + callbacks, measuring all three in the same pass.
void mixAndMeasure(const std::vector<float>& direct, const std::vector<float>& callbacks,
                   std::vector<float>& total, CycleRecord& record) noexcept {
    const size_t n = total.size();
    const float* d = direct.data();
    const float* c = callbacks.data();
    float* t = total.data();
    double directSum = 0, callbackSum = 0, totalSum = 0;
    float peak = 0;
    for (size_t i = 0; i < n; ++i) {
        const float v = d[i] + c[i];
        t[i] = v;
        directSum += static_cast<double>(d[i]) * d[i];
        callbackSum += static_cast<double>(c[i]) * c[i];
        totalSum += static_cast<double>(v) * v;
        const float magnitude = std::fabs(v);
        if (magnitude > peak) peak = magnitude;
    }
    const auto rms = [n](double sum) {
        return n == 0 ? 0.0f : static_cast<float>(std::sqrt(sum / static_cast<double>(n)));
    };
    record.rms = rms(totalSum);
    record.peak = peak;
    record.directRms = rms(directSum);
    record.aggregateRms = rms(callbackSum);
}

}  // namespace

void SimCore::startClock(SimDevice& d) {
    const double period = d.config.bufferFrames / d.config.sampleRate;
    d.clockOrigin = dispatcher.clock().monotonicSeconds();
    d.timer = dispatcher.makeRepeatingTimer(
        d.queue, period, period, [weakGate = std::weak_ptr<CycleGate>(gate), id = d.id] {
            if (auto g = weakGate.lock()) g->enter([id](SimCore& core) { core.runCycle(id); });
        });
}

bool SimCore::isTapRead(AudioObjectID tap) const {
    for (const auto& [id, agg] : aggregates) {
        if (!agg.alive || agg.stalled) continue;
        if (std::find(agg.taps.begin(), agg.taps.end(), tap) == agg.taps.end()) continue;
        if (hasStartedCallback(id)) return true;
    }
    return false;
}

bool SimCore::isSilencedByTap(AudioObjectID process) const {
    for (const auto& [id, tap] : taps) {
        const auto& procs = tap.description.processes;
        if (std::find(procs.begin(), procs.end(), process) == procs.end()) continue;
        switch (tap.description.muteBehavior) {
            case TapMuteBehavior::Muted:
                return true;
            case TapMuteBehavior::MutedWhenTapped:
                if (isTapRead(id)) return true;
                break;
            case TapMuteBehavior::Unmuted:
                break;
        }
    }
    return false;
}

void SimCore::renderTapInput(const SimTap* tap, const SimDevice& clock, float* out,
                             uint32_t channels) const {
    const uint32_t frames = clock.config.bufferFrames;
    std::memset(out, 0, static_cast<size_t>(frames) * channels * sizeof(float));
    if (!tap) return;  // destroyed under the aggregate: silence
    const double start = clock.timeAtFrame(clock.frameCounter);
    for (AudioObjectID id : tap->description.processes) {
        auto it = processes.find(id);
        if (it == processes.end() || !it->second.runningOutput) continue;
        addSignal(out, channels, frames, it->second.signal, start, clock.config.sampleRate);
    }
}

void SimCore::runCycle(AudioObjectID deviceID) {
    std::unique_lock lock(mutex);
    auto found = devices.find(deviceID);
    if (found == devices.end()) return;
    const std::shared_ptr<SimDevice> keep = found->second;  // outlives a removal meanwhile
    SimDevice& d = *keep;
    const uint32_t channels = d.config.channels;
    const uint32_t frames = d.config.bufferFrames;
    auto& clock = dispatcher.clock();

    CycleRecord record;
    record.time = clock.monotonicSeconds();
    record.frames = frames;
    AudioTimeStamp now;
    now.mSampleTime = static_cast<double>(d.frameCounter);
    now.mHostTime = clock.hostTime();
    now.mFlags = AudioTimeStamp::kSampleTimeValid | AudioTimeStamp::kHostTimeValid;

    zero(d.direct);
    zero(d.fromCallbacks);
    if (channels > 0 && playbackDevice() == deviceID) {
        const double start = d.timeAtFrame(d.frameCounter);
        for (const auto& [id, p] : processes) {
            if (!p.runningOutput || isSilencedByTap(id)) continue;
            addSignal(d.direct.data(), channels, frames, p.signal, start, d.config.sampleRate);
        }
    }

    // Hand every due callback its buffers. Growing `jobs` allocates only when more callbacks
    // than ever before run on this device.
    d.jobs.clear();
    for (const auto& [id, proc] : ioProcs) {
        if (!proc->started.load() || proc->destroyed.load()) continue;
        SimIOProc& p = *proc;
        if (p.device == deviceID) {
            if (d.stalled) continue;
            p.inputList.mNumberBuffers = 0;
        } else {
            const SimAggregate* agg = liveAggregate(p.device);
            if (!agg || agg->stalled || agg->mainDevice != deviceID) continue;
            p.inputList.mNumberBuffers = static_cast<uint32_t>(p.inputs.size());
            for (size_t i = 0; i < p.inputs.size(); ++i) {
                auto tapIt = taps.find(agg->taps[i]);
                renderTapInput(tapIt == taps.end() ? nullptr : &tapIt->second, d,
                               p.inputs[i].data(), p.inputChannels[i]);
                AudioBuffer& b = p.inputList.mBuffers[i];
                b.mNumberChannels = p.inputChannels[i];
                b.mDataByteSize = static_cast<uint32_t>(p.inputs[i].size() * sizeof(float));
                b.mData = p.inputs[i].data();
            }
        }
        zero(p.output);
        p.outputList.mNumberBuffers = p.outputChannels > 0 ? 1 : 0;
        p.outputList.mBuffers[0] = {p.outputChannels,
                                    static_cast<uint32_t>(p.output.size() * sizeof(float)),
                                    p.output.data()};
        p.inFlight = true;
        p.inFlightThread = std::this_thread::get_id();
        d.jobs.push_back(proc);
    }

    lock.unlock();
    for (const auto& job : d.jobs) {
        SimIOProc* p = job.get();
        // Two captured pointers fit std::function's inline storage: no allocation here.
        p->queue->sync([p, &now] {
            if (p->destroyed.load() || !p->started.load()) return;
            p->block(now, p->inputList, p->outputList);
        });
    }
    lock.lock();

    for (const auto& job : d.jobs) {
        accumulate(d.fromCallbacks, job->output);
        job->inFlight = false;
    }
    if (!d.jobs.empty()) callbackLanded.notify_all();

    mixAndMeasure(d.direct, d.fromCallbacks, d.total, record);
    d.recording->append(record, d.total);
    d.frameCounter += frames;

    lock.unlock();
    // The last reference to a callback removed meanwhile may go here, outside the lock.
    d.jobs.clear();
}

}  // namespace tobble::audio::sim::detail
