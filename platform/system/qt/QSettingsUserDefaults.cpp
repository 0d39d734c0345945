#include "platform/system/qt/QSettingsUserDefaults.h"

#include <QSettings>
#include <QString>

#include "platform/system/qt/SettingsFileWriter.h"

namespace tobble::system::qt {
namespace {

#ifdef __APPLE__
constexpr QSettings::Format kDomainFormat = QSettings::NativeFormat;
constexpr ValueEncoding kDomainEncoding = ValueEncoding::Native;
#else
constexpr QSettings::Format kDomainFormat = QSettings::IniFormat;
constexpr ValueEncoding kDomainEncoding = ValueEncoding::TaggedText;
#endif

}  // namespace

QSettingsUserDefaults::QSettingsUserDefaults()
    : QSettingsUserDefaults(std::make_unique<SettingsFileWriter>(
          [] {
              return std::make_unique<QSettings>(kDomainFormat, QSettings::UserScope, "Tobble",
                                                 "Tobble");
          },
          kDomainEncoding)) {}

QSettingsUserDefaults::QSettingsUserDefaults(const std::string& filePath)
    : QSettingsUserDefaults(std::make_unique<SettingsFileWriter>(
          [path = QString::fromStdString(filePath)] {
              return std::make_unique<QSettings>(path, QSettings::IniFormat);
          },
          ValueEncoding::TaggedText)) {}

QSettingsUserDefaults::QSettingsUserDefaults(std::unique_ptr<SettingsFileWriter> writer)
    : values_(writer->initialValues()), writer_(std::move(writer)) {}

QSettingsUserDefaults::~QSettingsUserDefaults() = default;

std::optional<DefaultsValue> QSettingsUserDefaults::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return std::nullopt;
}

void QSettingsUserDefaults::set(std::string_view key, DefaultsValue value) {
    if (key.empty()) return;  // QSettings has no place for an empty key
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), value);
    // Queued under our lock, so the file sees changes to one key in the order they were made.
    writer_->write(std::string(key), std::move(value));
}

void QSettingsUserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return;
    values_.erase(it);
    writer_->write(std::string(key), std::nullopt);
}

void QSettingsUserDefaults::registerDefaults(const std::map<std::string, DefaultsValue>& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
}

void QSettingsUserDefaults::flush() { writer_->flush(); }

std::string QSettingsUserDefaults::filePath() const { return writer_->filePath(); }

}  // namespace tobble::system::qt
