#include "platform/log/Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace tobble::log {
namespace {

double wallClockSeconds(const void*) {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Registry {
    std::mutex mutex;
    std::shared_ptr<Sink> sink = makeStderrSink();
    TimeSource timeSource = &wallClockSeconds;
    const void* timeContext = nullptr;
};

Registry& registry() {
    static Registry* instance = new Registry();  // never destroyed: logging works during exit
    return *instance;
}

class StderrSink final : public Sink {
  public:
    void write(const Record& record) override {
        std::lock_guard lock(mutex_);
        std::fprintf(stderr, "%.3f %s %.*s %.*s: %.*s\n", record.time,
                     std::string(levelName(record.level)).c_str(),
                     static_cast<int>(record.subsystem.size()), record.subsystem.data(),
                     static_cast<int>(record.category.size()), record.category.data(),
                     static_cast<int>(record.message.size()), record.message.data());
    }

  private:
    std::mutex mutex_;
};

}  // namespace

std::string_view levelName(Level level) { return level == Level::Error ? "error" : "info"; }

void Logger::write(Level level, std::string_view message) const {
    std::shared_ptr<Sink> sink;
    TimeSource source;
    const void* context;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        sink = r.sink;
        source = r.timeSource;
        context = r.timeContext;
    }
    if (!sink) return;
    sink->write(Record{source(context), level, subsystem_, category_, message});
}

std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::swap(r.sink, sink);
    return sink;
}

std::shared_ptr<Sink> currentSink() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.sink;
}

void setTimeSource(TimeSource source, const void* context) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.timeSource = source ? source : &wallClockSeconds;
    r.timeContext = source ? context : nullptr;
}

std::shared_ptr<Sink> makeStderrSink() { return std::make_shared<StderrSink>(); }

}  // namespace tobble::log
