#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/TAKOutputPins.h"
#include "platform/system/UserDefaults.h"

namespace tobble::app {

// The output device each application was sent to, by the identity its volume is saved under,
// kept as the device's uid so that it finds the device again after a restart or a reconnect.
// Loaded once when the store is created; every change is written at once.
//
// An unknown schema version or an unreadable document is logged and reads as empty; the next
// change first keeps it aside under "TobbleAppOutputsBackup" (or Backup2, ...). An entry that
// cannot be read costs only itself. Thread-safe: writes are serialised under the store's lock.
class OutputPinStore final : public engine::TAKOutputPins {
  public:
    using Pins = std::map<std::string, std::string, std::less<>>;  // identity → device uid

    explicit OutputPinStore(system::UserDefaults& defaults);
    OutputPinStore(const OutputPinStore&) = delete;
    OutputPinStore& operator=(const OutputPinStore&) = delete;

    Pins pins() const;
    std::optional<std::string> pinnedOutput(const std::string& bundleID) override;

    // Sends `bundleID` to the device `uid`; an empty uid makes it follow the default again. An
    // identity that names no application (empty, "pid:N") changes nothing and gives false, as
    // does a change that cannot be written (logged; the stored document stays as it was).
    bool setPin(std::string_view bundleID, std::string_view uid);

  private:
    void load();

    system::UserDefaults& defaults_;
    mutable std::mutex mutex_;
    Pins pins_;
    bool keepAside_ = false;
};

}  // namespace tobble::app
