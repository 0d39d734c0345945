// Arbitrary bytes as the stored per-application volumes. Loading never crashes or throws, and a
// save afterwards always writes version 1 and a document that loads back as what was readable
// before plus the saved entry.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "services/DefaultsKeys.h"
#include "services/VolumeStore.h"

using namespace tobble;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    fuzz::silenceLogs();
    system::InMemoryUserDefaults defaults;
    defaults.setData(app::kPerAppVolumesKey, system::DefaultsData(bytes, bytes + size));
    app::VolumeStore store(defaults);

    auto expected = store.loadAll();
    if (!store.save("org.tobble.fuzz", 0.7f, true)) fuzz::fail("save after load wrote nothing");
    expected.insert_or_assign("org.tobble.fuzz", app::VolumeStore::SavedState{0.7f, true});

    if (defaults.integer(app::kPerAppVolumesVersionKey) != 1) fuzz::fail("version is not 1");
    if (app::VolumeStore(defaults).loadAll() != expected) fuzz::fail("saved document reads back");
    return 0;
}
