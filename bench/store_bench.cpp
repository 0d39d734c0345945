// Cost of one saved volume change when the document already holds 1,000 or 100,000
// applications: the work the store's writer does (read the document, change one entry, write it
// back). A save must stay linear in the number of entries.

#include <benchmark/benchmark.h>

#include <string>

#include "platform/log/Log.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "services/VolumeStore.h"

namespace {

using namespace tobble;

void BM_SaveOneEntry(benchmark::State& state) {
    log::setSink(nullptr);
    system::InMemoryUserDefaults defaults;
    app::VolumeStore store(defaults);
    app::VolumeStore::SavedStates states;
    for (int64_t i = 0; i < state.range(0); ++i) {
        states.emplace("com.example.application" + std::to_string(i),
                       app::VolumeStore::SavedState{0.5f, i % 3 == 0});
    }
    store.persist(states);
    int round = 0;
    for (auto _ : state) {
        store.save("com.example.application7", static_cast<float>(++round % 100) / 100.0f, false);
    }
    state.counters["entries"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_SaveOneEntry)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
