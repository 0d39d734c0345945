#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/system/UserDefaults.h"
#include "platform/system/qt/DefaultsValueCodec.h"

class QSettings;

namespace tobble::system::qt {

// Owns a QSettings store on a thread of its own and writes changes to it there, so callers
// never wait for the disk (a save syncs the file to disk, which takes milliseconds to tens of
// milliseconds). Changes that arrive while a write is under way go out together in the next.
//
// QSettings is not thread-safe and, once a change is made, posts itself an update event to its
// thread; living on one thread without an event loop keeps both out of the way.
class SettingsFileWriter {
  public:
    using Opener = std::function<std::unique_ptr<QSettings>()>;

    // Opens the store on the writer thread and returns once its values are read.
    SettingsFileWriter(Opener open, ValueEncoding encoding);
    // Writes whatever is still pending, then stops.
    ~SettingsFileWriter();

    SettingsFileWriter(const SettingsFileWriter&) = delete;
    SettingsFileWriter& operator=(const SettingsFileWriter&) = delete;

    // What the store held when opened; empty when it could not be read or is corrupt.
    const std::map<std::string, DefaultsValue, std::less<>>& initialValues() const {
        return initialValues_;
    }
    const std::string& filePath() const { return filePath_; }

    // Queues a change: a value to store, or nothing to remove the key.
    void write(std::string key, std::optional<DefaultsValue> value);

    // Returns when every change queued before the call has been written (or failed to be).
    void flush();

  private:
    using Batch = std::map<std::string, std::optional<DefaultsValue>>;

    void run(Opener open);
    void open(const Opener& opener);
    void apply(const Batch& batch);
    void replaceUnusableFile();

    const ValueEncoding encoding_;
    std::map<std::string, DefaultsValue, std::less<>> initialValues_;
    std::string filePath_;

    // Touched on the writer thread only.
    std::unique_ptr<QSettings> settings_;
    bool fileUnusable_ = false;  // its content is ignored and replaced by the first write
    bool reportedWriteFailure_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable written_;
    bool opened_ = false;
    bool stopping_ = false;
    Batch pending_;
    uint64_t queuedCount_ = 0;
    uint64_t writtenCount_ = 0;
    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace tobble::system::qt
