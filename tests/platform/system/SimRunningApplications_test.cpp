#include "platform/system/sim/SimRunningApplications.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/VirtualDispatcher.h"

namespace tobble::system::sim {
namespace {

SimApplication app(pid_t pid, std::string bundleID, std::string name) {
    return {.pid = pid, .bundleID = std::move(bundleID), .name = std::move(name)};
}

class SimWorkspaceTest : public ::testing::Test {
  protected:
    dispatch::VirtualDispatcher dispatcher;
    dispatch::QueuePtr queue = dispatcher.makeSerialQueue("observer");
    SimRunningApplications workspace;
};

TEST_F(SimWorkspaceTest, SnapshotKeepsLaunchOrderAndARelaunchedPidKeepsItsPlace) {
    workspace.launch(app(300, "org.example.Player", "Player"));
    SimApplication helper = app(301, "org.example.Player.helper", "Player Helper");
    helper.isAppBundle = false;
    workspace.launch(helper);
    workspace.launch(app(302, "org.example.Browser", "Browser"));
    workspace.terminate(300);
    workspace.launch(app(301, "org.example.Editor", "Editor"));

    EXPECT_EQ(workspace.snapshot(),
              (std::vector<RunningApplication>{{301, "org.example.Editor", true},
                                               {302, "org.example.Browser", true}}));
    EXPECT_EQ(workspace.lookup(300), std::nullopt);
}

TEST_F(SimWorkspaceTest, LookupGivesTheGivenIconOrALetterTile) {
    SimApplication agent = app(310, "org.example.Agent", "Agent");
    agent.icon = IconHandle{IconHandle::Kind::ThemeName, "org.example.agent", 0};
    workspace.launch(agent);
    workspace.launch(app(320, "org.example.music", "  music"));
    workspace.launch(app(321, "org.example.music", "Ähnlich"));
    workspace.launch(app(322, "org.example.mail", ""));

    EXPECT_EQ(workspace.lookup(310)->icon, agent.icon);
    EXPECT_EQ(workspace.lookup(322)->localizedName, std::nullopt);

    const IconHandle music = workspace.lookup(320)->icon;
    EXPECT_EQ(music.kind, IconHandle::Kind::LetterTile);
    EXPECT_EQ(music.value, "M");
    EXPECT_EQ(workspace.lookup(321)->icon.value, "Ä");  // a whole character, not a byte of it
    EXPECT_EQ(workspace.lookup(321)->icon.color, music.color);
    // The colour is a pure function of the bundle id: another workspace agrees.
    SimRunningApplications other;
    other.launch(app(1, "org.example.music", "x"));
    EXPECT_EQ(other.lookup(1)->icon.color, music.color);
}

TEST_F(SimWorkspaceTest, ObserversHearLaunchesAndTerminationsOnTheirQueueLater) {
    std::vector<std::string> heard;
    auto launches = workspace.observeLaunches(queue, [&](pid_t pid) {
        EXPECT_TRUE(queue->isCurrent());
        heard.push_back("launch " + std::to_string(pid));
    });
    auto terminations = workspace.observeTerminations(queue, [&](pid_t pid) {
        EXPECT_TRUE(queue->isCurrent());
        heard.push_back("terminate " + std::to_string(pid));
    });

    workspace.launch(app(330, "org.example.A", "A"));
    workspace.launch(app(331, "org.example.B", "B"));
    workspace.terminate(330);
    workspace.terminate(999);  // not running: nothing to tell
    EXPECT_TRUE(heard.empty());

    dispatcher.runDue();
    EXPECT_EQ(heard, (std::vector<std::string>{"launch 330", "launch 331", "terminate 330"}));
}

TEST_F(SimWorkspaceTest, DroppingTheTokenStopsDeliveryEvenOfNotificationsInFlight) {
    int launchesHeard = 0;
    auto token = workspace.observeLaunches(queue, [&](pid_t) { ++launchesHeard; });
    workspace.launch(app(340, "org.example.A", "A"));
    token.reset();  // the notification above is queued but not delivered yet
    workspace.launch(app(341, "org.example.B", "B"));
    dispatcher.advance(1.0);
    EXPECT_EQ(launchesHeard, 0);
}

TEST_F(SimWorkspaceTest, AnObserverMayDropItsOwnTokenWhileBeingCalled) {
    std::vector<pid_t> heard;
    ObservationToken token;
    token = workspace.observeTerminations(queue, [&](pid_t pid) {
        heard.push_back(pid);
        token.reset();
    });
    workspace.launch(app(350, "org.example.A", "A"));
    workspace.launch(app(351, "org.example.B", "B"));
    workspace.terminate(350);
    dispatcher.runDue();
    workspace.terminate(351);
    dispatcher.runDue();
    EXPECT_EQ(heard, std::vector<pid_t>{350});
}

TEST_F(SimWorkspaceTest, ATokenMayOutliveItsWorkspace) {
    ObservationToken token;
    {
        SimRunningApplications shortLived;
        token = shortLived.observeLaunches(queue, [](pid_t) { FAIL() << "workspace is gone"; });
        shortLived.launch(app(360, "org.example.A", "A"));
    }
    dispatcher.runDue();  // a delivery posted by the gone workspace
    token.reset();        // must not touch the destroyed workspace
}

TEST(SimResponsibilityTest, AnswersLikeTheSystemQueryAndFollowsLaterChanges) {
    auto table = std::make_unique<SimResponsibility>();
    table->set(400, 100);
    table->set(401, 401);  // responsible for itself: no answer
    table->set(402, 0);    // an invalid pid: no answer
    ResponsibleProcessLookup query = table->lookup();
    EXPECT_EQ(query(400), 100);
    EXPECT_EQ(query(401), std::nullopt);
    EXPECT_EQ(query(402), std::nullopt);

    table->set(403, 100);
    table->clear(400);
    table.reset();
    EXPECT_EQ(query(403), 100);  // later changes show, and the query outlives the table's owner
    EXPECT_EQ(query(400), std::nullopt);
}

}  // namespace
}  // namespace tobble::system::sim
