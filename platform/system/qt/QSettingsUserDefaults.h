#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system/UserDefaults.h"

namespace tobble::system::qt {

class SettingsFileWriter;

// The application's persistent settings domain over QSettings: the preferences domain on macOS,
// an INI file elsewhere ($XDG_CONFIG_HOME/Tobble/Tobble.ini on Linux).
//
// Values live in memory, so reads and writes never wait for the disk; a background writer puts
// each change into the file soon after, and the destructor writes what is still pending. The
// values in memory are the truth while the program runs: each write replaces the file with all
// of them (one instance per user keeps it so). Of a damaged file, whatever can be read is used
// and the rest is logged; a copy of it is kept as "<file>.corrupt" (or .corrupt.1, ...) before
// the first write. A file that exists but cannot be read is reported and never written over.
// Registered defaults live in memory only. Keys are plain names: '/' would start a group.
class QSettingsUserDefaults final : public UserDefaults {
  public:
    // The user's domain for organisation and application "Tobble".
    QSettingsUserDefaults();
    // An INI file at `filePath` (tests, portable setups).
    explicit QSettingsUserDefaults(const std::string& filePath);
    ~QSettingsUserDefaults() override;

    QSettingsUserDefaults(const QSettingsUserDefaults&) = delete;
    QSettingsUserDefaults& operator=(const QSettingsUserDefaults&) = delete;

    std::optional<DefaultsValue> object(std::string_view key) const override;
    void set(std::string_view key, DefaultsValue value) override;
    void remove(std::string_view key) override;
    void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) override;

    // Returns when every change made before the call is in the file (or failed to get there).
    void flush();

    // Where the values are kept.
    std::string filePath() const;

  private:
    explicit QSettingsUserDefaults(std::unique_ptr<SettingsFileWriter> writer);

    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
    std::map<std::string, DefaultsValue, std::less<>> registered_;
    std::unique_ptr<SettingsFileWriter> writer_;
};

}  // namespace tobble::system::qt
