#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system/UserDefaults.h"
#include "platform/system/qt/DefaultsValueCodec.h"

class QSettings;

namespace tobble::system::qt {

// The application's persistent settings domain over QSettings: the preferences domain on macOS,
// an INI file elsewhere ($XDG_CONFIG_HOME/Tobble/Tobble.ini on Linux).
//
// Every change is written through at once, so a crash loses nothing and other instances on the
// same file see it at their next write. A file that cannot be read or parsed reads as empty; it
// is moved aside to "<file>.corrupt" by the first change, which then starts a fresh file.
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

    // Where the values are kept.
    std::string filePath() const;

private:
    void adopt(std::unique_ptr<QSettings> settings);
    void replaceUnusableFile();
    void writeThrough();

    mutable std::mutex mutex_;
    std::unique_ptr<QSettings> settings_;
    ValueEncoding encoding_ = ValueEncoding::TaggedText;
    bool fileUnusable_ = false;  // what the file holds is ignored until the first change
    bool reportedWriteFailure_ = false;
    std::map<std::string, DefaultsValue, std::less<>> registered_;
};

}  // namespace tobble::system::qt
