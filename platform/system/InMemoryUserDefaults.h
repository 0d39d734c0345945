#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/system/UserDefaults.h"

namespace tobble::system {

// A settings domain that lives only as long as the object: tests, the scenario runner.
class InMemoryUserDefaults final : public UserDefaults {
  public:
    std::optional<DefaultsValue> object(std::string_view key) const override;
    void set(std::string_view key, DefaultsValue value) override;
    void remove(std::string_view key) override;
    void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) override;

    // Every stored value (registered defaults excluded), by key.
    std::map<std::string, DefaultsValue> storedValues() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
    std::map<std::string, DefaultsValue, std::less<>> registered_;
};

}  // namespace tobble::system
