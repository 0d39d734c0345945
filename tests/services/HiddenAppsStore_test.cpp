#include "services/HiddenAppsStore.h"

#include <gtest/gtest.h>

#include "platform/log/CaptureSink.h"
#include "services/DefaultsKeys.h"
#include "tests/services/StoreTestSupport.h"

namespace tobble::app {
namespace {

using testing::setText;
using testing::text;
using Apps = HiddenAppsStore::HiddenApps;

class HiddenAppsStoreTest : public ::testing::Test {
  protected:
    system::InMemoryUserDefaults defaults;
    log::ScopedCapture capture;

    std::vector<std::string> errors() {
        std::vector<std::string> result;
        for (const auto& line : capture.sink().lines()) {
            EXPECT_EQ(line.category, "HiddenAppsStore");
            if (line.level == log::Level::Error) result.push_back(line.message);
        }
        return result;
    }
};

TEST_F(HiddenAppsStoreTest, UnknownVersionReadsAsEmptyAndTheNextPersistWritesVersionOne) {
    setText(defaults, kHiddenAppsKey, R"({"com.a":"A"})");
    defaults.setInteger(kHiddenAppsVersionKey, 2);

    HiddenAppsStore store(defaults);
    EXPECT_TRUE(store.hiddenApps().empty());
    EXPECT_EQ(errors(), std::vector<std::string>{"Unknown hidden-apps schema version: 2"});

    store.hide("com.b", "B");
    EXPECT_TRUE(store.persist());
    EXPECT_EQ(defaults.integer(kHiddenAppsVersionKey), 1);
    EXPECT_EQ(text(defaults, kHiddenAppsKey), R"({"com.b":"B"})");
}

TEST_F(HiddenAppsStoreTest, CorruptDataReadsAsEmptyAndTheNextPersistHoldsOnlyTheNewEntry) {
    for (std::string_view corrupt : {"{\"com.a\":", R"({"com.a":7})", R"(["com.a"])"}) {
        setText(defaults, kHiddenAppsKey, corrupt);
        EXPECT_TRUE(HiddenAppsStore(defaults).hiddenApps().empty()) << corrupt;
        EXPECT_EQ(text(defaults, kHiddenAppsKey), corrupt);
    }
    ASSERT_EQ(errors().size(), 3u);
    for (const auto& message : errors()) {
        EXPECT_EQ(message.rfind("Failed to decode hidden apps: ", 0), 0u) << message;
    }

    HiddenAppsStore store(defaults);
    store.hide("com.b", "B");
    store.persist();
    EXPECT_EQ(text(defaults, kHiddenAppsKey), R"({"com.b":"B"})");
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
    EXPECT_EQ(text(defaults, kHiddenAppsKey), R"({"com.a":"A"})");
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("Failed to encode hidden apps: ", 0), 0u) << errors()[0];
}

}  // namespace
}  // namespace tobble::app
