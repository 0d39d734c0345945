#include "engine/core/TAKError.h"

#include "engine/core/FourCC.h"

namespace tobble::engine {
namespace {

std::string describe(TAKError::Kind kind, int32_t code, const std::string& context) {
    switch (kind) {
        case TAKError::Kind::status:
            return "CoreAudio error " + statusText(code) + ": " + context;
        case TAKError::Kind::ioProcCreateFailed:
            return "AudioDeviceCreateIOProcIDWithBlock failed: " + statusText(code);
        case TAKError::Kind::aggregateRebuildFailed:
            return "Aggregate rebuild failed: " + statusText(code);
        case TAKError::Kind::unsupportedOS:
            return "TAK requires macOS 15.0 or later";
        case TAKError::Kind::noDefaultOutput:
            return "No default output device";
        case TAKError::Kind::noAudibleProcess:
            return "No audible output process to tap";
        case TAKError::Kind::tapUIDMissing:
            return "Created tap has no kAudioTapPropertyUID";
        case TAKError::Kind::noSlotsAvailable:
            return "All TAK slots in use and none eligible for LRU eviction";
    }
    return "TAK error";
}

}  // namespace

TAKError::TAKError(Kind kind, int32_t code, std::string context)
    : kind_(kind),
      code_(code),
      context_(std::move(context)),
      description_(describe(kind_, code_, context_)) {}

}  // namespace tobble::engine
