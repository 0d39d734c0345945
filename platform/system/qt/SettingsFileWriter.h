#pragma once

#include <QByteArray>
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

using SettingsValues = std::map<std::string, DefaultsValue, std::less<>>;

// What could be read of an INI settings file's content. A line that is not text (a NUL, bytes
// that are not UTF-8) or not blank, a comment, a [section] or key=value is skipped, and so is a
// value that does not decode; each is reported once, by line number or key, never by content.
struct SettingsFileContent {
    SettingsValues values;
    std::vector<std::string> problems;
};
SettingsFileContent readSettingsFileContent(const QByteArray& content, ValueEncoding encoding);

// Owns the settings file on a thread of its own and writes it there, so callers never wait for
// the disk (a save syncs the file to disk, which takes milliseconds to tens of milliseconds).
// Changes that arrive while a write is under way go out together in the next.
//
// The program's own values are the truth while it runs: every write puts all of them into a
// fresh temporary file that then replaces the settings file, whatever that file has become
// meanwhile. A file that was damaged when read is first copied to the first free of
// "<file>.corrupt", "<file>.corrupt.1", ...; a file that exists but cannot be read is reported
// and never written over.
//
// Stores other than INI files (macOS preferences) go through QSettings as they are.
class SettingsFileWriter {
  public:
    using Opener = std::function<std::unique_ptr<QSettings>()>;

    // Opens the store on the writer thread and returns once its values are read.
    SettingsFileWriter(Opener open, ValueEncoding encoding);
    // Writes whatever is still pending, then stops.
    ~SettingsFileWriter();

    SettingsFileWriter(const SettingsFileWriter&) = delete;
    SettingsFileWriter& operator=(const SettingsFileWriter&) = delete;

    // What could be read of the store when opened.
    const SettingsValues& initialValues() const { return initialValues_; }
    const std::string& filePath() const { return filePath_; }

    // Queues a change: a value to store, or nothing to remove the key.
    void write(std::string key, std::optional<DefaultsValue> value);

    // Returns when every change queued before the call has been written (or failed to be).
    void flush();

  private:
    using Batch = std::map<std::string, std::optional<DefaultsValue>>;

    void run(Opener open);
    void open(const Opener& opener);
    void readIniFile();
    void apply(const Batch& batch);
    bool writeIniFile(std::string& failure);
    void keepDamagedFile();

    const ValueEncoding encoding_;
    SettingsValues initialValues_;
    std::string filePath_;

    // Touched on the writer thread only.
    std::unique_ptr<QSettings> settings_;  // stores other than INI files
    SettingsValues values_;                // INI files: everything the file is to hold
    bool damaged_ = false;                 // parts were skipped: keep a copy before writing
    bool unreadable_ = false;              // exists but cannot be read: never written
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
