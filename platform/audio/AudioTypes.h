#pragma once

#include <cstdint>

#include "platform/audio/FourCharCode.h"

// The vocabulary of the audio hardware interface, with the platform's own numeric values so
// that statuses and selectors print exactly as on the platform.
namespace tobble::audio {

using AudioObjectID = uint32_t;
using AudioClassID = uint32_t;
using OSStatus = int32_t;
using IOProcID = uint64_t;  // 0 means none

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

// ---- status codes
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCharCode("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCharCode("!dev"));
constexpr OSStatus kAudioHardwareBadStreamError = static_cast<OSStatus>(fourCharCode("!str"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(fourCharCode("unop"));
constexpr OSStatus kAudioDevicePermissionsError = static_cast<OSStatus>(fourCharCode("!hog"));
constexpr OSStatus kAudio_ParamError = -50;

// ---- scopes and elements
constexpr uint32_t kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr uint32_t kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr uint32_t kAudioObjectPropertyScopeOutput = fourCharCode("outp");
constexpr uint32_t kAudioObjectPropertyElementMain = 0;

// ---- selectors: every object
constexpr uint32_t kAudioObjectPropertyClass = fourCharCode("clas");
constexpr uint32_t kAudioObjectPropertyName = fourCharCode("lnam");
constexpr uint32_t kAudioObjectPropertyOwnedObjects = fourCharCode("ownd");

// ---- selectors: the system object
constexpr uint32_t kAudioHardwarePropertyDevices = fourCharCode("dev#");
constexpr uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
constexpr uint32_t kAudioHardwarePropertyDefaultSystemOutputDevice = fourCharCode("sOut");
constexpr uint32_t kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
constexpr uint32_t kAudioHardwarePropertyTapList = fourCharCode("tps#");
constexpr uint32_t kAudioHardwarePropertyTranslateUIDToDevice = fourCharCode("uidd");
// Ours, not the device model's: a UInt32, 1 where a new aggregate's first cycles are clean (a
// graph that starts every node on a cycle boundary), so a new pipeline needs no silent warm-up.
// Absent where devices may glitch when started.
constexpr uint32_t kTobbleHardwarePropertyStartsCleanly = fourCharCode("tbcl");

// ---- selectors: devices
constexpr uint32_t kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr uint32_t kAudioDevicePropertyTransportType = fourCharCode("tran");
constexpr uint32_t kAudioDevicePropertyStreams = fourCharCode("stm#");
constexpr uint32_t kAudioDevicePropertyStreamConfiguration = fourCharCode("slay");
constexpr uint32_t kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
constexpr uint32_t kAudioDevicePropertyBufferFrameSize = fourCharCode("fsiz");
constexpr uint32_t kAudioDevicePropertyDeviceIsAlive = fourCharCode("livn");
constexpr uint32_t kAudioDevicePropertyDeviceIsRunning = fourCharCode("goin");
constexpr uint32_t kAudioDevicePropertyVolumeScalar = fourCharCode("volm");
constexpr uint32_t kAudioDevicePropertyMute = fourCharCode("mute");
constexpr uint32_t kAudioHardwareServiceDeviceProperty_VirtualMainVolume = fourCharCode("vmvc");
constexpr uint32_t kAudioAggregateDevicePropertyFullSubDeviceList = fourCharCode("grup");
constexpr uint32_t kAudioAggregateDevicePropertyTapList = fourCharCode("tap#");

// ---- selectors: process objects
constexpr uint32_t kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr uint32_t kAudioProcessPropertyBundleID = fourCharCode("pbid");
constexpr uint32_t kAudioProcessPropertyIsRunning = fourCharCode("pir?");
constexpr uint32_t kAudioProcessPropertyIsRunningOutput = fourCharCode("piro");

// ---- selectors: taps
constexpr uint32_t kAudioTapPropertyUID = fourCharCode("tuid");
constexpr uint32_t kAudioTapPropertyFormat = fourCharCode("tfmt");

// ---- classes
constexpr AudioClassID kAudioSystemObjectClassID = fourCharCode("asys");
constexpr AudioClassID kAudioDeviceClassID = fourCharCode("adev");
constexpr AudioClassID kAudioAggregateDeviceClassID = fourCharCode("aagg");
constexpr AudioClassID kAudioProcessClassID = fourCharCode("clnt");
constexpr AudioClassID kAudioTapClassID = fourCharCode("tcls");
constexpr AudioClassID kAudioStreamClassID = fourCharCode("astr");

// ---- device transport types
constexpr uint32_t kAudioDeviceTransportTypeUnknown = 0;
constexpr uint32_t kAudioDeviceTransportTypeBuiltIn = fourCharCode("bltn");
constexpr uint32_t kAudioDeviceTransportTypeAggregate = fourCharCode("grup");
constexpr uint32_t kAudioDeviceTransportTypeVirtual = fourCharCode("virt");
constexpr uint32_t kAudioDeviceTransportTypePCI = fourCharCode("pci ");
constexpr uint32_t kAudioDeviceTransportTypeUSB = fourCharCode("usb ");
constexpr uint32_t kAudioDeviceTransportTypeBluetooth = fourCharCode("blue");
constexpr uint32_t kAudioDeviceTransportTypeBluetoothLE = fourCharCode("blea");
constexpr uint32_t kAudioDeviceTransportTypeHDMI = fourCharCode("hdmi");
constexpr uint32_t kAudioDeviceTransportTypeDisplayPort = fourCharCode("dprt");
constexpr uint32_t kAudioDeviceTransportTypeAirPlay = fourCharCode("airp");
constexpr uint32_t kAudioDeviceTransportTypeThunderbolt = fourCharCode("thun");

// ---- stream formats
constexpr uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct PropertyAddress {
    uint32_t selector = 0;
    uint32_t scope = kAudioObjectPropertyScopeGlobal;
    uint32_t element = kAudioObjectPropertyElementMain;

    friend bool operator==(const PropertyAddress&, const PropertyAddress&) = default;
};

// The 40-byte stream description (sample rate, then eight 32-bit fields).
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = 0;
    uint32_t mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 0;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// ---- I/O callback data: interleaved 32-bit float buffers.
struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A buffer list with room for a few buffers; the callback reads mNumberBuffers of them.
struct AudioBufferList {
    static constexpr uint32_t kCapacity = 4;
    uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[kCapacity];
};

// Byte layout of a stream configuration property: a 32-bit buffer count, then that many
// AudioBuffer records of which only mNumberChannels is meaningful.
struct StreamConfigurationHeader {
    uint32_t mNumberBuffers = 0;
    uint32_t mPadding = 0;
};

struct AudioTimeStamp {
    static constexpr uint32_t kSampleTimeValid = 1u << 0;
    static constexpr uint32_t kHostTimeValid = 1u << 1;
    double mSampleTime = 0;
    uint64_t mHostTime = 0;
    uint32_t mFlags = 0;
};

}  // namespace tobble::audio
