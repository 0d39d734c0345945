#include "services/VolumeStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "platform/log/CaptureSink.h"
#include "services/DefaultsKeys.h"
#include "tests/services/StoreTestSupport.h"

namespace tobble::app {
namespace {

using testing::setText;
using testing::text;
using States = VolumeStore::SavedStates;

class VolumeStoreTest : public ::testing::Test {
  protected:
    system::InMemoryUserDefaults defaults;
    VolumeStore store{defaults};
    log::ScopedCapture capture;

    // Error lines, each checked to come from this store's category.
    std::vector<std::string> errors() {
        std::vector<std::string> result;
        for (const auto& line : capture.sink().lines()) {
            EXPECT_EQ(line.category, "VolumeStore");
            if (line.level == log::Level::Error) result.push_back(line.message);
        }
        return result;
    }
};

TEST_F(VolumeStoreTest, UnknownVersionReadsAsEmptyAndTheNextSaveWritesVersionOne) {
    setText(defaults, kPerAppVolumesKey, R"({"com.a":{"volume":0.5,"isMuted":false}})");
    defaults.setInteger(kPerAppVolumesVersionKey, 2);

    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_EQ(errors(), std::vector<std::string>{"Unknown per-app volume schema version: 2"});

    EXPECT_TRUE(store.save("com.b", 0.25f, true));
    EXPECT_EQ(defaults.integer(kPerAppVolumesVersionKey), 1);
    EXPECT_EQ(store.loadAll(), (States{{"com.b", {0.25f, true}}}));
}

TEST_F(VolumeStoreTest, OnlyWholeNumbersOtherThanOneAreUnknownVersions) {
    setText(defaults, kPerAppVolumesKey, R"({"com.a":{"volume":0.5,"isMuted":false}})");
    const States one{{"com.a", {0.5f, false}}};
    EXPECT_EQ(store.loadAll(), one);  // no version at all
    for (auto version : {system::DefaultsValue{std::string("2")}, system::DefaultsValue{1.5},
                         system::DefaultsValue{1.0}, system::DefaultsValue{int64_t{1}}}) {
        defaults.set(kPerAppVolumesVersionKey, version);
        EXPECT_EQ(store.loadAll(), one);
    }
    defaults.set(kPerAppVolumesVersionKey, -3.0);
    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_EQ(errors(), std::vector<std::string>{"Unknown per-app volume schema version: -3"});
}

TEST_F(VolumeStoreTest, CorruptDataReadsAsEmptyStaysUntilTheNextSaveAndIsThenReplaced) {
    setText(defaults, kPerAppVolumesKey, "{\"com.a\":{\"volume\":0.5,");

    EXPECT_TRUE(store.loadAll().empty());
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("Failed to decode saved volumes: ", 0), 0u) << errors()[0];
    EXPECT_EQ(text(defaults, kPerAppVolumesKey), "{\"com.a\":{\"volume\":0.5,");

    EXPECT_TRUE(store.save("com.b", 0.7f, false));
    EXPECT_EQ(text(defaults, kPerAppVolumesKey), R"({"com.b":{"volume":0.7,"isMuted":false}})");
}

TEST_F(VolumeStoreTest, DocumentsOfTheWrongShapeDoNotDecode) {
    for (std::string_view document : {
             R"([1,2])",
             R"({"com.a":{"volume":0.5}})",
             R"({"com.a":{"isMuted":true}})",
             R"({"com.a":{"volume":"0.5","isMuted":true}})",
             R"({"com.a":{"volume":0.5,"isMuted":1}})",
             R"({"com.a":{"volume":1e39,"isMuted":true}})",
             R"({"com.a":{"volume":0.5,"isMuted":true},"com.b":null})",
         }) {
        setText(defaults, kPerAppVolumesKey, document);
        EXPECT_TRUE(store.loadAll().empty()) << document;
    }
    EXPECT_EQ(errors().size(), 7u);
}

TEST_F(VolumeStoreTest, UnknownMembersAreIgnoredAndWholeNumbersAreVolumes) {
    setText(
        defaults, kPerAppVolumesKey,
        R"({"com.a":{"isMuted":true,"volume":1,"balance":0.2},"pid:7":{"volume":0,"isMuted":false}})");
    EXPECT_EQ(store.loadAll(), (States{{"com.a", {1.0f, true}}, {"pid:7", {0.0f, false}}}));
    EXPECT_TRUE(errors().empty());
}

TEST_F(VolumeStoreTest, AnEmptyBundleIdentifierChangesNothing) {
    ASSERT_TRUE(store.save("com.a", 0.5f, false));
    const auto before = text(defaults, kPerAppVolumesKey);
    EXPECT_FALSE(store.save("", 0.1f, true));
    EXPECT_EQ(text(defaults, kPerAppVolumesKey), before);
}

TEST_F(VolumeStoreTest, SavingReplacesBothFieldsOfOneEntryAndKeepsTheOthers) {
    store.save("com.a", 0.5f, false);
    store.save("com.b", 0.3f, true);
    store.save("com.a", 0.9f, true);
    EXPECT_EQ(store.loadAll(), (States{{"com.a", {0.9f, true}}, {"com.b", {0.3f, true}}}));
    EXPECT_EQ(text(defaults, kPerAppVolumesKey),
              R"({"com.a":{"volume":0.9,"isMuted":true},"com.b":{"volume":0.3,"isMuted":true}})");
}

TEST_F(VolumeStoreTest, ValuesSurviveAReloadThroughAnotherStoreExactly) {
    const States saved{{"com.a", {0.7f, false}},
                       {"com.b", {1e-7f, true}},
                       {"com.c", {1.0f, false}},
                       {"com.d", {0.33333334f, true}},
                       {"com.e", {1.5f, false}},  // unclamped, as the caller gave it
                       {"com.f", {std::numeric_limits<float>::max(), false}},
                       {"com.g", {std::numeric_limits<float>::denorm_min(), false}}};
    ASSERT_TRUE(store.persist(saved));
    VolumeStore other(defaults);
    EXPECT_EQ(other.loadAll(), saved);
    EXPECT_EQ(defaults.integer(kPerAppVolumesVersionKey), 1);
}

// JSON has no NaN: writing one would leave a document that no later load could read, and the
// next save would then drop every other application's state.
TEST_F(VolumeStoreTest, AValueThatCannotBeEncodedWritesNothing) {
    ASSERT_TRUE(store.save("com.a", 0.5f, false));
    const auto before = text(defaults, kPerAppVolumesKey);

    EXPECT_FALSE(store.save("com.b", std::nanf(""), false));
    EXPECT_FALSE(store.save("com.c", HUGE_VALF, false));
    EXPECT_FALSE(store.save("com.\xff", 0.5f, false));  // not UTF-8

    EXPECT_EQ(text(defaults, kPerAppVolumesKey), before);
    EXPECT_EQ(store.loadAll(), (States{{"com.a", {0.5f, false}}}));
    ASSERT_EQ(errors().size(), 3u);
    for (const auto& message : errors()) {
        EXPECT_EQ(message.rfind("Failed to encode saved volumes: ", 0), 0u) << message;
    }
}

TEST_F(VolumeStoreTest, DecodeMessagesAreBoundedPrintableText) {
    std::string garbage = "\x01\x1b[31m\xc3";
    garbage += std::string(5000, 'x');
    setText(defaults, kPerAppVolumesKey, "\"" + garbage);
    store.loadAll();
    const auto logged = errors();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_LT(logged[0].size(), 400u);
    for (char c : logged[0]) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
}

TEST_F(VolumeStoreTest, DefaultVolumeIsOneUnlessAUsableNumberIsStored) {
    EXPECT_EQ(store.defaultVolume(), 1.0);
    store.setDefaultVolume(0.4);
    EXPECT_EQ(store.defaultVolume(), 0.4);
    defaults.setString(kDefaultVolumeKey, "0.4");
    EXPECT_EQ(store.defaultVolume(), 1.0);
    defaults.setNumber(kDefaultVolumeKey, std::nan(""));
    EXPECT_EQ(store.defaultVolume(), 1.0);
    defaults.setInteger(kDefaultVolumeKey, 7);
    EXPECT_EQ(store.defaultVolume(), 1.0);
    defaults.setNumber(kDefaultVolumeKey, -0.5);
    EXPECT_EQ(store.defaultVolume(), 0.0);
}

// The bridge saves on the main thread while the engine loads on its queue; each save re-reads
// and rewrites the whole document, so unserialised saves would drop one another's entries.
TEST_F(VolumeStoreTest, ConcurrentSavesAndLoadsLoseNothing) {
    constexpr int kPerThread = 60;
    auto saver = [&](char prefix) {
        VolumeStore own(defaults);
        for (int i = 0; i < kPerThread; ++i) own.save(prefix + std::to_string(i), 0.5f, false);
    };
    bool shrank = false;
    std::thread reader([&] {
        size_t last = 0;
        for (int i = 0; i < 2 * kPerThread; ++i) {
            size_t size = VolumeStore(defaults).loadAll().size();
            shrank = shrank || size < last;
            last = size;
        }
    });
    std::thread a(saver, 'a');
    std::thread b(saver, 'b');
    a.join();
    b.join();
    reader.join();
    EXPECT_FALSE(shrank);
    EXPECT_EQ(store.loadAll().size(), 2u * kPerThread);
    EXPECT_TRUE(errors().empty());
}

}  // namespace
}  // namespace tobble::app
