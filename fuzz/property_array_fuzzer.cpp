// The property-array reader over an audio system that answers with arbitrary sizes, statuses and
// byte counts. It must never read or write outside its buffer, never throw anything but
// TAKError, and never return more ids than the data read delivered.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/core/TAKCoreAudio.h"
#include "fuzz/FuzzSupport.h"

using namespace tobble;

namespace {

// Reads its answers from the fuzz input, front to back; zeros once the input is used up.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | (pos_ < size_ ? bytes_[pos_++] : 0u);
        return v;
    }
    uint8_t u8() { return pos_ < size_ ? bytes_[pos_++] : 0; }

  private:
    const uint8_t* bytes_;
    size_t size_;
    size_t pos_ = 0;
};

class HostileAudioHardware final : public audio::AudioHardware {
  public:
    explicit HostileAudioHardware(FuzzInput& in) : in_(in) {}

    audio::OSStatus status() {
        // Mostly success, so the interesting paths are reached.
        const uint8_t pick = in_.u8();
        return pick < 200 ? audio::kAudioHardwareNoError : static_cast<audio::OSStatus>(in_.u32());
    }

    bool hasProperty(audio::AudioObjectID, const audio::PropertyAddress&) override { return true; }
    audio::OSStatus getPropertyDataSize(audio::AudioObjectID, const audio::PropertyAddress&,
                                        uint32_t& size) override {
        const auto s = status();
        size = in_.u32() % 4096;  // sizes above a few KiB only slow the search down
        return s;
    }
    audio::OSStatus getPropertyData(audio::AudioObjectID, const audio::PropertyAddress&,
                                    uint32_t& ioSize, void* data) override {
        const auto s = status();
        const uint32_t capacity = ioSize;
        // Fill what fits, then report any byte count at all: a backend may claim more or less
        // than it wrote, or than there was room for.
        for (uint32_t i = 0; i < capacity; ++i) static_cast<uint8_t*>(data)[i] = in_.u8();
        ioSize = in_.u32() % 8192;
        return s;
    }
    audio::OSStatus setPropertyData(audio::AudioObjectID, const audio::PropertyAddress&, uint32_t,
                                    const void*) override {
        return status();
    }
    audio::OSStatus getPropertyString(audio::AudioObjectID, const audio::PropertyAddress&,
                                      std::optional<std::string>& out) override {
        const auto s = status();
        if (in_.u8() & 1) out = std::string(in_.u8() % 16, 'x');
        return s;
    }
    audio::OSStatus addPropertyListener(audio::AudioObjectID, const audio::PropertyAddress&,
                                        dispatch::QueuePtr, audio::PropertyListenerBlock) override {
        return status();
    }
    audio::OSStatus removePropertyListener(audio::AudioObjectID, const audio::PropertyAddress&,
                                           dispatch::QueuePtr,
                                           audio::PropertyListenerBlock) override {
        return status();
    }
    audio::OSStatus createProcessTap(const audio::TapDescription&, audio::AudioObjectID&) override {
        return status();
    }
    audio::OSStatus destroyProcessTap(audio::AudioObjectID) override { return status(); }
    audio::OSStatus createAggregateDevice(const audio::AudioValue&,
                                          audio::AudioObjectID&) override {
        return status();
    }
    audio::OSStatus destroyAggregateDevice(audio::AudioObjectID) override { return status(); }
    audio::OSStatus createIOProcID(audio::AudioObjectID, dispatch::QueuePtr, audio::IOProcBlock,
                                   audio::IOProcID&) override {
        return status();
    }
    audio::OSStatus destroyIOProcID(audio::AudioObjectID, audio::IOProcID) override {
        return status();
    }
    audio::OSStatus deviceStart(audio::AudioObjectID, audio::IOProcID) override { return status(); }
    audio::OSStatus deviceStop(audio::AudioObjectID, audio::IOProcID) override { return status(); }

  private:
    FuzzInput& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    fuzz::silenceLogs();
    FuzzInput in(bytes, size);
    HostileAudioHardware hardware(in);
    const engine::TAKCoreAudio core(hardware);
    for (int call = 0; call < 4; ++call) {
        try {
            const auto ids = core.getPropertyArray(audio::kAudioObjectSystemObject,
                                                   audio::kAudioHardwarePropertyDevices);
            if (ids.size() > 4096 / 4) fuzz::fail("more ids than the reported size allows");
        } catch (const engine::TAKError&) {
        }
        (void)core.deviceID("x");
        (void)core.readProperty<uint32_t>(1, audio::kAudioDevicePropertyTransportType);
    }
    return 0;
}
