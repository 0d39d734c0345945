#pragma once

#include <gmock/gmock.h>

#include "platform/audio/AudioHardware.h"

namespace tobble::testing {

// For cases the simulated system cannot produce on purpose: hostile sizes, objects that shrink
// between two calls, reads that must not happen.
class MockAudioHardware : public audio::AudioHardware {
  public:
    MOCK_METHOD(bool, hasProperty, (audio::AudioObjectID, const audio::PropertyAddress&),
                (override));
    MOCK_METHOD(audio::OSStatus, getPropertyDataSize,
                (audio::AudioObjectID, const audio::PropertyAddress&, uint32_t&), (override));
    MOCK_METHOD(audio::OSStatus, getPropertyData,
                (audio::AudioObjectID, const audio::PropertyAddress&, uint32_t&, void*),
                (override));
    MOCK_METHOD(audio::OSStatus, setPropertyData,
                (audio::AudioObjectID, const audio::PropertyAddress&, uint32_t, const void*),
                (override));
    MOCK_METHOD(audio::OSStatus, getPropertyString,
                (audio::AudioObjectID, const audio::PropertyAddress&, std::optional<std::string>&),
                (override));
    MOCK_METHOD(audio::OSStatus, addPropertyListener,
                (audio::AudioObjectID, const audio::PropertyAddress&, dispatch::QueuePtr,
                 audio::PropertyListenerBlock),
                (override));
    MOCK_METHOD(audio::OSStatus, removePropertyListener,
                (audio::AudioObjectID, const audio::PropertyAddress&, dispatch::QueuePtr,
                 audio::PropertyListenerBlock),
                (override));
    MOCK_METHOD(audio::OSStatus, createProcessTap,
                (const audio::TapDescription&, audio::AudioObjectID&), (override));
    MOCK_METHOD(audio::OSStatus, destroyProcessTap, (audio::AudioObjectID), (override));
    MOCK_METHOD(audio::OSStatus, createAggregateDevice,
                (const audio::AudioValue&, audio::AudioObjectID&), (override));
    MOCK_METHOD(audio::OSStatus, destroyAggregateDevice, (audio::AudioObjectID), (override));
    MOCK_METHOD(audio::OSStatus, createIOProcID,
                (audio::AudioObjectID, dispatch::QueuePtr, audio::IOProcBlock, audio::IOProcID&),
                (override));
    MOCK_METHOD(audio::OSStatus, destroyIOProcID, (audio::AudioObjectID, audio::IOProcID),
                (override));
    MOCK_METHOD(audio::OSStatus, deviceStart, (audio::AudioObjectID, audio::IOProcID), (override));
    MOCK_METHOD(audio::OSStatus, deviceStop, (audio::AudioObjectID, audio::IOProcID), (override));
};

}  // namespace tobble::testing
