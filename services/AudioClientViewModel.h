#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Environment.h"
#include "platform/dispatch/CurrentQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Timer.h"
#include "platform/log/Log.h"
#include "platform/system/RunningApplications.h"
#include "services/TobbleAudioService.h"

namespace tobble::engine {
class TAKEngine;
}

namespace tobble::app {

class OutputPinStore;
class VolumeStore;

// The panel's rows: one per application the engine taps, with its name, icon, volume, mute and
// level. A client-list poll runs while routing is on, a level poll while the panel is open; user
// changes go back to the engine and into the volume store. Polling never overwrites what a row
// shows for volume and mute once the row exists.
//
// Main-thread object: every operation is called, and every observer is called, on the main
// queue. The polls run on their own queue and hand their results to the main queue.
class AudioClientViewModel : public std::enable_shared_from_this<AudioClientViewModel> {
  public:
    // One row. (slot, generation, bundleID) names the one application it belongs to.
    struct AppClient {
        uint32_t id = 0;  // the engine's client id (its slot)
        pid_t pid = 0;
        std::string bundleID;  // key of the saved volume and of the hidden list
        uint32_t slot = 0;
        uint32_t generation = 0;
        std::string name;
        system::IconHandle icon;
        float volume = 1.0f;
        bool isMuted = false;
        float previousVolume = 1.0f;  // the starting volume of the row
        float rmsLevel = 0.0f;
        float volumeLimit = 1.0f;  // the slider's top: 1.0, or 2.0 while boost is allowed
        std::string output;        // uid of the device the user sent it to; empty: the default

        friend bool operator==(const AppClient&, const AppClient&) = default;
    };

    // (client id, level) for every row, in row order.
    using Levels = std::vector<std::pair<uint32_t, float>>;

    // What the UI layer listens to. Each callback is optional and is called on the main queue,
    // after the change, with the state at that moment; several changes made in one turn of the
    // main queue arrive as one call.
    struct Observer {
        std::function<void(const std::vector<AppClient>&)>
            clientsChanged;  // rows added, removed or edited
        std::function<void(const Levels&)> levelsChanged;
        std::function<void(bool open)> panelOpenChanged;  // the level poll started or stopped
    };

    // Keeps an observer registered for as long as it lives.
    class Observation {
      public:
        Observation() = default;
        Observation(Observation&&) noexcept = default;
        Observation& operator=(Observation&& other) noexcept;
        ~Observation() { reset(); }
        void reset();

      private:
        friend class AudioClientViewModel;
        struct Entry;
        explicit Observation(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        std::shared_ptr<Entry> entry_;
    };

    static constexpr dispatch::Seconds kClientPollInterval = 0.5;
    static constexpr dispatch::Seconds kLevelPollInterval = 0.033;
    static constexpr dispatch::Seconds kVolumeWriteDelay = 0.016;
    static constexpr dispatch::Seconds kDragEndDelay = 0.5;

    // Every reference must outlive the view model. Without `outputPins` every application
    // follows the default output.
    static std::shared_ptr<AudioClientViewModel> make(const Environment& environment,
                                                      engine::TAKEngine& engine,
                                                      TobbleAudioService& audioService_,
                                                      VolumeStore& volumeStore_,
                                                      OutputPinStore* outputPins = nullptr);
    ~AudioClientViewModel();
    AudioClientViewModel(const AudioClientViewModel&) = delete;
    AudioClientViewModel& operator=(const AudioClientViewModel&) = delete;

    // Reads the client list once at once, then polls it every 500 ms. Idempotent.
    void start();
    // Stops both polls and commits every pending volume change before returning. Idempotent.
    void stop();
    bool isStarted() const { return isStarted_; }

    // The panel opened: levels every 33 ms. The panel closed: the poll stops and every level
    // drops to 0 at once.
    void startRMSPolling();
    void stopRMSPolling();
    bool isPanelOpen() const { return rmsPollTimer_ != nullptr; }

    // A slider moved on the row (clientID, slot, generation). The row shows the value at once;
    // the engine and the volume store get the last value of a burst 16 ms after it.
    void sendVolumeChange(uint32_t clientID, uint32_t slot, uint32_t generation, float volume);
    // Flips the row's mute and commits it at once.
    void toggleMute(uint32_t clientID);

    // Volume above 100 %. Every row takes the new limit at once: turned off, a louder row plays
    // at 1.0 and keeps its saved volume; turned on, a row plays at its saved volume again.
    bool volumeBoostAllowed() const;
    void setVolumeBoostAllowed(bool allowed);
    float volumeLimit() const;

    // Sends the row's application to the output device `uid` (empty: back to the default). The
    // choice is saved under the application's identity and its sound cross-fades there. False,
    // changing nothing, for a row that is gone, an application without an identity, or a choice
    // that cannot be saved.
    bool setOutput(uint32_t clientID, const std::string& uid);

    const std::vector<AppClient>& clients() const { return clients_; }
    const AppClient* client(uint32_t clientID) const;

    // Drag bookkeeping for the row views: a row counts as dragged from the start of a drag until
    // half a second after its end.
    void beginDrag(uint32_t clientID);
    void endDrag(uint32_t clientID);
    bool isDragging(uint32_t clientID) const { return draggingClients_.count(clientID) != 0; }

    [[nodiscard]] Observation observe(Observer observer);

    // For tests and benchmarks: one run of a poll handler on the calling thread instead of the
    // poll queue. Results still reach the rows through the main queue.
    void runClientPollForTesting() {
        dispatch::CurrentQueue::Scope asPollQueue(pollQueue_.get());
        fetchClientListUpdate();
    }
    void runLevelPollForTesting() {
        dispatch::CurrentQueue::Scope asPollQueue(pollQueue_.get());
        fetchRMSLevels(levelPoll_);
    }

  private:
    using TobbleClient = TobbleAudioService::TobbleClient;

    struct Metadata {
        std::string name;
        system::IconHandle icon;
    };
    // The row a pending write was made on.
    struct RowIdentity {
        uint32_t slot = 0;
        uint32_t generation = 0;
        std::optional<std::string> bundleID;
        friend bool operator==(const RowIdentity&, const RowIdentity&) = default;
    };
    // The one scheduled commit of a client's latest slider value.
    struct PendingWrite {
        dispatch::WorkItemPtr item;
        uint64_t token = 0;
        RowIdentity row;
        float volume = 1.0f;
        bool muted = false;
    };
    enum Change : unsigned { kClientsChanged = 1, kLevelsChanged = 2, kPanelChanged = 4 };
    struct ObserverList;

    AudioClientViewModel(const Environment& environment, engine::TAKEngine& engine,
                         TobbleAudioService& audioService_, VolumeStore& volumeStore_,
                         OutputPinStore* outputPins);
    std::string outputOf(const std::string& bundleID) const;

    // ---- poll queue (checked in debug builds)
    void startPollingTimer(dispatch::TimerPtr& slot, dispatch::Seconds interval,
                           std::function<void()> handler);
    void fetchClientListUpdate();
    void fetchRMSLevels(uint64_t levelPoll);

    // ---- main queue
    std::vector<TobbleClient> readClientList() const;
    void updateClients(const std::vector<TobbleClient>& polled);
    void applyLevels(const Levels& levels, uint64_t levelPoll);
    void zeroLevels();
    Metadata resolveAppMetadata(pid_t pid, const std::string& bundleID);
    AppClient* findClient(uint32_t clientID);
    void commitVolumeWrite(uint32_t clientID, const PendingWrite& write);
    // `save`: the bridge saves the volume too.
    bool writeToEngine(const RowIdentity& row, float volume, bool muted, bool save = true);
    void publish(unsigned changes);
    void deliverChanges();
    Levels levels() const;

    const Environment env_;
    engine::TAKEngine& engine_;
    TobbleAudioService& audioService_;
    VolumeStore& volumeStore_;
    OutputPinStore* const outputPins_;
    const log::Logger logger_;
    const dispatch::QueuePtr pollQueue_;

    std::vector<AppClient> clients_;
    std::map<std::string, Metadata> appMetadataCache_;
    dispatch::TimerPtr clientPollTimer_;
    dispatch::TimerPtr rmsPollTimer_;
    uint64_t levelPoll_ = 0;  // raised whenever the level poll starts or stops
    std::set<uint32_t> draggingClients_;
    std::map<uint32_t, dispatch::WorkItemPtr> pendingDragEndRemovals_;
    std::map<uint32_t, PendingWrite> pendingVolumeWrites_;
    std::map<uint32_t, uint64_t> pendingVolumeTokens_;
    uint64_t nextToken_ = 0;
    bool isStarted_ = false;

    // The last polled list, kept for a client that had no running application yet: it is shown
    // once its application launches, without waiting for the engine's next change.
    std::vector<TobbleClient> lastPolled_;
    bool waitingForApplication_ = false;
    system::ObservationToken launchObservation_;

    unsigned pendingChanges_ = 0;
    bool deliveryScheduled_ = false;
    std::shared_ptr<ObserverList> observers_;
};

}  // namespace tobble::app
