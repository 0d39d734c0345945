#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/AudioHardware.h"

struct pw_core;
struct pw_filter;
struct spa_io_position;

namespace tobble::audio::pipewire::detail {

// One DSP node of ours: mono float input ports (the tap's channels) and output ports (the
// device's channels), processed in the graph cycle of the device it is linked to. The engine's
// I/O block runs inside its process callback on PipeWire's data thread; everything that thread
// touches is preallocated here and handed over through atomics.
class PwFilter {
  public:
    // What the filter plays while no started block is attached.
    enum class IdleMode { Silence, PassThrough };

    // Call with the thread loop locked.
    PwFilter(pw_core* core, const std::string& nodeName, std::vector<std::string> inputChannels,
             std::vector<std::string> outputChannels);
    ~PwFilter();  // loop locked
    PwFilter(const PwFilter&) = delete;
    PwFilter& operator=(const PwFilter&) = delete;

    bool connected() const { return filter_ != nullptr; }
    uint32_t nodeId() const;  // loop locked; SPA_ID_INVALID until the server has it
    const std::vector<std::string>& inputChannels() const { return inChannels_; }
    const std::vector<std::string>& outputChannels() const { return outChannels_; }

    // The block is owned by the caller and must stay valid until detachBlock() returned.
    void attachBlock(const IOProcBlock* block) { block_.store(block, std::memory_order_seq_cst); }
    // After it returns no cycle runs or will run the detached block. Never call from a cycle.
    void detachBlock();
    void setStarted(bool started) { started_.store(started, std::memory_order_relaxed); }
    void setIdleMode(IdleMode mode) { idleMode_.store(mode, std::memory_order_relaxed); }

    // Links made for this filter: non-lingering links live as long as their proxy, so the filter
    // keeps them and drops them only after its node is gone.
    void keepLink(void* linkProxy) { links_.push_back(linkProxy); }
    // The device node the outputs are linked to: whether it drives the graph decides when a
    // cycle's output is heard.
    void setOutputNode(uint32_t node) { outputNode_.store(node, std::memory_order_relaxed); }

    // Statistics for measurements: cycles run and nanoseconds spent in them.
    uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    uint64_t busyNanos() const { return busyNanos_.load(std::memory_order_relaxed); }

    static constexpr uint32_t kMaxFrames = 8192;  // the server's clock.quantum-limit

  private:
    static void onProcess(void* data, spa_io_position* position);
    void process(spa_io_position* position) noexcept;

    pw_filter* filter_ = nullptr;
    std::vector<std::string> inChannels_;
    std::vector<std::string> outChannels_;
    std::vector<void*> inPorts_;
    std::vector<void*> outPorts_;
    void* listener_ = nullptr;
    std::vector<void*> links_;  // spa_hook, kept opaque to keep PipeWire out of this header

    // Real-time side.
    std::atomic<const IOProcBlock*> block_{nullptr};
    std::atomic<bool> inFlight_{false};
    std::atomic<bool> started_{false};
    std::atomic<uint32_t> outputNode_{0xffffffff};
    bool outputHasDriven_ = false;  // data thread only
    std::atomic<IdleMode> idleMode_{IdleMode::PassThrough};
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> busyNanos_{0};
    std::vector<float> inScratch_;
    std::vector<float> outScratch_;
    std::vector<float*> inBuffers_;
    std::vector<float*> outBuffers_;
};

}  // namespace tobble::audio::pipewire::detail
