#include "services/VolumeStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "services/DefaultsKeys.h"
#include "tests/services/StoreTestSupport.h"

namespace tobble::app {
namespace {

using States = VolumeStore::SavedStates;

class VolumeStoreTest : public ::testing::Test, public testing::StoreTestBed {
  protected:
    VolumeStore store{defaults};
};

// A process id is no identity: a later process that reuses it must not inherit the volume.
TEST_F(VolumeStoreTest, ProcessKeysAreNeitherSavedNorOffered) {
    EXPECT_FALSE(store.save("pid:7", 0.2f, true));
    store.flush();
    EXPECT_TRUE(store.loadAll().empty());
}

TEST_F(VolumeStoreTest, SavingReplacesBothFieldsOfOneEntryAndKeepsTheOthers) {
    store.save("com.a", 0.5f, false);
    store.save("com.b", 0.3f, true);
    store.save("com.a", 0.9f, true);
    EXPECT_FALSE(store.save("", 0.1f, true));  // an empty identifier changes nothing
    EXPECT_EQ(text(kPerAppVolumesKey),
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
    EXPECT_EQ(VolumeStore(defaults).loadAll(), saved);
}

// JSON has no NaN: writing one would leave a document that no later load could read, and the
// next save would then drop every other application's state.
TEST_F(VolumeStoreTest, AValueThatCannotBeEncodedWritesNothing) {
    ASSERT_TRUE(store.save("com.a", 0.5f, false));
    const auto before = text(kPerAppVolumesKey);

    EXPECT_FALSE(store.save("com.b", std::nanf(""), false));
    EXPECT_FALSE(store.save("com.c", HUGE_VALF, false));
    EXPECT_FALSE(store.save("com.\xff", 0.5f, false));  // not UTF-8

    EXPECT_EQ(text(kPerAppVolumesKey), before);
    ASSERT_EQ(errors().size(), 3u);
    for (const auto& message : errors()) {
        EXPECT_TRUE(message.starts_with("Failed to encode saved volumes: ")) << message;
    }
}

TEST_F(VolumeStoreTest, DecodeMessagesAreBoundedPrintableText) {
    std::string garbage = "\x01\x1b[31m\xc3";
    garbage += std::string(5000, 'x');
    setText(kPerAppVolumesKey, "\"" + garbage);
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
    for (auto unusable : {system::DefaultsValue{std::string("0.4")},
                          system::DefaultsValue{std::nan("")}, system::DefaultsValue{int64_t{7}}}) {
        defaults.set(kDefaultVolumeKey, unusable);
        EXPECT_EQ(store.defaultVolume(), 1.0);
    }
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
