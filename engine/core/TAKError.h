#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tobble::engine {

// The engine's one error type. Operations that can fail throw it; its description is the text
// that goes into log lines.
class TAKError final : public std::exception {
  public:
    enum class Kind {
        status,                  // a failed platform call: status code plus context
        ioProcCreateFailed,      // installing an I/O callback failed
        aggregateRebuildFailed,  // a pipeline build or rebuild failed
        unsupportedOS,
        noDefaultOutput,
        noAudibleProcess,  // a tap over no processes
        tapUIDMissing,     // a created tap has no UID
        noSlotsAvailable,  // all catalog slots taken, none evictable
    };

    static TAKError status(int32_t code, std::string context) {
        return TAKError(Kind::status, code, std::move(context));
    }
    static TAKError ioProcCreateFailed(int32_t code) {
        return TAKError(Kind::ioProcCreateFailed, code, {});
    }
    static TAKError aggregateRebuildFailed(int32_t code) {
        return TAKError(Kind::aggregateRebuildFailed, code, {});
    }
    static TAKError unsupportedOS() { return TAKError(Kind::unsupportedOS, 0, {}); }
    static TAKError noDefaultOutput() { return TAKError(Kind::noDefaultOutput, 0, {}); }
    static TAKError noAudibleProcess() { return TAKError(Kind::noAudibleProcess, 0, {}); }
    static TAKError tapUIDMissing() { return TAKError(Kind::tapUIDMissing, 0, {}); }
    static TAKError noSlotsAvailable() { return TAKError(Kind::noSlotsAvailable, 0, {}); }

    Kind kind() const { return kind_; }
    int32_t code() const { return code_; }
    const std::string& context() const { return context_; }

    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    TAKError(Kind kind, int32_t code, std::string context);

    Kind kind_;
    int32_t code_;
    std::string context_;
    std::string description_;
};

}  // namespace tobble::engine
