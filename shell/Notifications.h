#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tobble::shell {

// Named in-process notifications between the shell's parts and the views, without an object
// or payload. Main-thread only: observers run synchronously inside post(), in the order they
// registered.
class NotificationCenter {
  public:
    using Token = std::shared_ptr<void>;  // dropping it removes the observer

    static NotificationCenter& defaultCenter();

    [[nodiscard]] Token observe(std::string name, std::function<void()> handler);
    void post(std::string_view name);
    size_t observerCount(std::string_view name) const;

  private:
    struct Entry {
        std::string name;
        std::function<void()> handler;
    };
    std::shared_ptr<std::map<uint64_t, Entry>> observers_ =
        std::make_shared<std::map<uint64_t, Entry>>();
    uint64_t nextID_ = 1;
};

inline constexpr std::string_view kAccessibilityGrantedNotification = "tobbleAccessibilityGranted";
inline constexpr std::string_view kShortcutDidChangeNotification = "tobbleShortcutDidChange";

}  // namespace tobble::shell
