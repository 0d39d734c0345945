#include "services/OutputPinStore.h"

#include <utility>

#include "engine/core/Identity.h"
#include "platform/log/Log.h"
#include "services/DefaultsKeys.h"
#include "services/StoredDocument.h"
#include "services/VolumeStore.h"

namespace tobble::app {
namespace {

const log::Logger& logger() {
    static const log::Logger instance(engine::logSubsystem(), "OutputPinStore");
    return instance;
}

OutputPinStore::Pins decode(const system::DefaultsData& data) {
    auto document = stored::parse(data);
    if (!document.is_object()) throw stored::DocumentError("not an object of bundle identifiers");
    OutputPinStore::Pins pins;
    for (const auto& [bundleID, uid] : document.items()) {
        if (!uid.is_string() || uid.get_ref<const std::string&>().empty()) {
            const stored::DocumentError error("entry \"" + bundleID + "\": no device uid");
            logger().error("Failed to decode app outputs: " + stored::describeForLog(error));
            continue;
        }
        pins.insert_or_assign(bundleID, uid.get<std::string>());
    }
    return pins;
}

}  // namespace

OutputPinStore::OutputPinStore(system::UserDefaults& defaults) : defaults_(defaults) { load(); }

void OutputPinStore::load() {
    auto version = stored::schemaVersion(defaults_, kAppOutputsVersionKey);
    if (version && *version != kStoreSchemaVersion) {
        logger().error("Unknown app-outputs schema version: " + std::to_string(*version));
        keepAside_ = true;
        return;
    }
    try {
        auto data = stored::documentBytes(defaults_, kAppOutputsKey);
        if (data) pins_ = decode(*data);
    } catch (const std::exception& error) {
        logger().error("Failed to decode app outputs: " + stored::describeForLog(error));
        keepAside_ = true;
    }
}

OutputPinStore::Pins OutputPinStore::pins() const {
    std::lock_guard lock(mutex_);
    return pins_;
}

std::optional<std::string> OutputPinStore::pinnedOutput(const std::string& bundleID) {
    std::lock_guard lock(mutex_);
    const auto it = pins_.find(bundleID);
    if (it == pins_.end()) return std::nullopt;
    return it->second;
}

bool OutputPinStore::setPin(std::string_view bundleID, std::string_view uid) {
    // A process id names no application: a later process that reuses it must not inherit it.
    if (!VolumeStore::isIdentity(bundleID)) return false;
    // Held across the write, so that two changes land in the order they were made.
    std::lock_guard lock(mutex_);
    Pins next = pins_;
    if (uid.empty()) {
        if (auto it = next.find(bundleID); it != next.end()) next.erase(it);
    } else {
        next.insert_or_assign(std::string(bundleID), std::string(uid));
    }
    if (!stored::writeStringMap(defaults_, kAppOutputsKey, kAppOutputsVersionKey, next, keepAside_,
                                logger(), "app outputs")) {
        return false;
    }
    pins_ = std::move(next);
    return true;
}

}  // namespace tobble::app
