#include <gtest/gtest.h>

#include "engine/TAKTobbleClientBridge.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/EngineTestBed.h"

namespace tobble::engine {
namespace {

class ClientBridgeTest : public ::testing::Test {
  protected:
    TAKTapCatalog catalog;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    tobble::testing::MemorySavedVolumes saved;
    TAKTobbleClientBridge bridge{catalog, volumes, levels, &saved};
    log::ScopedCapture capture;

    // An active entry for `pid` in the next free slot.
    TAKTapCatalog::Allocation activate(pid_t pid, std::optional<std::string> bundleID) {
        const auto a = catalog.allocate(pid, bundleID, 0.0);
        TAKTap tap;
        tap.pid = pid;
        tap.uid = "tap-" + std::to_string(pid);
        catalog.markActive(pid, tap);
        return a;
    }
};

TEST_F(ClientBridgeTest, EmptyCatalogGivesNoClients) {
    catalog.allocate(1, "pending.only", 0.0);
    EXPECT_TRUE(bridge.readClientList().empty());
    EXPECT_TRUE(bridge.readRMSLevels().empty());
}

TEST_F(ClientBridgeTest, OneClientPerBundleKeyRepresentedByItsLowestSlot) {
    activate(10, "com.example.Browser");  // slot 0
    activate(95, std::nullopt);           // slot 1, known by pid only
    activate(11, "com.apple.Music");      // slot 2
    activate(12, "com.example.Browser");  // slot 3
    levels.rms[0].store(0.2f);
    levels.rms[3].store(0.6f);
    volumes.write(0, 0.4f, true);

    const auto clients = bridge.readClientList();
    ASSERT_EQ(clients.size(), 3u);
    EXPECT_EQ(clients[0].bundleID, "com.apple.Music");
    EXPECT_EQ(clients[1].bundleID, "com.example.Browser");
    EXPECT_EQ(clients[2].bundleID, "pid:95");
    EXPECT_EQ(clients[0].clientID, 2u);  // a client is named by its representative slot
    EXPECT_EQ(clients[1].slot, 0u);
    EXPECT_EQ(clients[1].pid, 10);
    EXPECT_EQ(clients[1].generation, 1u);
    EXPECT_FLOAT_EQ(clients[1].volume, 0.4f);
    EXPECT_TRUE(clients[1].isMuted());

    const auto rms = bridge.readRMSLevels();
    ASSERT_EQ(rms.size(), 3u);
    EXPECT_EQ(rms[0].first, 2u);
    EXPECT_FLOAT_EQ(rms[1].second, 0.6f);  // the loudest member
}

TEST_F(ClientBridgeTest, ChangeReachesEverySlotOfTheApplicationAndIsSaved) {
    activate(10, "com.example.Browser");
    activate(12, "com.example.Browser");
    activate(13, "com.example.Other");
    ASSERT_TRUE(bridge.setClientVolume(0, 1, 1.7f, false));
    EXPECT_EQ(volumes.volume(0), 1.0f);
    EXPECT_EQ(volumes.volume(1), 1.0f);
    ASSERT_TRUE(bridge.setClientVolume(0, 1, -0.2f, true));
    EXPECT_EQ(volumes.volume(0), 0.0f);
    EXPECT_TRUE(volumes.muted(1));
    EXPECT_FALSE(volumes.muted(2));
    // The saved value keeps the volume as given.
    EXPECT_FLOAT_EQ(saved.saved.at("com.example.Browser").volume, -0.2f);
    EXPECT_TRUE(saved.saved.at("com.example.Browser").isMuted);
}

TEST_F(ClientBridgeTest, PidOnlyClientsAreAppliedButNotSaved) {
    activate(95, std::nullopt);
    EXPECT_TRUE(bridge.setClientVolume(0, 1, 0.3f, false));
    EXPECT_FLOAT_EQ(volumes.volume(0), 0.3f);
    EXPECT_TRUE(saved.saved.empty());
}

TEST_F(ClientBridgeTest, StaleIdentityNeverWritesIntoTheNextTenant) {
    const auto a = activate(10, "com.example.A");
    catalog.free(10);
    const auto b = activate(20, "com.example.B");  // same slot, later generation
    ASSERT_EQ(a.slot, b.slot);
    volumes.write(b.slot, 0.8f, false);

    EXPECT_FALSE(bridge.setClientVolume(a.slot, a.generation, 0.1f, true));
    EXPECT_TRUE(capture->contains("setClientVolume REJECTED slot=0 gen=1 (stale or missing)"));
    EXPECT_FLOAT_EQ(volumes.volume(b.slot), 0.8f);
    EXPECT_FALSE(volumes.muted(b.slot));
    EXPECT_TRUE(saved.saved.empty());  // neither application's saved state changed

    // Pending entries and empty slots are refused the same way.
    catalog.allocate(30, "com.example.Pending", 0.0);
    EXPECT_FALSE(bridge.setClientVolume(1, 1, 0.5f, false));
    EXPECT_FALSE(bridge.setClientVolume(7, 1, 0.5f, false));
}

}  // namespace
}  // namespace tobble::engine
