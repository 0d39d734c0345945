#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/ProcessTable.h"
#include "platform/system/RunningApplications.h"

namespace tobble::audio::sim {
class SimAudioSystem;
}

namespace tobble::system::sim {

// A running application of the simulated desktop.
struct SimApplication {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
    std::string name;
    bool isAppBundle = true;
    ActivationPolicy activationPolicy = ActivationPolicy::Regular;
    IconHandle icon;  // a letter tile from the name when left empty
};

// The workspace of the simulated desktop: applications launch and terminate on command and
// observers hear about it on their queues.
class SimRunningApplications final : public RunningApplications {
  public:
    SimRunningApplications();
    ~SimRunningApplications() override;

    void launch(SimApplication app);
    void terminate(pid_t pid);
    bool isRunning(pid_t pid) const;

    std::vector<RunningApplication> snapshot() const override;
    std::optional<ApplicationDetails> lookup(pid_t pid) const override;
    ObservationToken observeLaunches(dispatch::QueuePtr queue, Observer observer) override;
    ObservationToken observeTerminations(dispatch::QueuePtr queue, Observer observer) override;

  private:
    struct Observers;
    mutable std::mutex mutex_;
    std::vector<SimApplication> apps_;
    std::shared_ptr<Observers> observers_;
};

// Processes of the simulated desktop exist while the audio system or the workspace knows them,
// or when registered by hand (helpers without audio).
class SimProcessTable final : public ProcessTable {
  public:
    SimProcessTable(const audio::sim::SimAudioSystem& audio, const SimRunningApplications& apps,
                    pid_t ownPid);

    void addProcess(pid_t pid);
    void removeProcess(pid_t pid);

    bool exists(pid_t pid) const override;
    pid_t ownPid() const override { return ownPid_; }

  private:
    const audio::sim::SimAudioSystem& audio_;
    const SimRunningApplications& apps_;
    pid_t ownPid_;
    mutable std::mutex mutex_;
    std::vector<pid_t> extra_;
};

// A responsible-process table for the simulated desktop: child pid → responsible pid.
class SimResponsibility {
  public:
    void set(pid_t child, pid_t responsible);
    void clear(pid_t child);
    ResponsibleProcessLookup lookup() const;

  private:
    struct Table;
    std::shared_ptr<Table> table_ = makeTable();
    static std::shared_ptr<Table> makeTable();
};

}  // namespace tobble::system::sim
