#include "services/HiddenAppsStore.h"

#include <gtest/gtest.h>

#include "services/DefaultsKeys.h"
#include "tests/services/StoreTestSupport.h"

namespace tobble::app {
namespace {

using Apps = HiddenAppsStore::HiddenApps;

class HiddenAppsStoreTest : public ::testing::Test, public testing::StoreTestBed {};

// What cannot be read loads as nothing and says why (an entry with a bad name costs only
// itself); the next persist holds what was readable and the new entry, under version 1.
TEST_F(HiddenAppsStoreTest, UnreadableListsLoadWhatTheyCanAndTheNextPersistWritesVersionOne) {
    const std::string_view decode = "Failed to decode hidden apps: ";
    struct Case {
        std::string_view document;
        int64_t version;  // 0: none stored
        Apps readable;
        std::string_view error;
    };
    for (const auto& c : std::initializer_list<Case>{
             {R"({"com.a":"A"})", 2, {}, "Unknown hidden-apps schema version: 2"},
             {"{\"com.a\":", 0, {}, decode},
             {R"({"com.a":7})", 0, {}, decode},
             {R"(["com.a"])", 0, {}, decode},
             {R"({"com.a":"A","com.bad":7})", 0, {{"com.a", "A"}}, decode},
         }) {
        capture->clear();
        setText(kHiddenAppsKey, c.document);
        if (c.version != 0) defaults.setInteger(kHiddenAppsVersionKey, c.version);
        HiddenAppsStore store(defaults);
        EXPECT_EQ(store.hiddenApps(), c.readable) << c.document;
        ASSERT_EQ(errors().size(), 1u) << c.document;
        EXPECT_TRUE(errors()[0].starts_with(c.error)) << errors()[0];
        EXPECT_EQ(text(kHiddenAppsKey), c.document);

        store.hide("com.b", "B");
        EXPECT_TRUE(store.persist());
        EXPECT_EQ(defaults.integer(kHiddenAppsVersionKey), 1);
        auto expected = c.readable;
        expected.emplace("com.b", "B");
        EXPECT_EQ(HiddenAppsStore(defaults).hiddenApps(), expected);
        defaults.remove(kHiddenAppsVersionKey);
    }
}

TEST_F(HiddenAppsStoreTest, ChangesStayInMemoryUntilPersistAndThenSurviveAReload) {
    HiddenAppsStore store(defaults);
    store.hide("com.a", "Alpha");
    store.hide("com.b", "Beta");
    store.hide("", "Nameless");
    EXPECT_FALSE(defaults.object(kHiddenAppsKey));
    EXPECT_FALSE(store.isHidden(""));

    ASSERT_TRUE(store.persist());
    store.hide("com.a", "Alpha 2");  // renamed after the write: not stored
    store.unhide("com.b");
    EXPECT_EQ(store.hiddenApps(), (Apps{{"com.a", "Alpha 2"}}));

    EXPECT_EQ(HiddenAppsStore(defaults).hiddenApps(),
              (Apps{{"com.a", "Alpha"}, {"com.b", "Beta"}}));
    EXPECT_TRUE(errors().empty());
}

TEST_F(HiddenAppsStoreTest, ObserversSeeEachChangeUntilTheirObservationEnds) {
    HiddenAppsStore store(defaults);
    std::vector<Apps> seen;
    auto observation = store.observe([&](const Apps& apps) { seen.push_back(apps); });

    store.hide("com.a", "A");
    store.hide("com.a", "A");  // no change, no news
    store.unhide("com.zzz");
    store.setHiddenApps({{"com.b", "B"}});
    EXPECT_EQ(seen, (std::vector<Apps>{{{"com.a", "A"}}, {{"com.b", "B"}}}));

    observation.reset();
    store.unhide("com.b");
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(HiddenAppsStoreTest, TextThatCannotBeEncodedLeavesTheStoredListAlone) {
    HiddenAppsStore store(defaults);
    store.hide("com.a", "A");
    ASSERT_TRUE(store.persist());
    store.hide("com.b", "bad \xc3(");

    EXPECT_FALSE(store.persist());
    EXPECT_EQ(text(kHiddenAppsKey), R"({"com.a":"A"})");
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].starts_with("Failed to encode hidden apps: ")) << errors()[0];
}

}  // namespace
}  // namespace tobble::app
