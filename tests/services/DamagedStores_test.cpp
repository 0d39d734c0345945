// The stores under a writer queue, and over documents that were damaged, hand-edited or written
// by another build: what is kept, what is logged, and what the next save holds.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/dispatch/VirtualDispatcher.h"
#include "services/DefaultsKeys.h"
#include "services/VolumeStore.h"
#include "tests/services/ServicesTestBed.h"

namespace tobble::app {
namespace {

using States = VolumeStore::SavedStates;

TEST(VolumeStoreWriterTest, SaveLeavesTheDocumentToTheWriterQueueWhichWritesAllChangesAtOnce) {
    dispatch::VirtualDispatcher dispatcher;
    testing::CountingDefaults defaults;
    VolumeStore store(defaults, dispatcher.makeSerialQueue("writer"));
    const States expected{{"com.a", {0.75f, false}}, {"com.b", {0.25f, true}}};

    EXPECT_TRUE(store.save("com.a", 0.5f, false));
    EXPECT_TRUE(store.save("com.b", 0.25f, true));
    EXPECT_TRUE(store.save("com.a", 0.75f, false));
    EXPECT_FALSE(store.save("com.c", std::nanf(""), false));
    EXPECT_EQ(defaults.writesOf(kPerAppVolumesKey), 0);
    EXPECT_EQ(store.loadAll(), expected);

    dispatcher.runDue();
    EXPECT_EQ(defaults.writesOf(kPerAppVolumesKey), 1);
    EXPECT_EQ(VolumeStore(defaults).loadAll(), expected);
}

}  // namespace
}  // namespace tobble::app
