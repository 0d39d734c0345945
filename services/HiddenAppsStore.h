#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/system/UserDefaults.h"

namespace tobble::app {

// The applications the user has hidden from the panel, by bundle identifier, with the name shown
// for them in the settings. Loaded once when the store is created and kept in memory; changes
// reach observers at once but the stored copy changes only on persist().
//
// Thread-safe; observers are called on the thread that made the change, after it is made.
class HiddenAppsStore {
  public:
    using HiddenApps = std::map<std::string, std::string, std::less<>>;  // bundle id → name
    using Observer = std::function<void(const HiddenApps&)>;

    struct ObserverList;

    // Keeps an observer registered for as long as it lives.
    class Observation {
      public:
        Observation() = default;
        Observation(Observation&& other) noexcept;
        Observation& operator=(Observation&& other) noexcept;
        ~Observation() { reset(); }

        void reset();

      private:
        friend class HiddenAppsStore;
        Observation(std::weak_ptr<ObserverList> list, uint64_t id)
            : list_(std::move(list)), id_(id) {}

        std::weak_ptr<ObserverList> list_;
        uint64_t id_ = 0;
    };

    // Loads the stored list; an entry that cannot be read is logged and left out. An unknown
    // schema version or an unreadable document is logged and leaves the list empty; the next
    // persist() keeps it aside under "TobbleHiddenAppsBackup" (or Backup2, ...) before writing.
    explicit HiddenAppsStore(system::UserDefaults& defaults);
    ~HiddenAppsStore();
    HiddenAppsStore(const HiddenAppsStore&) = delete;
    HiddenAppsStore& operator=(const HiddenAppsStore&) = delete;

    // The application's instance lives over the application's own domain, which the shell binds
    // once at start-up, before any view asks for shared(). It is created, and loads, on first use
    // and lives until the process ends; binding again after that has no effect.
    static void bindSharedDefaults(system::UserDefaults& defaults);
    static HiddenAppsStore& shared();

    HiddenApps hiddenApps() const;
    bool isHidden(std::string_view bundleID) const;

    void setHiddenApps(HiddenApps apps);
    // An empty bundle identifier names no application and is ignored.
    void hide(std::string_view bundleID, std::string_view displayName);
    void unhide(std::string_view bundleID);

    // Writes the current list. False (logged) when it cannot be encoded, for instance text that
    // is not valid UTF-8; the stored document then stays as it was.
    bool persist();

    [[nodiscard]] Observation observe(Observer observer);

  private:
    void load();
    // Replaces the list under the lock and tells observers when it changed.
    void update(const std::function<void(HiddenApps&)>& change);

    system::UserDefaults& defaults_;
    mutable std::mutex mutex_;
    HiddenApps hiddenApps_;
    bool keepAside_ = false;  // under mutex_ after construction
    std::shared_ptr<ObserverList> observers_;
};

}  // namespace tobble::app
