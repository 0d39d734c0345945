#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio/sim/SimAudioSystem.h"

namespace tobble::audio::sim::detail {

// What reached one device: a record per cycle, and the raw interleaved samples of the most
// recent cycles in a ring. Records are kept for the device's whole life unless limited, then in
// a ring too. Storage is reserved up front so recording a cycle does not allocate (an unlimited
// record list grows only after ten minutes of a device's life). Guarded by the sim's lock.
class DeviceRecording {
  public:
    DeviceRecording(uint32_t channels, uint32_t bufferFrames, double sampleRate,
                    double historySeconds, double recordSeconds);

    bool hasLayout(uint32_t channels, uint32_t bufferFrames) const {
        return channels == channels_ && bufferFrames == bufferFrames_;
    }

    // `mix` holds bufferFrames × channels interleaved samples.
    void append(const CycleRecord& record, std::span<const float> mix);

    std::vector<CycleRecord> cycles(double from, double to) const;
    std::vector<float> samples(uint32_t channel, double from, double to) const;
    double rms(uint32_t channel, double from, double to) const;

    void setHistorySeconds(double seconds);
    // Keeps the records of the last `seconds` only (infinity: all); starts the records afresh.
    void setRecordSeconds(double seconds);
    void clear();

  private:
    // Calls `visit(span of one cycle's interleaved samples)` for the cycles in [from, to) that
    // are still in the ring, oldest first.
    template <typename Visit>
    void forEachRecordedCycle(double from, double to, Visit&& visit) const;

    // The record of cycle `index` (counted since the last clear), which must still be kept.
    const CycleRecord& record(size_t index) const {
        return cycles_[recordSlots_ == kAllRecords ? index : index % recordSlots_];
    }
    size_t firstKept() const { return total_ > recordSlots_ ? total_ - recordSlots_ : 0; }

    static constexpr size_t kAllRecords = SIZE_MAX;

    uint32_t channels_;
    uint32_t bufferFrames_;
    double sampleRate_;
    std::vector<CycleRecord> cycles_;
    size_t total_ = 0;  // cycles recorded since the last clear
    size_t recordSlots_ = kAllRecords;
    size_t ringSlots_ = 0;   // cycles of samples kept
    size_t ringOrigin_ = 0;  // index of the first cycle recorded into the current ring
    std::unique_ptr<float[]> ring_;
};

}  // namespace tobble::audio::sim::detail
