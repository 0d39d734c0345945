// Arbitrary bytes as the stored hidden-apps list. Loading never crashes or throws, and a persist
// afterwards always writes version 1 and a document that loads back as the list in memory.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "services/DefaultsKeys.h"
#include "services/HiddenAppsStore.h"

using namespace tobble;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    fuzz::silenceLogs();
    system::InMemoryUserDefaults defaults;
    defaults.setData(app::kHiddenAppsKey, system::DefaultsData(bytes, bytes + size));
    app::HiddenAppsStore store(defaults);

    store.hide("org.tobble.fuzz", "Fuzz");
    if (!store.persist()) fuzz::fail("persist after load wrote nothing");

    if (defaults.integer(app::kHiddenAppsVersionKey) != 1) fuzz::fail("version is not 1");
    if (app::HiddenAppsStore(defaults).hiddenApps() != store.hiddenApps()) {
        fuzz::fail("persisted document reads back");
    }
    return 0;
}
