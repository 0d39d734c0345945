#include "platform/log/CaptureSink.h"

namespace tobble::log {

void CaptureSink::write(const Record& record) {
    std::lock_guard lock(mutex_);
    lines_.push_back(
        Line{record.time, record.level, std::string(record.category), std::string(record.message)});
}

std::vector<CaptureSink::Line> CaptureSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> CaptureSink::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) out.push_back(line.message);
    return out;
}

std::vector<std::string> CaptureSink::messages(Level level) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) {
        if (line.level == level) out.push_back(line.message);
    }
    return out;
}

size_t CaptureSink::count(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) {
        if (std::string_view(line.message).starts_with(prefix)) ++n;
    }
    return n;
}

bool CaptureSink::contains(std::string_view message) const {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line.message == message) return true;
    }
    return false;
}

void CaptureSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

ScopedCapture::ScopedCapture()
    : sink_(std::make_shared<CaptureSink>()), previous_(setSink(sink_)) {}

ScopedCapture::~ScopedCapture() { setSink(previous_); }

}  // namespace tobble::log
