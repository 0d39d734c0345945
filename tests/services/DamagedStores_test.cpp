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
#include "services/OutputPinStore.h"
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

// A document as another build, a hand edit or damage left it. What reads as saved states loads,
// loading never rewrites the document, and the next save holds the readable entries beside its
// own under version 1; a document that is unreadable as a whole is first copied aside.
struct DamagedVolumes {
    const char* name;
    system::DefaultsValue document;
    std::optional<system::DefaultsValue> version;
    States readable;
    bool keptAside;
    const char* logged;  // the start of the one error line, if any
};

class DamagedVolumesTest : public ::testing::TestWithParam<DamagedVolumes> {};

TEST_P(DamagedVolumesTest, ReadableEntriesStayAndTheRestIsKeptAsideNotOverwritten) {
    const auto& c = GetParam();
    system::InMemoryUserDefaults defaults;
    defaults.set(kPerAppVolumesKey, c.document);
    if (c.version) defaults.set(kPerAppVolumesVersionKey, *c.version);
    log::ScopedCapture capture;
    VolumeStore store(defaults);

    EXPECT_EQ(store.loadAll(), c.readable);
    const auto errors = capture->messages(log::Level::Error);
    ASSERT_EQ(errors.size(), c.logged ? 1u : 0u);
    for (const auto& error : errors) EXPECT_TRUE(error.starts_with(c.logged)) << error;
    EXPECT_EQ(defaults.object(kPerAppVolumesKey), c.document);
    ASSERT_TRUE(store.save("com.new", 0.5f, true));

    auto expected = c.readable;
    expected.emplace("com.new", VolumeStore::SavedState{0.5f, true});
    EXPECT_EQ(VolumeStore(defaults).loadAll(), expected);
    EXPECT_EQ(defaults.integer(kPerAppVolumesVersionKey), 1);
    EXPECT_EQ(defaults.object("TobblePerAppVolumesBackup"),
              c.keptAside ? std::optional(c.document) : std::nullopt);
}

const States kOneGood{{"com.a", {0.5f, false}}};
constexpr const char* kGood = R"({"com.a":{"volume":0.5,"isMuted":false}})";
constexpr const char* kDecode = "Failed to decode saved volumes: ";
constexpr const char* kBadEntry = "Failed to decode saved volumes: entry \"com.a\"";
constexpr const char* kVersion2 = "Unknown per-app volume schema version: 2";
constexpr const char* kVersionMinus3 = "Unknown per-app volume schema version: -3";
using V = system::DefaultsValue;
using D = DamagedVolumes;

// One entry that does not read as a saved state: it costs only itself.
D badEntry(const char* name, std::string_view document) {
    return {name, bytes(document), {}, {}, false, kBadEntry};
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DamagedVolumesTest,
    ::testing::Values(D{"OneBadEntry",
                        bytes(R"({"com.a":{"volume":0.5,"isMuted":false},"com.bad":{"volume":"x"},)"
                              R"("com.c":{"volume":1,"isMuted":true}})"),
                        V{int64_t{1}},
                        {{"com.a", {0.5f, false}}, {"com.c", {1.0f, true}}},
                        false,
                        "Failed to decode saved volumes: entry \"com.bad\""},
                      // Members of a later build are ignored; a whole number is a volume; an
                      // entry an earlier build saved under a process id is offered to no one.
                      D{"UnknownMembers",
                        bytes(R"({"com.a":{"isMuted":true,"volume":1,"balance":0.2},)"
                              R"("pid:7":{"volume":0,"isMuted":false}})"),
                        {},
                        {{"com.a", {1.0f, true}}},
                        false,
                        nullptr},
                      D{"HandTypedText", std::string(kGood), {}, kOneGood, false, nullptr},
                      // Only whole numbers other than one are versions this build does not know.
                      D{"VersionAsText", bytes(kGood), V{std::string("2")}, kOneGood, false, {}},
                      D{"FractionalVersion", bytes(kGood), V{1.5}, kOneGood, false, {}},
                      D{"VersionOneAsNumber", bytes(kGood), V{1.0}, kOneGood, false, {}},
                      D{"NewerVersion", bytes(kGood), V{int64_t{2}}, {}, true, kVersion2},
                      D{"NegativeVersion", bytes(kGood), V{-3.0}, {}, true, kVersionMinus3},
                      D{"Truncated", bytes(R"({"com.a":{"volume":0.5,)"), {}, {}, true, kDecode},
                      D{"AnArray", bytes("[1,2]"), {}, {}, true, kDecode},
                      D{"NotADocument", V{int64_t{7}}, {}, {}, true, kDecode},
                      badEntry("NoIsMuted", R"({"com.a":{"volume":0.5}})"),
                      badEntry("NoVolume", R"({"com.a":{"isMuted":true}})"),
                      badEntry("VolumeAsText", R"({"com.a":{"volume":"0.5","isMuted":true}})"),
                      badEntry("MutedAsNumber", R"({"com.a":{"volume":0.5,"isMuted":1}})"),
                      badEntry("VolumeBeyondFloat", R"({"com.a":{"volume":1e39,"isMuted":true}})")),
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

// An application's output survives a restart; only applications can have one, and an empty uid
// makes it follow the default again. Damaged data reads as empty (a bad entry costs only
// itself) and is replaced by the next change, a copy of it kept aside when it is unreadable.
TEST(OutputPinStoreTest, PinsSurviveARestartAndDamagedDataIsReplacedByTheNextChange) {
    using Pins = OutputPinStore::Pins;
    system::InMemoryUserDefaults defaults;
    {
        OutputPinStore store(defaults);
        EXPECT_TRUE(store.setPin("com.a", "usb"));
        EXPECT_TRUE(store.setPin("com.b", "hdmi"));
        EXPECT_TRUE(store.setPin("com.b", ""));
        EXPECT_FALSE(store.setPin("pid:7", "usb"));
        EXPECT_FALSE(store.setPin("com.c", "\xff"));  // not UTF-8
    }
    EXPECT_EQ(OutputPinStore(defaults).pins(), (Pins{{"com.a", "usb"}}));
    EXPECT_EQ(OutputPinStore(defaults).pinnedOutput("com.a"), "usb");

    struct Case {
        const char* document;
        int64_t version;  // 0: none stored
        Pins readable;
        bool keptAside;
    };
    for (const auto& c :
         {Case{R"({"com.a":)", 0, {}, true},
          Case{R"({"com.a":"usb","com.b":7,"com.c":""})", 0, {{"com.a", "usb"}}, false},
          Case{R"({"com.a":"usb"})", 2, {}, true}}) {
        system::InMemoryUserDefaults damaged;
        damaged.set(kAppOutputsKey, bytes(c.document));
        if (c.version != 0) damaged.setInteger(kAppOutputsVersionKey, c.version);
        log::ScopedCapture capture;
        OutputPinStore store(damaged);
        EXPECT_EQ(store.pins(), c.readable) << c.document;
        EXPECT_FALSE(capture->messages(log::Level::Error).empty());
        EXPECT_EQ(damaged.object(kAppOutputsKey), bytes(c.document));

        ASSERT_TRUE(store.setPin("com.new", "hdmi"));
        auto expected = c.readable;
        expected.emplace("com.new", "hdmi");
        EXPECT_EQ(OutputPinStore(damaged).pins(), expected) << c.document;
        EXPECT_EQ(damaged.integer(kAppOutputsVersionKey), 1);
        EXPECT_EQ(damaged.object("TobbleAppOutputsBackup"),
                  c.keptAside ? std::optional(bytes(c.document)) : std::nullopt);
    }
}

}  // namespace
}  // namespace tobble::app
