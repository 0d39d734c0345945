#include "platform/audio/sim/SimFaults.h"

#include <algorithm>

namespace tobble::audio::sim {

namespace {

struct CallName {
    SimCall call;
    std::string_view name;
};

constexpr std::array<CallName, detail::kSimCallCount> kCallNames{{
    {SimCall::GetPropertyDataSize, "AudioObjectGetPropertyDataSize"},
    {SimCall::GetPropertyData, "AudioObjectGetPropertyData"},
    {SimCall::SetPropertyData, "AudioObjectSetPropertyData"},
    {SimCall::AddPropertyListener, "AudioObjectAddPropertyListenerBlock"},
    {SimCall::RemovePropertyListener, "AudioObjectRemovePropertyListenerBlock"},
    {SimCall::CreateProcessTap, "AudioHardwareCreateProcessTap"},
    {SimCall::DestroyProcessTap, "AudioHardwareDestroyProcessTap"},
    {SimCall::CreateAggregateDevice, "AudioHardwareCreateAggregateDevice"},
    {SimCall::DestroyAggregateDevice, "AudioHardwareDestroyAggregateDevice"},
    {SimCall::CreateIOProcID, "AudioDeviceCreateIOProcIDWithBlock"},
    {SimCall::DestroyIOProcID, "AudioDeviceDestroyIOProcID"},
    {SimCall::DeviceStart, "AudioDeviceStart"},
    {SimCall::DeviceStop, "AudioDeviceStop"},
}};

}  // namespace

std::string_view simCallName(SimCall call) {
    for (const auto& entry : kCallNames) {
        if (entry.call == call) return entry.name;
    }
    return {};
}

std::optional<SimCall> simCallFromName(std::string_view name) {
    for (const auto& entry : kCallNames) {
        if (entry.name == name) return entry.call;
    }
    return std::nullopt;
}

namespace detail {

void FaultTable::failNext(SimCall call, OSStatus status, int count,
                          std::optional<uint32_t> selector) {
    if (count <= 0) return;
    rules_.push_back({call, status, count, selector});
}

void FaultTable::clear() { rules_.clear(); }

std::optional<OSStatus> FaultTable::onCall(SimCall call, std::optional<uint32_t> selector) {
    ++counts_[static_cast<size_t>(call)];
    auto it = std::find_if(rules_.begin(), rules_.end(), [&](const Rule& rule) {
        return rule.call == call && (!rule.selector || rule.selector == selector);
    });
    if (it == rules_.end()) return std::nullopt;
    const OSStatus status = it->status;
    if (--it->remaining == 0) rules_.erase(it);
    return status;
}

uint64_t FaultTable::callCount(SimCall call) const { return counts_[static_cast<size_t>(call)]; }

}  // namespace detail
}  // namespace tobble::audio::sim
