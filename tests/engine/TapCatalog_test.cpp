#include <gtest/gtest.h>

#include "engine/TAKTapCatalog.h"
#include "engine/core/TAKError.h"

namespace tobble::engine {
namespace {

class TapCatalogTest : public ::testing::Test {
  protected:
    TAKTapCatalog catalog;

    void fill(pid_t firstPid, int count, double now) {
        for (int i = 0; i < count; ++i) catalog.allocate(firstPid + i, std::nullopt, now);
    }
};

TEST_F(TapCatalogTest, HandsOutLowestSlotsAndNeverReusesAGeneration) {
    for (uint32_t i = 0; i < 3; ++i) {
        const auto a = catalog.allocate(100 + static_cast<pid_t>(i), "app", 10.0);
        EXPECT_EQ(a.slot, i);
        EXPECT_EQ(a.generation, 1u);
        EXPECT_EQ(catalog.entry(100 + static_cast<pid_t>(i))->state, TAKTapEntry::State::pending);
    }
    // Same pid again: unchanged.
    const auto again = catalog.allocate(101, "other", 99.0);
    EXPECT_EQ(again.slot, 1u);
    EXPECT_EQ(again.generation, 1u);

    // A freed and re-used slot moves two generations on: one for the release, one for the
    // take-over.
    catalog.free(100);
    const auto b = catalog.allocate(200, "b", 11.0);
    EXPECT_EQ(b.slot, 0u);
    EXPECT_EQ(b.generation, 3u);
    catalog.free(12345);  // unknown pid: nothing
    EXPECT_EQ(catalog.entry(200)->generation, 3u);
}

TEST_F(TapCatalogTest, OnlyActiveEntriesAreListedAndMarkActiveKeepsIdentity) {
    catalog.allocate(1, "a", 5.0);
    catalog.allocate(2, "b", 5.0);
    TAKTap tap;
    tap.uid = "tap-1";
    catalog.markActive(1, tap);
    catalog.markActive(77, tap);  // unknown: ignored
    const auto active = catalog.activeEntries();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].pid, 1);
    EXPECT_EQ(active[0].generation, 1u);
}

TEST_F(TapCatalogTest, FullCatalogRefusesThenGivesTheFreedSlot) {
    fill(1000, 32, 0.0);
    EXPECT_THROW(catalog.allocate(2000, std::nullopt, 0.0), TAKError);
    catalog.markRejected(2000, std::nullopt);  // no free slot: nothing recorded
    EXPECT_FALSE(catalog.entry(2000).has_value());

    catalog.free(1005);
    const auto a = catalog.allocate(2000, std::nullopt, 0.0);
    EXPECT_EQ(a.slot, 5u);
    EXPECT_EQ(a.generation, 3u);
}

TEST_F(TapCatalogTest, EvictionPicksTheLongestSilentBeyondTheThreshold) {
    catalog.allocate(1, std::nullopt, 90.0);  // silent 10 s at t=100
    catalog.allocate(2, std::nullopt, 80.0);  // silent 20 s
    catalog.allocate(3, std::nullopt, 97.0);  // silent 3 s
    EXPECT_EQ(catalog.pickEvictionCandidate(100.0, 5.0)->pid, 2);

    catalog.noteAudible(2, 99.0);
    catalog.noteAudible(1, 95.0);  // exactly 5 s: not beyond the threshold
    EXPECT_FALSE(catalog.pickEvictionCandidate(100.0, 5.0).has_value());

    // Rejected entries hold a slot but are never evicted.
    catalog.markRejected(4, "refused");
    EXPECT_EQ(catalog.entry(4)->state, TAKTapEntry::State::rejected);
    EXPECT_EQ(catalog.entry(4)->slot, 3u);
    EXPECT_FALSE(catalog.pickEvictionCandidate(1000.0, 2000.0).has_value());
    EXPECT_NE(catalog.pickEvictionCandidate(1000.0, 5.0)->pid, 4);
    // Allocating a rejected pid returns its entry unchanged.
    EXPECT_EQ(catalog.allocate(4, "refused", 1.0).generation, catalog.entry(4)->generation);
}

TEST_F(TapCatalogTest, GenerationsWrapAround) {
    catalog.setSlotGenerationForTesting(0, 4294967295u);
    const auto a = catalog.allocate(1, std::nullopt, 0.0);
    EXPECT_EQ(a.generation, 0u);
    catalog.free(1);
    EXPECT_EQ(catalog.allocate(2, std::nullopt, 0.0).generation, 2u);
}

}  // namespace
}  // namespace tobble::engine
