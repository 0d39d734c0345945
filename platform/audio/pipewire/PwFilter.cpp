#include "platform/audio/pipewire/PwFilter.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/utils/hook.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace tobble::audio::pipewire::detail {

namespace {

struct PortData {
    uint32_t unused;
};

uint64_t monotonicNanos() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void* addPort(pw_filter* filter, pw_direction direction, const std::string& name,
              const std::string& channel) {
    pw_properties* props =
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                          name.c_str(), PW_KEY_AUDIO_CHANNEL, channel.c_str(), nullptr);
    return pw_filter_add_port(filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof(PortData),
                              props, nullptr, 0);
}

}  // namespace

PwFilter::PwFilter(pw_core* core, const std::string& nodeName,
                   std::vector<std::string> inputChannels, std::vector<std::string> outputChannels)
    : inChannels_(std::move(inputChannels)), outChannels_(std::move(outputChannels)) {
    inScratch_.assign(static_cast<size_t>(kMaxFrames) * std::max<size_t>(inChannels_.size(), 1),
                      0.f);
    outScratch_.assign(static_cast<size_t>(kMaxFrames) * std::max<size_t>(outChannels_.size(), 1),
                       0.f);
    inBuffers_.assign(inChannels_.size(), nullptr);
    outBuffers_.assign(outChannels_.size(), nullptr);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter", PW_KEY_MEDIA_ROLE, "DSP",
        PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
    // No node.latency: the smallest latency in a group sets the graph's quantum, and a filter
    // asking for less would lower the latency of every application it carries (and of its
    // device), and with it the margin against dropouts. The filter runs at whatever quantum
    // the graph has.
    pw_filter* filter = pw_filter_new(core, nodeName.c_str(), props);
    if (!filter) return;

    auto* hook = new spa_hook{};
    listener_ = hook;
    static const pw_filter_events events = [] {
        pw_filter_events e{};
        e.version = PW_VERSION_FILTER_EVENTS;
        e.process = &PwFilter::onProcess;
        return e;
    }();
    pw_filter_add_listener(filter, hook, &events, this);

    for (const auto& c : inChannels_)
        inPorts_.push_back(addPort(filter, PW_DIRECTION_INPUT, "in_" + c, c));
    for (const auto& c : outChannels_) {
        outPorts_.push_back(addPort(filter, PW_DIRECTION_OUTPUT, "out_" + c, c));
    }
    // RT_PROCESS: the callback runs in the graph cycle itself, not deferred to the main loop.
    if (pw_filter_connect(filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        spa_hook_remove(hook);
        pw_filter_destroy(filter);
        return;
    }
    filter_ = filter;
}

PwFilter::~PwFilter() {
    detachBlock();
    auto* hook = static_cast<spa_hook*>(listener_);
    if (filter_) {
        spa_hook_remove(hook);
        pw_filter_destroy(filter_);  // its links die with it
    }
    for (void* link : links_) pw_proxy_destroy(static_cast<pw_proxy*>(link));
    delete hook;
}

uint32_t PwFilter::nodeId() const {
    return filter_ ? pw_filter_get_node_id(filter_) : SPA_ID_INVALID;
}

namespace {
// Set while this thread runs a filter's block. A fatal signal raised inside the block runs the
// crash handler on this very thread, and the handler's teardown must not wait for the cycle it
// interrupted: that cycle never ends.
thread_local bool insideBlock = false;
}  // namespace

void PwFilter::detachBlock() {
    block_.store(nullptr, std::memory_order_seq_cst);
    if (insideBlock) return;
    // A cycle raises inFlight before it loads the block: once it is seen low after the store
    // above, no cycle holds the old block.
    while (inFlight_.load(std::memory_order_seq_cst)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void PwFilter::onProcess(void* data, spa_io_position* position) {
    static_cast<PwFilter*>(data)->process(position);
}

void PwFilter::process(spa_io_position* position) noexcept {
    const uint64_t begin = monotonicNanos();
    const uint32_t frames =
        static_cast<uint32_t>(std::min<uint64_t>(position->clock.duration, kMaxFrames));
    const size_t inCount = inChannels_.size();
    const size_t outCount = outChannels_.size();
    for (size_t c = 0; c < inCount; ++c) {
        inBuffers_[c] = static_cast<float*>(pw_filter_get_dsp_buffer(inPorts_[c], frames));
    }
    for (size_t c = 0; c < outCount; ++c) {
        outBuffers_[c] = static_cast<float*>(pw_filter_get_dsp_buffer(outPorts_[c], frames));
    }

    inFlight_.store(true, std::memory_order_seq_cst);
    const IOProcBlock* block = block_.load(std::memory_order_seq_cst);
    if (block != nullptr && started_.load(std::memory_order_relaxed)) {
        // Interleave the tap's channels, run the engine's cycle, spread its output back.
        for (size_t c = 0; c < inCount; ++c) {
            const float* src = inBuffers_[c];
            for (uint32_t i = 0; i < frames; ++i) inScratch_[i * inCount + c] = src ? src[i] : 0.f;
        }
        AudioBufferList input;
        if (inCount > 0) {
            input.mNumberBuffers = 1;
            input.mBuffers[0].mNumberChannels = static_cast<uint32_t>(inCount);
            input.mBuffers[0].mDataByteSize =
                static_cast<uint32_t>(frames * inCount * sizeof(float));
            input.mBuffers[0].mData = inScratch_.data();
        }
        AudioBufferList output;
        output.mNumberBuffers = 1;
        output.mBuffers[0].mNumberChannels = static_cast<uint32_t>(outCount);
        output.mBuffers[0].mDataByteSize = static_cast<uint32_t>(frames * outCount * sizeof(float));
        output.mBuffers[0].mData = outScratch_.data();
        std::memset(outScratch_.data(), 0, frames * outCount * sizeof(float));

        // Stamped with when the block's first frame is heard. A device that drives the graph
        // plays a cycle's output one cycle after a device that follows it, and keeps that cycle
        // queued when another device takes the graph over: once it has driven while linked to
        // us, it stays a cycle late.
        if (position->clock.id == outputNode_.load(std::memory_order_relaxed)) {
            outputHasDriven_ = true;
        }
        const uint64_t delayFrames = outputHasDriven_ ? position->clock.duration : 0;
        const uint64_t delayNanos = position->clock.rate.denom == 0
                                        ? 0
                                        : delayFrames * 1'000'000'000ULL *
                                              position->clock.rate.num / position->clock.rate.denom;
        AudioTimeStamp now;
        now.mSampleTime = static_cast<double>(position->clock.position + delayFrames);
        // CLOCK_MONOTONIC, the dispatcher's host clock.
        now.mHostTime = position->clock.nsec + delayNanos;
        now.mFlags = AudioTimeStamp::kSampleTimeValid | AudioTimeStamp::kHostTimeValid;
        insideBlock = true;
        (*block)(now, input, output);
        insideBlock = false;

        for (size_t c = 0; c < outCount; ++c) {
            float* dst = outBuffers_[c];
            if (!dst) continue;
            for (uint32_t i = 0; i < frames; ++i) dst[i] = outScratch_[i * outCount + c];
        }
    } else {
        const bool pass = idleMode_.load(std::memory_order_relaxed) == IdleMode::PassThrough;
        for (size_t c = 0; c < outCount; ++c) {
            float* dst = outBuffers_[c];
            if (!dst) continue;
            const float* src = pass && c < inCount ? inBuffers_[c] : nullptr;
            if (src) {
                std::memcpy(dst, src, frames * sizeof(float));
            } else {
                std::memset(dst, 0, frames * sizeof(float));
            }
        }
    }
    inFlight_.store(false, std::memory_order_seq_cst);
    cycles_.fetch_add(1, std::memory_order_relaxed);
    busyNanos_.fetch_add(monotonicNanos() - begin, std::memory_order_relaxed);
}

}  // namespace tobble::audio::pipewire::detail
