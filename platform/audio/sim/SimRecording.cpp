#include "platform/audio/sim/SimRecording.h"

#include <algorithm>
#include <cmath>

namespace tobble::audio::sim::detail {

namespace {
constexpr double kReservedRecordSeconds = 600.0;

size_t cyclesIn(double seconds, uint32_t bufferFrames, double sampleRate) {
    if (seconds <= 0 || bufferFrames == 0 || sampleRate <= 0) return 0;
    return static_cast<size_t>(std::ceil(seconds * sampleRate / bufferFrames));
}
}  // namespace

DeviceRecording::DeviceRecording(uint32_t channels, uint32_t bufferFrames, double sampleRate,
                                 double historySeconds)
    : channels_(channels), bufferFrames_(bufferFrames), sampleRate_(sampleRate) {
    cycles_.reserve(cyclesIn(kReservedRecordSeconds, bufferFrames, sampleRate));
    setHistorySeconds(historySeconds);
}

void DeviceRecording::setHistorySeconds(double seconds) {
    ringSlots_ = channels_ == 0 ? 0 : cyclesIn(seconds, bufferFrames_, sampleRate_);
    // Left uninitialised: pages of a long history are only touched once written.
    ring_ = ringSlots_ == 0
                ? nullptr
                : std::make_unique_for_overwrite<float[]>(ringSlots_ * bufferFrames_ * channels_);
    // Cycles recorded before the change keep their records but have no samples.
    ringOrigin_ = cycles_.size();
}

void DeviceRecording::clear() {
    cycles_.clear();
    ringOrigin_ = 0;
}

void DeviceRecording::append(const CycleRecord& record, std::span<const float> mix) {
    const size_t index = cycles_.size();
    cycles_.push_back(record);
    if (ringSlots_ == 0) return;
    const size_t slotSize = static_cast<size_t>(bufferFrames_) * channels_;
    float* slot = ring_.get() + ((index - ringOrigin_) % ringSlots_) * slotSize;
    const size_t n = std::min(slotSize, mix.size());
    std::copy_n(mix.begin(), n, slot);
    std::fill(slot + n, slot + slotSize, 0.0f);
}

std::vector<CycleRecord> DeviceRecording::cycles(double from, double to) const {
    std::vector<CycleRecord> out;
    for (const auto& record : cycles_) {
        if (record.time >= from && record.time < to) out.push_back(record);
    }
    return out;
}

template <typename Visit>
void DeviceRecording::forEachRecordedCycle(double from, double to, Visit&& visit) const {
    if (ringSlots_ == 0) return;
    const size_t slotSize = static_cast<size_t>(bufferFrames_) * channels_;
    const size_t first =
        std::max(ringOrigin_, cycles_.size() > ringSlots_ ? cycles_.size() - ringSlots_ : 0);
    // Records are in time order: skip to the window by binary search.
    auto begin =
        std::lower_bound(cycles_.begin() + static_cast<std::ptrdiff_t>(first), cycles_.end(), from,
                         [](const CycleRecord& r, double t) { return r.time < t; });
    for (auto it = begin; it != cycles_.end() && it->time < to; ++it) {
        const size_t index = static_cast<size_t>(it - cycles_.begin());
        const float* slot = ring_.get() + ((index - ringOrigin_) % ringSlots_) * slotSize;
        visit(
            std::span<const float>(slot, std::min<size_t>(it->frames, bufferFrames_) * channels_));
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
