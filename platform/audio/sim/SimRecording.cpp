#include "platform/audio/sim/SimRecording.h"

#include <algorithm>
#include <cmath>
#include <ranges>

namespace tobble::audio::sim::detail {

namespace {
constexpr double kReservedRecordSeconds = 600.0;

size_t cyclesIn(double seconds, uint32_t bufferFrames, double sampleRate) {
    if (seconds <= 0 || bufferFrames == 0 || sampleRate <= 0) return 0;
    return static_cast<size_t>(std::ceil(seconds * sampleRate / bufferFrames));
}
}  // namespace

DeviceRecording::DeviceRecording(uint32_t channels, uint32_t bufferFrames, double sampleRate,
                                 double historySeconds, double recordSeconds)
    : channels_(channels), bufferFrames_(bufferFrames), sampleRate_(sampleRate) {
    setRecordSeconds(recordSeconds);
    setHistorySeconds(historySeconds);
}

void DeviceRecording::setRecordSeconds(double seconds) {
    recordSlots_ =
        std::isinf(seconds) ? kAllRecords : cyclesIn(seconds, bufferFrames_, sampleRate_);
    std::vector<CycleRecord>().swap(cycles_);
    cycles_.reserve(
        std::min(recordSlots_, cyclesIn(kReservedRecordSeconds, bufferFrames_, sampleRate_)));
    clear();
}

void DeviceRecording::setHistorySeconds(double seconds) {
    ringSlots_ = channels_ == 0 ? 0 : cyclesIn(seconds, bufferFrames_, sampleRate_);
    // Left uninitialised: pages of a long history are only touched once written.
    ring_ = ringSlots_ == 0
                ? nullptr
                : std::make_unique_for_overwrite<float[]>(ringSlots_ * bufferFrames_ * channels_);
    // Cycles recorded before the change keep their records but have no samples.
    ringOrigin_ = total_;
}

void DeviceRecording::clear() {
    cycles_.clear();
    total_ = 0;
    ringOrigin_ = 0;
}

void DeviceRecording::append(const CycleRecord& record, std::span<const float> mix) {
    const size_t index = total_++;
    if (cycles_.size() < recordSlots_) {
        cycles_.push_back(record);
    } else if (recordSlots_ > 0) {
        cycles_[index % recordSlots_] = record;  // over the oldest
    }
    if (ringSlots_ == 0) return;
    const size_t slotSize = static_cast<size_t>(bufferFrames_) * channels_;
    float* slot = ring_.get() + ((index - ringOrigin_) % ringSlots_) * slotSize;
    const size_t n = std::min(slotSize, mix.size());
    std::copy_n(mix.begin(), n, slot);
    std::fill(slot + n, slot + slotSize, 0.0f);
}

std::vector<CycleRecord> DeviceRecording::cycles(double from, double to) const {
    std::vector<CycleRecord> out;
    for (size_t index = firstKept(); index < total_; ++index) {
        if (record(index).time >= from && record(index).time < to) out.push_back(record(index));
    }
    return out;
}

template <typename Visit>
void DeviceRecording::forEachRecordedCycle(double from, double to, Visit&& visit) const {
    if (ringSlots_ == 0) return;
    const size_t slotSize = static_cast<size_t>(bufferFrames_) * channels_;
    const size_t first =
        std::max({ringOrigin_, total_ > ringSlots_ ? total_ - ringSlots_ : size_t{0}, firstKept()});
    if (first >= total_) return;
    // Records are in time order: skip to the window by binary search.
    const auto kept = std::views::iota(first, total_);
    for (size_t index : std::ranges::subrange(
             std::ranges::partition_point(kept, [&](size_t i) { return record(i).time < from; }),
             kept.end())) {
        const CycleRecord& r = record(index);
        if (r.time >= to) break;
        const float* slot = ring_.get() + ((index - ringOrigin_) % ringSlots_) * slotSize;
        visit(std::span<const float>(slot, std::min<size_t>(r.frames, bufferFrames_) * channels_));
    }
}

std::vector<float> DeviceRecording::samples(uint32_t channel, double from, double to) const {
    std::vector<float> out;
    if (channel >= channels_) return out;
    forEachRecordedCycle(from, to, [&](std::span<const float> cycle) {
        for (size_t i = channel; i < cycle.size(); i += channels_) out.push_back(cycle[i]);
    });
    return out;
}

double DeviceRecording::rms(uint32_t channel, double from, double to) const {
    if (channel >= channels_) return 0;
    double sum = 0;
    size_t count = 0;
    forEachRecordedCycle(from, to, [&](std::span<const float> cycle) {
        for (size_t i = channel; i < cycle.size(); i += channels_) {
            sum += static_cast<double>(cycle[i]) * cycle[i];
            ++count;
        }
    });
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

}  // namespace tobble::audio::sim::detail
