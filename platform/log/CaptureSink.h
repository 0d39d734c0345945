#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log/Log.h"

namespace tobble::log {

// Keeps every record in memory; tests read what was logged.
class CaptureSink final : public Sink {
  public:
    struct Line {
        double time;
        Level level;
        std::string category;
        std::string message;
    };

    void write(const Record& record) override;

    std::vector<Line> lines() const;
    std::vector<std::string> messages() const;
    std::vector<std::string> messages(Level level) const;
    // Number of messages that start with `prefix`.
    size_t count(std::string_view prefix) const;
    bool contains(std::string_view message) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// Installs a capture sink for the lifetime of the scope and restores the previous sink after.
class ScopedCapture {
  public:
    ScopedCapture();
    ~ScopedCapture();
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;

    CaptureSink& sink() { return *sink_; }
    CaptureSink* operator->() { return sink_.get(); }

  private:
    std::shared_ptr<CaptureSink> sink_;
    std::shared_ptr<Sink> previous_;
};

}  // namespace tobble::log
