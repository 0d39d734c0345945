// The stores under a writer queue, and over documents that were damaged, hand-edited or written
// by another build: what is kept, what is logged, and what the next save holds.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"
#include "services/DefaultsKeys.h"
#include "services/HiddenAppsStore.h"
#include "services/VolumeStore.h"

namespace tobble::app {
namespace {

using States = VolumeStore::SavedStates;

TEST(VolumeStoreWriterTest, SaveLeavesTheDocumentToTheWriterQueueWhichWritesAllChangesAtOnce) {
    dispatch::VirtualDispatcher dispatcher;
    system::InMemoryUserDefaults defaults;
    VolumeStore store(defaults, dispatcher.makeSerialQueue("writer"));
    const States expected{{"com.a", {0.75f, false}}, {"com.b", {0.25f, true}}};

    EXPECT_TRUE(store.save("com.a", 0.5f, false));
    EXPECT_TRUE(store.save("com.b", 0.25f, true));
    EXPECT_TRUE(store.save("com.a", 0.75f, false));
    EXPECT_FALSE(store.save("com.c", std::nanf(""), false));
    EXPECT_EQ(defaults.object(kPerAppVolumesKey), std::nullopt);
    EXPECT_EQ(store.loadAll(), expected);
    EXPECT_EQ(dispatcher.pendingTaskCount(), 1u);  // one write for all three

    dispatcher.runDue();
    EXPECT_EQ(VolumeStore(defaults).loadAll(), expected);
}

system::DefaultsValue bytes(std::string_view text) {
    return system::DefaultsData(text.begin(), text.end());
}

struct DamagedVolumes {
    const char* name;
    system::DefaultsValue document;
    std::optional<int64_t> version;
    States readable;     // what loads, and what the next save keeps beside its own entry
    bool keptAside;      // the next save first copies the document to the backup key
    const char* logged;  // the one error line, if any
};

class DamagedVolumesTest : public ::testing::TestWithParam<DamagedVolumes> {};

TEST_P(DamagedVolumesTest, ReadableEntriesStayAndTheRestIsKeptAsideNotOverwritten) {
    const auto& c = GetParam();
    system::InMemoryUserDefaults defaults;
    defaults.set(kPerAppVolumesKey, c.document);
    if (c.version) defaults.setInteger(kPerAppVolumesVersionKey, *c.version);
    log::ScopedCapture capture;
    VolumeStore store(defaults);

    EXPECT_EQ(store.loadAll(), c.readable);
    if (c.logged) {
        EXPECT_EQ(capture->count(c.logged), 1u);
    } else {
        EXPECT_TRUE(capture->messages(log::Level::Error).empty());
    }
    ASSERT_TRUE(store.save("com.new", 0.5f, true));

    auto expected = c.readable;
    expected.emplace("com.new", VolumeStore::SavedState{0.5f, true});
    EXPECT_EQ(store.loadAll(), expected);
    EXPECT_EQ(defaults.object("TobblePerAppVolumesBackup"),
              c.keptAside ? std::optional(c.document) : std::nullopt);
}

const States kTwoGood{{"com.a", {0.5f, false}}, {"com.c", {1.0f, true}}};
constexpr const char* kGoodDocument = R"({"com.a":{"volume":0.5,"isMuted":false}})";

INSTANTIATE_TEST_SUITE_P(
    Documents, DamagedVolumesTest,
    ::testing::Values(
        DamagedVolumes{"OneBadEntry",
                       bytes(R"({"com.a":{"volume":0.5,"isMuted":false},"com.bad":{"volume":"x"},)"
                             R"("com.c":{"volume":1,"isMuted":true}})"),
                       1, kTwoGood, false, "Failed to decode saved volumes: entry \"com.bad\""},
        DamagedVolumes{"HandTypedText", std::string(kGoodDocument), std::nullopt,
                       States{{"com.a", {0.5f, false}}}, false, nullptr},
        DamagedVolumes{"NewerVersion",
                       bytes(kGoodDocument),
                       2,
                       {},
                       true,
                       "Unknown per-app volume schema version: 2"},
        DamagedVolumes{
            "Truncated", bytes(R"({"com.a":{"vol)"), 1, {}, true, "Failed to decode saved volumes"},
        DamagedVolumes{
            "NotADocument", int64_t{7}, std::nullopt, {}, true, "Failed to decode saved volumes"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(DamagedStoresTest, EachUnreadableDocumentGetsABackupOfItsOwn) {
    system::InMemoryUserDefaults defaults;
    for (const char* text : {"first", "second"}) {
        defaults.set(kPerAppVolumesKey, bytes(text));
        VolumeStore(defaults).save("com.new", 1.0f, false);
        defaults.set(kHiddenAppsKey, bytes(text));
        defaults.setInteger(kHiddenAppsVersionKey, 3);
        HiddenAppsStore(defaults).persist();
    }
    EXPECT_EQ(defaults.object("TobblePerAppVolumesBackup"), bytes("first"));
    EXPECT_EQ(defaults.object("TobblePerAppVolumesBackup2"), bytes("second"));
    EXPECT_EQ(defaults.object("TobbleHiddenAppsBackup2"), bytes("second"));
    EXPECT_EQ(defaults.integer("TobbleHiddenAppsBackupVersion"), 3);
    EXPECT_EQ(defaults.integer(kHiddenAppsVersionKey), 1);
}

TEST(DamagedStoresTest, AHiddenAppWithABadNameCostsOnlyItself) {
    system::InMemoryUserDefaults defaults;
    defaults.set(kHiddenAppsKey, std::string(R"({"com.a":"A","com.bad":7})"));
    log::ScopedCapture capture;
    HiddenAppsStore store(defaults);
    EXPECT_EQ(store.hiddenApps(), (HiddenAppsStore::HiddenApps{{"com.a", "A"}}));
    EXPECT_EQ(capture->count("Failed to decode hidden apps: entry \"com.bad\""), 1u);
}

}  // namespace
}  // namespace tobble::app
