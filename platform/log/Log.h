#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tobble::log {

enum class Level { Info, Error };

std::string_view levelName(Level level);

// One composed message, as it reaches a sink.
struct Record {
    double time = 0;  // seconds, from the installed time source
    Level level = Level::Info;
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
};

class Sink {
  public:
    virtual ~Sink() = default;
    // Called on the logging thread; implementations are thread-safe.
    virtual void write(const Record& record) = 0;
};

// A named handle: subsystem (the app's identifier, e.g. "org.tobble.app") plus category.
// Cheap to copy; writes go to the process-wide sink.
class Logger {
  public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    void info(std::string_view message) const { write(Level::Info, message); }
    void error(std::string_view message) const { write(Level::Error, message); }
    void write(Level level, std::string_view message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

  private:
    std::string subsystem_;
    std::string category_;
};

// Installs the sink every logger writes to and returns the previous one. The default writes to
// stderr with time stamps.
std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink);
std::shared_ptr<Sink> currentSink();

// Where record times come from: wall-clock seconds by default; virtual-time programs install
// their clock so log lines carry simulated time.
using TimeSource = double (*)(const void* context);
void setTimeSource(TimeSource source, const void* context);

// The default sink.
std::shared_ptr<Sink> makeStderrSink();

}  // namespace tobble::log
