#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/system/RunningApplications.h"

namespace tobble::system {

// Running applications whose details, where the primary source knows nothing of a process, come
// from a second source: on Linux the desktop entries first, then what the audio server heard
// the process call itself.
class ApplicationDetailsFallback final : public RunningApplications {
  public:
    using DetailsSource = std::function<std::optional<ApplicationDetails>(pid_t)>;

    ApplicationDetailsFallback(std::shared_ptr<RunningApplications> primary, DetailsSource fallback)
        : primary_(std::move(primary)), fallback_(std::move(fallback)) {}

    std::vector<RunningApplication> snapshot() const override { return primary_->snapshot(); }
    std::optional<ApplicationDetails> lookup(pid_t pid) const override {
        if (auto details = primary_->lookup(pid)) return details;
        return fallback_ ? fallback_(pid) : std::nullopt;
    }
    ObservationToken observeLaunches(dispatch::QueuePtr queue, Observer observer) override {
        return primary_->observeLaunches(std::move(queue), std::move(observer));
    }
    ObservationToken observeTerminations(dispatch::QueuePtr queue, Observer observer) override {
        return primary_->observeTerminations(std::move(queue), std::move(observer));
    }

  private:
    std::shared_ptr<RunningApplications> primary_;
    DetailsSource fallback_;
};

}  // namespace tobble::system
