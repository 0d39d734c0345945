#include "services/HiddenAppsStore.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "engine/core/Identity.h"
#include "platform/log/Log.h"
#include "services/DefaultsKeys.h"
#include "services/StoredDocument.h"

namespace tobble::app {

struct HiddenAppsStore::ObserverList {
    std::mutex mutex;
    uint64_t nextId = 1;
    std::map<uint64_t, Observer> observers;
};

namespace {

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "HiddenAppsStore");
    return instance;
}

std::atomic<system::UserDefaults*>& sharedDefaults() {
    static std::atomic<system::UserDefaults*> defaults{nullptr};
    return defaults;
}

HiddenAppsStore::HiddenApps decode(const system::DefaultsData& data) {
    auto document = stored::parse(data);
    if (!document.is_object()) throw stored::DocumentError("not an object of bundle identifiers");
    HiddenAppsStore::HiddenApps apps;
    for (const auto& [bundleID, name] : document.items()) {
        // One bad entry costs only itself.
        if (!name.is_string()) {
            const stored::DocumentError error("entry \"" + bundleID + "\": name is not a string");
            logger().error("Failed to decode hidden apps: " + stored::describeForLog(error));
            continue;
        }
        apps.insert_or_assign(bundleID, name.get<std::string>());
    }
    return apps;
}

}  // namespace

HiddenAppsStore::Observation::Observation(Observation&& other) noexcept
    : list_(std::move(other.list_)), id_(std::exchange(other.id_, 0)) {}

HiddenAppsStore::Observation& HiddenAppsStore::Observation::operator=(
    Observation&& other) noexcept {
    if (this != &other) {
        reset();
        list_ = std::move(other.list_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void HiddenAppsStore::Observation::reset() {
    if (auto list = list_.lock()) {
        std::lock_guard lock(list->mutex);
        list->observers.erase(id_);
    }
    list_.reset();
    id_ = 0;
}

HiddenAppsStore::HiddenAppsStore(system::UserDefaults& defaults)
    : defaults_(defaults), observers_(std::make_shared<ObserverList>()) {
    load();
}

HiddenAppsStore::~HiddenAppsStore() = default;

void HiddenAppsStore::bindSharedDefaults(system::UserDefaults& defaults) {
    sharedDefaults().store(&defaults);
}

HiddenAppsStore& HiddenAppsStore::shared() {
    static HiddenAppsStore* instance = [] {
        system::UserDefaults* defaults = sharedDefaults().load();
        if (!defaults) {
            // A wiring mistake every launch would hit; carrying on would drop the user's choices.
            std::fputs("HiddenAppsStore::shared() used before bindSharedDefaults()\n", stderr);
            std::abort();
        }
        return new HiddenAppsStore(*defaults);  // never destroyed, like the domain it uses
    }();
    return *instance;
}

void HiddenAppsStore::load() {
    auto version = stored::schemaVersion(defaults_, kHiddenAppsVersionKey);
    if (version && *version != kStoreSchemaVersion) {
        logger().error("Unknown hidden-apps schema version: " + std::to_string(*version));
        keepAside_ = true;
        return;
    }
    try {
        auto data = stored::documentBytes(defaults_, kHiddenAppsKey);
        if (!data) return;
        auto apps = decode(*data);
        std::lock_guard lock(mutex_);
        hiddenApps_ = std::move(apps);
    } catch (const std::exception& error) {
        logger().error("Failed to decode hidden apps: " + stored::describeForLog(error));
        keepAside_ = true;
    }
}

HiddenAppsStore::HiddenApps HiddenAppsStore::hiddenApps() const {
    std::lock_guard lock(mutex_);
    return hiddenApps_;
}

bool HiddenAppsStore::isHidden(std::string_view bundleID) const {
    std::lock_guard lock(mutex_);
    return hiddenApps_.find(bundleID) != hiddenApps_.end();
}

void HiddenAppsStore::setHiddenApps(HiddenApps apps) {
    update([&](HiddenApps& current) { current = std::move(apps); });
}

void HiddenAppsStore::hide(std::string_view bundleID, std::string_view displayName) {
    if (bundleID.empty()) return;
    update(
        [&](HiddenApps& current) { current.insert_or_assign(std::string(bundleID), displayName); });
}

void HiddenAppsStore::unhide(std::string_view bundleID) {
    update([&](HiddenApps& current) {
        if (auto it = current.find(bundleID); it != current.end()) current.erase(it);
    });
}

void HiddenAppsStore::update(const std::function<void(HiddenApps&)>& change) {
    HiddenApps snapshot;
    {
        std::lock_guard lock(mutex_);
        HiddenApps next = hiddenApps_;
        change(next);
        if (next == hiddenApps_) return;
        hiddenApps_ = std::move(next);
        snapshot = hiddenApps_;
    }
    std::vector<Observer> observers;
    {
        std::lock_guard lock(observers_->mutex);
        for (const auto& [id, observer] : observers_->observers) observers.push_back(observer);
    }
    // Outside every lock, so an observer may read or change the store.
    for (const auto& observer : observers) observer(snapshot);
}

bool HiddenAppsStore::persist() {
    // Held across the write so that two persists land in the order their lists were taken.
    std::lock_guard lock(mutex_);
    return stored::writeStringMap(defaults_, kHiddenAppsKey, kHiddenAppsVersionKey, hiddenApps_,
                                  keepAside_, logger(), "hidden apps");
}

HiddenAppsStore::Observation HiddenAppsStore::observe(Observer observer) {
    std::lock_guard lock(observers_->mutex);
    uint64_t id = observers_->nextId++;
    observers_->observers.emplace(id, std::move(observer));
    return Observation(observers_, id);
}

}  // namespace tobble::app
