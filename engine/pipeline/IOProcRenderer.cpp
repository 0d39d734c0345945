#include "engine/pipeline/IOProcRenderer.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "engine/core/NumberText.h"
#include "engine/core/TAKLog.h"
#include "engine/pipeline/RenderLoops.h"

namespace tobble::engine {
namespace {

constexpr uint64_t kLogEvery = 400;
constexpr uint64_t kBytesPerSample = sizeof(float);

// The first three cycles show that audio flows; after that one line every 400 cycles.
constexpr bool cycleMayLog(uint64_t tick) { return tick < 4 || (tick - 1) % kLogEvery == 0; }

// Zeroes every output buffer except the first `keptBytes` bytes of the first one.
void silenceExcept(audio::AudioBufferList& output, size_t keptBytes) noexcept {
    const uint32_t count = std::min(output.mNumberBuffers, audio::AudioBufferList::kCapacity);
    for (uint32_t i = 0; i < count; ++i) {
        audio::AudioBuffer& buffer = output.mBuffers[i];
        const size_t kept = i == 0 ? std::min<size_t>(keptBytes, buffer.mDataByteSize) : 0;
        if (buffer.mData != nullptr && kept < buffer.mDataByteSize) {
            std::memset(static_cast<char*>(buffer.mData) + kept, 0, buffer.mDataByteSize - kept);
        }
    }
}

}  // namespace

IOProcRenderer::IOProcRenderer(uint32_t slotValue, TAKVolumeState& volumes, TAKRMSBuffer& levels)
    : slot(slotValue), volumeState(volumes), rmsBuffer(levels) {}

void IOProcRenderer::render(const audio::AudioTimeStamp& now, const audio::AudioBufferList& input,
                            audio::AudioBufferList& output) noexcept {
    // The whole output is silent after the cycle except what the cycle wrote. Nothing reads the
    // output during the cycle, so silencing the rest afterwards is the same as silencing all of
    // it first, and writes each byte once.
    const size_t written = renderCycle(now, input, output);
    silenceExcept(output, written);
}

size_t IOProcRenderer::renderCycle(const audio::AudioTimeStamp& now,
                                   const audio::AudioBufferList& input,
                                   const audio::AudioBufferList& output) noexcept {
    lastRenderHostTime.store(now.mHostTime, std::memory_order_relaxed);

    // Sequentially consistent, like the cross-fade pointer load below: see diagCounter.
    const uint64_t tick = diagCounter.fetch_add(1, std::memory_order_seq_cst) + 1;
    if (silenced.load(std::memory_order_seq_cst)) return 0;
    const bool mayLog = cycleMayLog(tick);

    if (output.mNumberBuffers == 0 || input.mNumberBuffers == 0 ||
        output.mBuffers[0].mData == nullptr || input.mBuffers[0].mData == nullptr) {
        if (mayLog) log_.push({.kind = CycleNote::Kind::noBuffers, .tick = tick});
        return 0;
    }
    const audio::AudioBuffer& out = output.mBuffers[0];
    const audio::AudioBuffer& in = input.mBuffers[0];
    const uint32_t outChannels = out.mNumberChannels;
    const uint32_t inChannels = in.mNumberChannels;

    if (outChannels == 0 || uint64_t{outChannels} * kBytesPerSample > out.mDataByteSize) return 0;
    const uint32_t inStride = inChannels <= 1 ? 1 : inChannels;
    const uint64_t outFrames = out.mDataByteSize / (uint64_t{outChannels} * kBytesPerSample);
    const uint64_t inFrames = (in.mDataByteSize / kBytesPerSample) / inStride;
    const auto frames = static_cast<size_t>(std::min(outFrames, inFrames));
    if (frames == 0) return 0;

    // Before the warm-up test, so that a silent warm-up still advances a fade.
    const FadeSpan fade = advanceCrossfade(now, static_cast<int64_t>(frames));

    const uint32_t index = slotIndex(slot);
    const int64_t warmup = warmupFramesRemaining.load(std::memory_order_relaxed);
    if (warmup >= 1) {
        const int64_t muted = std::min(warmup, static_cast<int64_t>(frames));
        warmupFramesRemaining.store(warmup - muted, std::memory_order_relaxed);
        rmsBuffer.rms[index].store(0.0f, std::memory_order_relaxed);
        if (mayLog) {
            log_.push({.kind = CycleNote::Kind::warmup,
                       .tick = tick,
                       .frames = static_cast<uint64_t>(muted),
                       .remaining = warmup - muted});
        }
        return 0;
    }

    const bool isMuted = volumeState.mutes[index].load(std::memory_order_relaxed) != 0;
    const float volume =
        isMuted ? 0.0f : volumeState.volumes[index].load(std::memory_order_relaxed);
    const float limiter = releasedLimiterGain(limiterGain_, static_cast<int64_t>(frames));
    const float gain = (fade.ramps ? 1.0f : fade.gain) * volume * limiter;

    const float peak = renderFrames(in, out, frames, gain);
    if (peak > kFullScale) {
        scaleToFullScale(static_cast<float*>(out.mData), frames * outChannels, peak);
        limiterGain_ = limiter * (kFullScale / peak);
    } else {
        limiterGain_ = limiter;
    }
    // Fading only lowers the level, so it may follow the limiter.
    if (fade.ramps) applyFade(static_cast<float*>(out.mData), frames, outChannels, fade);

    const float smoothed = smoothPeak(smoothedPeak.load(std::memory_order_relaxed), peak);
    smoothedPeak.store(smoothed, std::memory_order_relaxed);
    rmsBuffer.rms[index].store(smoothed, std::memory_order_relaxed);
    if (smoothed > kAudibleLevel) {
        rmsBuffer.hostTime[index].store(now.mHostTime, std::memory_order_relaxed);
    }

    if (mayLog) {
        log_.push({.kind = CycleNote::Kind::cycle,
                   .tick = tick,
                   .frames = frames,
                   .inChannels = inStride,
                   .outChannels = outChannels,
                   .gain = gain,
                   .peak = peak,
                   .smoothed = smoothed});
    }
    return frames * outChannels * kBytesPerSample;
}

// With a frame length, both pipelines follow one fade curve laid on the host clock, each placing
// its frames by when they are heard: the two devices may present one cycle's frames at
// different times (within one PipeWire graph the driving device plays a cycle later than a
// following one), and a pipeline that followed the other's last cycle would leave both near
// full level, or both low, for that difference. The curve begins once nothing already played
// at full gain by the old pipeline is still to be heard, so the new one never starts under it.
FadeSpan IOProcRenderer::advanceCrossfade(const audio::AudioTimeStamp& now,
                                          int64_t frames) noexcept {
    TAKCrossfadeState* fade = crossfadeState.load(std::memory_order_seq_cst);
    if (fade == nullptr) return {};
    const CrossfadeRole role = crossfadeRole.load(std::memory_order_relaxed);
    const int64_t phase = fade->phase_.load(std::memory_order_acquire);
    const bool fading = phase == static_cast<int64_t>(CrossfadePhase::fading);
    const int64_t total = fade->totalSamples_.load(std::memory_order_relaxed);
    const double ticksPerFrame = fade->ticksPerFrame_.load(std::memory_order_relaxed);
    const bool timed = (now.mFlags & audio::AudioTimeStamp::kHostTimeValid) != 0 &&
                       now.mHostTime != 0 && ticksPerFrame > 0.0;
    const auto heardSpan = [&](uint64_t origin) {
        const double behind =
            (static_cast<double>(now.mHostTime) - static_cast<double>(origin)) / ticksPerFrame;
        return FadeSpan{.ramps = true,
                        .role = role,
                        .first = (behind + 1.0) / static_cast<double>(total),
                        .step = 1.0 / static_cast<double>(total)};
    };

    if (role == CrossfadeRole::primary) {
        const uint64_t origin = fade->originHostTime_.load(std::memory_order_relaxed);
        if (fading && timed && origin != 0 && total > 0) return heardSpan(origin);
        if (timed && phase != static_cast<int64_t>(CrossfadePhase::idle)) {
            const double end =
                static_cast<double>(now.mHostTime) + static_cast<double>(frames) * ticksPerFrame;
            fade->primaryHeardEnd_.store(static_cast<uint64_t>(end), std::memory_order_relaxed);
        }
        return {.gain =
                    crossfadeGain(phase, fade->progress_.load(std::memory_order_relaxed), role)};
    }
    fade->secondarySamplesProcessed_.fetch_add(frames, std::memory_order_relaxed);
    if (!fading) return {.gain = crossfadeGain(phase, 0.0f, role)};

    const int64_t played =
        fade->secondarySampleCount_.fetch_add(frames, std::memory_order_relaxed) + frames;
    if (!timed || total < 1) {
        const float progress = fadeProgress(played, total);
        fade->progress_.store(progress, std::memory_order_relaxed);
        return {.gain = crossfadeGain(phase, progress, role)};
    }
    uint64_t origin = fade->originHostTime_.load(std::memory_order_relaxed);
    if (origin == 0) {
        origin = std::max(now.mHostTime, fade->primaryHeardEnd_.load(std::memory_order_relaxed));
        fade->originHostTime_.store(origin, std::memory_order_relaxed);
    }
    const FadeSpan span = heardSpan(origin);
    const double last = span.first + span.step * static_cast<double>(frames - 1);
    fade->progress_.store(last <= 0.0 ? 0.0f : (last >= 1.0 ? 1.0f : static_cast<float>(last)),
                          std::memory_order_relaxed);
    return span;
}

float IOProcRenderer::renderFrames(const audio::AudioBuffer& in, const audio::AudioBuffer& out,
                                   size_t frames, float gain) noexcept {
    const uint32_t inChannels = in.mNumberChannels;
    const uint32_t outChannels = out.mNumberChannels;
    const auto* source = static_cast<const float*>(in.mData);
    auto* destination = static_cast<float*>(out.mData);

    if (outChannels != 1 && inChannels >= 2) {
        if (inChannels == 2 && outChannels == 2) {
            return renderContiguous({source, frames * 2}, {destination, frames * 2}, gain);
        }
        // Channels beyond the first two stay silent.
        std::memset(destination, 0, frames * outChannels * kBytesPerSample);
        return renderStereo({source, frames * inChannels}, inChannels,
                            {destination, frames * outChannels}, outChannels, frames, gain);
    }
    const uint32_t inStride = inChannels <= 1 ? 1 : inChannels;
    return renderMono({source, frames * inStride}, inStride, {destination, frames * outChannels},
                      outChannels, frames, gain);
}

void IOProcRenderer::writeLog() {
    log_.drain([this](const CycleNote& note) {
        std::string line =
            "IOProc slot=" + std::to_string(slot) + " tick=" + std::to_string(note.tick);
        switch (note.kind) {
            case CycleNote::Kind::noBuffers:
                line += " no buffers — skip";
                break;
            case CycleNote::Kind::warmup:
                line += " warmup-mute frames=" + std::to_string(note.frames) +
                        " remaining=" + std::to_string(note.remaining);
                break;
            case CycleNote::Kind::cycle:
                line += " frames=" + std::to_string(note.frames) +
                        " inCh=" + std::to_string(note.inChannels) +
                        " outCh=" + std::to_string(note.outChannels) +
                        " gain=" + floatText(note.gain) + " peak=" + floatText(note.peak) +
                        " smoothed=" + floatText(note.smoothed);
                break;
        }
        TAKLog::log().info(line);
    });
}

}  // namespace tobble::engine
