#include "services/AudioClientViewModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "services/SystemProcessExclusions.h"
#include "tests/services/ServicesTestBed.h"

namespace tobble::app {
namespace {

using system::ActivationPolicy;
using AppClient = AudioClientViewModel::AppClient;
using SavedState = VolumeStore::SavedState;

class ViewModelTest : public ::testing::Test, public testing::ServicesTestBed {
  protected:
    void SetUp() override { addSpeakers(); }

    // Starts engine and view model with the given applications playing.
    void startWith(std::initializer_list<std::pair<pid_t, std::string>> playing) {
        for (const auto& [pid, bundleID] : playing) launch(pid, bundleID);
        engine->start();
        viewModel->start();
    }

    const AppClient& rowOf(std::string_view bundleID) const {
        const AppClient* r = row(bundleID);
        EXPECT_NE(r, nullptr) << "no row for " << bundleID;
        static const AppClient none;
        return r ? *r : none;
    }
    // Music playing alone, with engine and view model started; returns its row.
    AppClient startMusic() {
        startWith({{300, "com.example.Music"}});
        return rowOf("com.example.Music");
    }
    void send(const AppClient& r, float volume) {
        viewModel->sendVolumeChange(r.id, r.slot, r.generation, volume);
    }
    // Volume and mute as a row shows them, and as the engine's table holds them.
    SavedState shown(std::string_view bundleID) const {
        const AppClient& r = rowOf(bundleID);
        return {r.volume, r.isMuted};
    }
    SavedState inEngine(uint32_t slot) const {
        return {volumeState.volume(slot), volumeState.muted(slot)};
    }

    // An engine restart hands Music's (slot, generation) to Video while the panel still shows
    // Music's row, half-way between two polls. Returns Music's row as the user still sees it.
    AppClient handMusicsSlotToVideo() {
        const auto musicObject = launch(300, "com.example.Music", "Music");
        engine->start();
        viewModel->start();
        const AppClient music = rowOf("com.example.Music");
        advance(0.1);  // the first poll has run; the next one is due 0.4 s from now
        engine->stop();
        audio.stopPlaying(musicObject);
        launch(301, "com.example.Video", "Video");
        engine->start();
        const auto video = engine->catalog()->entry(301);
        EXPECT_EQ(std::pair(video->slot, video->generation),
                  std::pair(music.slot, music.generation));
        return music;
    }

    std::vector<std::string> shownBundles() const {
        std::vector<std::string> ids;
        for (const auto& r : viewModel->clients()) ids.push_back(r.bundleID);
        return ids;
    }
};

// ---- rows from the engine's client list

TEST_F(ViewModelTest, NewRowsStartAtTheSavedOrTheDefaultVolumeAndReachTheEngineAtOnce) {
    volumeStore.save("com.example.Music", 0.3f, true);
    volumeStore.setDefaultVolume(0.6);
    launch(300, "com.example.Music", "Music");
    launch(301, "com.example.Video", "Video");
    engine->start();
    // The engine admitted Video at full volume: it knows nothing of the default volume.
    ASSERT_FLOAT_EQ(volumeState.volume(engine->catalog()->entry(301)->slot), 1.0f);

    viewModel->start();
    ASSERT_EQ(shownBundles(), (std::vector<std::string>{"com.example.Music", "com.example.Video"}));
    EXPECT_EQ(rowOf("com.example.Music").name, "Music");
    EXPECT_EQ(shown("com.example.Music"), (SavedState{0.3f, true}));
    EXPECT_EQ(shown("com.example.Video"), (SavedState{0.6f, false}));
    EXPECT_EQ(inEngine(rowOf("com.example.Music").slot), (SavedState{0.3f, true}));
    EXPECT_EQ(inEngine(rowOf("com.example.Video").slot), (SavedState{0.6f, false}));
    // From now on Video has a saved state of its own: a later default does not apply to it.
    EXPECT_EQ(saved("com.example.Video"), (SavedState{0.6f, false}));
}

TEST_F(ViewModelTest, PollingNeverOverwritesWhatARowShows) {
    const AppClient music = startMusic();
    send(music, 0.2f);
    viewModel->toggleMute(music.id);
    advance(0.1);

    // The engine's table says something else, and a catalog change makes the poll re-read it.
    volumeState.write(music.slot, 0.9f, false);
    launch(301, "com.example.Video");
    advance(1.0);
    ASSERT_NE(row("com.example.Video"), nullptr);
    EXPECT_EQ(shown("com.example.Music"), (SavedState{0.2f, true}));
}

TEST_F(ViewModelTest, VanishedClientLeavesAndReturnsAtItsSavedVolume) {
    startWith({{300, "com.example.Music"}, {301, "com.example.Video"}});
    send(rowOf("com.example.Music"), 0.25f);
    advance(0.1);

    quit(300);
    advance(29.0);  // the engine keeps an exited application's pipeline for 30 s
    EXPECT_NE(row("com.example.Music"), nullptr);
    advance(3.0);
    EXPECT_EQ(shownBundles(), std::vector<std::string>{"com.example.Video"});

    launch(310, "com.example.Music");
    advance(1.0);
    EXPECT_EQ(rowOf("com.example.Music").pid, 310);
    EXPECT_EQ(shown("com.example.Music"), (SavedState{0.25f, false}));
    EXPECT_EQ(inEngine(rowOf("com.example.Music").slot), (SavedState{0.25f, false}));

    // Without a saved state it comes back at the default volume, not at the one it left with.
    quit(301);
    advance(32.0);
    volumeStore.persist({});
    volumeStore.setDefaultVolume(0.35);
    launch(311, "com.example.Video");
    advance(1.0);
    EXPECT_FLOAT_EQ(rowOf("com.example.Video").volume, 0.35f);
}

TEST_F(ViewModelTest, OnlyRegularApplicationsWithOrdinaryIdentifiersAreShown) {
    launch(300, "com.example.Music");
    launch(301, "com.example.Menubar", "Menubar", ActivationPolicy::Accessory);
    launch(302, "com.example.Daemon", "Daemon", ActivationPolicy::Prohibited);
    play(303, "com.example.Orphan");       // no running application with this pid
    launch(304, std::nullopt, "Tracker");  // no bundle identifier: known by its pid
    pid_t pid = 400;
    for (const auto prefix : kSystemProcessPrefixes) {
        launch(pid++, std::string(prefix) + "Extra");  // a prefix covers longer identifiers too
    }
    engine->start();
    ASSERT_EQ(engine->catalog()->activeEntries().size(), 5u + kSystemProcessPrefixes.size());

    viewModel->start();
    EXPECT_EQ(shownBundles(), (std::vector<std::string>{"com.example.Music", "pid:304"}));
    EXPECT_EQ(rowOf("pid:304").name, "Tracker");
}

TEST_F(ViewModelTest, ClientWithoutApplicationAppearsWhenItsApplicationLaunches) {
    play(303, "com.example.Late");
    engine->start();
    viewModel->start();
    advance(1.0);
    EXPECT_TRUE(viewModel->clients().empty());

    // The workspace learns of the application later; the engine's catalog does not change.
    const uint32_t generation = engine->catalogGeneration();
    apps.launch({.pid = 303, .bundleID = "com.example.Late", .name = "Late"});
    advance(1.0);
    EXPECT_EQ(engine->catalogGeneration(), generation);
    EXPECT_EQ(rowOf("com.example.Late").name, "Late");
}

// ---- user changes

// Each change restarts the 16 ms wait, so the engine and the saved state only ever see the last.
TEST_F(ViewModelTest, SliderBurstReachesEngineAndSaved16msAfterItsLastChange) {
    const AppClient music = startMusic();
    for (float volume : {0.8f, 0.6f, 0.4f}) {
        send(music, volume);
        advance(0.005);
    }
    EXPECT_FLOAT_EQ(rowOf("com.example.Music").volume, 0.4f);  // the row follows the slider at once

    advance(0.0109);
    EXPECT_FLOAT_EQ(volumeState.volume(music.slot), 1.0f);
    EXPECT_FLOAT_EQ(saved("com.example.Music")->volume, 1.0f);
    advance(0.0002);
    EXPECT_FLOAT_EQ(volumeState.volume(music.slot), 0.4f);
    EXPECT_FLOAT_EQ(saved("com.example.Music")->volume, 0.4f);
}

TEST_F(ViewModelTest, StopCommitsAPendingChangeBeforeReturning) {
    const AppClient music = startMusic();
    send(music, 0.3f);
    viewModel->stop();
    EXPECT_FLOAT_EQ(volumeState.volume(music.slot), 0.3f);
    EXPECT_FLOAT_EQ(saved("com.example.Music")->volume, 0.3f);

    volumeState.write(music.slot, 0.9f, false);  // a stale second write would undo this
    advance(1.0);
    EXPECT_FLOAT_EQ(volumeState.volume(music.slot), 0.9f);
}

TEST_F(ViewModelTest, MuteIsImmediateAndSurvivesASliderWriteStillPending) {
    const AppClient music = startMusic();
    send(music, 0.4f);
    advance(0.005);
    viewModel->toggleMute(music.id);
    EXPECT_TRUE(volumeState.muted(music.slot));
    EXPECT_TRUE(saved("com.example.Music")->isMuted);

    advance(0.1);
    EXPECT_EQ(inEngine(music.slot), (SavedState{0.4f, true}));
    EXPECT_EQ(saved("com.example.Music"), (SavedState{0.4f, true}));

    viewModel->toggleMute(music.id);
    EXPECT_EQ(inEngine(music.slot), (SavedState{0.4f, false}));
    EXPECT_EQ(saved("com.example.Music"), (SavedState{0.4f, false}));
}

TEST_F(ViewModelTest, VolumeChangeIsHeardOnTheDeviceOneCycleAfterTheCoalescingDelay) {
    const AppClient music = startMusic();
    advance(0.5);  // past the pipeline's warm-up
    const double changedAt = now();
    send(music, 0.25f);
    advance(0.2);

    // Every cycle before the write still has the old level, every one after it the new.
    const double writtenAt = changedAt + AudioClientViewModel::kVolumeWriteDelay;
    const auto cycles = audio.cycles("speakers", changedAt - 0.05, now());
    ASSERT_GT(cycles.back().time, writtenAt);
    for (const auto& c : cycles) {
        if (std::abs(c.time - writtenAt) < 1e-9) continue;
        EXPECT_NEAR(c.rms, c.time < writtenAt ? kSineRms : kSineRms * 0.25f, 0.01) << c.time;
    }
}

// ---- volume above 100 %

// Turning boost off plays a louder application at its own level without forgetting where the
// user had it: neither while it plays nor when it comes back; turning boost on restores it.
TEST_F(ViewModelTest, TurningBoostOffPlaysAtFullLevelAndKeepsTheSavedVolume) {
    const AppClient music = startMusic();
    advance(0.5);  // past the pipeline's warm-up
    send(music, 1.5f);
    advance(0.1);
    EXPECT_FLOAT_EQ(rowOf("com.example.Music").volume, 1.0f);  // refused above 1.0 while off

    viewModel->setVolumeBoostAllowed(true);
    send(music, 1.5f);
    advance(0.5);
    EXPECT_NEAR(levelOn("speakers", 0.2), kSineRms * 1.5f, 0.01);

    viewModel->setVolumeBoostAllowed(false);
    advance(0.5);
    EXPECT_FLOAT_EQ(rowOf("com.example.Music").volume, 1.0f);
    EXPECT_FLOAT_EQ(rowOf("com.example.Music").volumeLimit, 1.0f);
    EXPECT_NEAR(levelOn("speakers", 0.2), kSineRms, 0.01);
    quit(300);
    advance(32.0);
    launch(310, "com.example.Music");
    advance(1.0);
    EXPECT_FLOAT_EQ(volumeState.volume(rowOf("com.example.Music").slot), 1.0f);
    EXPECT_EQ(saved("com.example.Music"), (SavedState{1.5f, false}));

    viewModel->setVolumeBoostAllowed(true);
    EXPECT_FLOAT_EQ(rowOf("com.example.Music").volume, 1.5f);
    EXPECT_FLOAT_EQ(volumeState.volume(rowOf("com.example.Music").slot), 1.5f);
}

// ---- a slot that passes to another application

TEST_F(ViewModelTest, SlotTakenOverByAnotherApplicationGetsAFreshRow) {
    const AppClient music = handMusicsSlotToVideo();
    // Before the next poll the user still sees Music's row and uses it.
    send(music, 0.1f);
    viewModel->toggleMute(music.id);
    advance(0.02);
    EXPECT_EQ(inEngine(music.slot), (SavedState{1.0f, false}));
    EXPECT_FALSE(saved("com.example.Video").has_value());
    EXPECT_EQ(saved("com.example.Music"), (SavedState{0.1f, true}));  // still Music's

    advance(0.5);
    ASSERT_EQ(viewModel->clients().size(), 1u);
    EXPECT_EQ(rowOf("com.example.Video").id, music.id);
    EXPECT_EQ(rowOf("com.example.Video").name, "Video");
    EXPECT_EQ(shown("com.example.Video"), (SavedState{1.0f, false}));
}

TEST_F(ViewModelTest, ChangePendingWhenItsRowIsReplacedStillCommitsForItsOwnApplication) {
    const AppClient music = handMusicsSlotToVideo();
    // A change on Music's row 5 ms before the poll that replaces the row...
    advance(0.395);
    send(music, 0.15f);
    advance(0.01);
    const AppClient video = rowOf("com.example.Video");
    ASSERT_EQ(video.id, music.id);
    // ...is not swallowed by a change on the new row that follows within the 16 ms.
    send(video, 0.7f);
    EXPECT_FLOAT_EQ(saved("com.example.Music")->volume, 0.15f);
    advance(0.02);
    EXPECT_FLOAT_EQ(saved("com.example.Video")->volume, 0.7f);
    EXPECT_FLOAT_EQ(volumeState.volume(video.slot), 0.7f);
}

// ---- levels and the panel

TEST_F(ViewModelTest, LevelsMoveWhileThePanelIsOpenAndDropToZeroWhenItClosesEvenInFlight) {
    startWith({{300, "com.example.Music"}, {301, "com.example.Video"}});
    advance(0.5);
    EXPECT_EQ(rowOf("com.example.Music").rmsLevel, 0.0f);  // no level poll while closed

    viewModel->startRMSPolling();
    EXPECT_TRUE(viewModel->isPanelOpen());
    advance(0.1);
    EXPECT_GT(rowOf("com.example.Music").rmsLevel, 0.1f);
    EXPECT_GT(rowOf("com.example.Video").rmsLevel, 0.1f);

    viewModel->stopRMSPolling();
    EXPECT_FALSE(viewModel->isPanelOpen());
    for (const auto& r : viewModel->clients()) EXPECT_EQ(r.rmsLevel, 0.0f);
    advance(0.5);
    for (const auto& r : viewModel->clients()) EXPECT_EQ(r.rmsLevel, 0.0f);

    // A reading on its way to the main queue when the panel closes is discarded.
    viewModel->startRMSPolling();
    dispatcher.mainQueue().async([vm = viewModel] { vm->stopRMSPolling(); });
    dispatcher.runDue();
    EXPECT_EQ(rowOf("com.example.Music").rmsLevel, 0.0f);
}

TEST_F(ViewModelTest, ObserversHearOfChangesOnTheMainQueueAfterTheCall) {
    launch(300, "com.example.Music");
    engine->start();
    std::vector<std::string> events;
    auto observation = viewModel->observe({
        .clientsChanged =
            [&](const std::vector<AppClient>& rows) {
                EXPECT_TRUE(dispatcher.mainQueue().isCurrent());
                events.push_back("clients:" + std::to_string(rows.size()));
            },
        .levelsChanged =
            [&](const AudioClientViewModel::Levels& levels) {
                events.push_back(std::string("levels:") +
                                 (levels.at(0).second > 0 ? "sound" : "silence"));
            },
        .panelOpenChanged = [&](bool open) { events.push_back(open ? "open" : "closed"); },
    });

    viewModel->start();
    EXPECT_TRUE(events.empty());
    dispatcher.runDue();
    EXPECT_EQ(events, std::vector<std::string>{"clients:1"});

    events.clear();
    viewModel->toggleMute(rowOf("com.example.Music").id);
    viewModel->toggleMute(rowOf("com.example.Music").id);
    advance(0.6);  // two changes in one turn arrive as one; an unchanged poll says nothing
    EXPECT_EQ(events, std::vector<std::string>{"clients:1"});

    events.clear();
    viewModel->toggleMute(rowOf("com.example.Music").id);  // unmuted again, so it is heard
    viewModel->startRMSPolling();
    advance(0.2);
    viewModel->stopRMSPolling();
    dispatcher.runDue();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front(), "open");
    EXPECT_EQ(events[events.size() - 2], "closed");
    EXPECT_EQ(events.back(), "levels:silence");

    events.clear();
    observation.reset();
    viewModel->toggleMute(rowOf("com.example.Music").id);
    dispatcher.runDue();
    EXPECT_TRUE(events.empty());
}

TEST_F(ViewModelTest, PollResultArrivingAfterStopIsDiscardedAndStartIsIdempotent) {
    startWith({{300, "com.example.Music"}});
    viewModel->start();
    dispatcher.runDue();  // the first poll; the next is due in 0.5 s
    launch(301, "com.example.Video");
    // The poll at 0.5 s reads Video; the view model stops before its result is applied.
    dispatcher.mainQueue().asyncAfter(0.5, [vm = viewModel] {
        vm->stop();
        vm->stop();
    });
    advance(1.0);
    EXPECT_EQ(viewModel->clients().size(), 1u);
    viewModel->start();
    EXPECT_EQ(viewModel->clients().size(), 2u);
}

}  // namespace
}  // namespace tobble::app
