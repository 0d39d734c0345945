#include "platform/system/qt/QSettingsUserDefaults.h"

#include <QByteArray>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringDecoder>

#include "platform/log/Log.h"

namespace tobble::system::qt {
namespace {

const log::Logger& logger() {
    static const log::Logger instance("org.tobble.app", "UserDefaults");
    return instance;
}

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Qt's INI reader accepts nearly anything (random bytes become odd keys) and would merge that
// into the next write, so the file is checked first: UTF-8 text whose lines are all blank,
// comments, [sections] or key=value, which is all Qt itself ever writes.
bool looksLikeIniText(const QByteArray& content) {
    if (content.contains('\0')) return false;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(content);
    if (decoder.hasError()) return false;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#')) continue;
        if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) continue;
        if (trimmed.contains(u'=')) continue;
        return false;
    }
    return true;
}

// An absent file is a fresh domain; one we cannot read is as bad as a corrupt one.
bool iniFileUsable(const QString& path) {
    if (!QFile::exists(path)) return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return looksLikeIniText(file.readAll());
}

#ifdef __APPLE__
constexpr QSettings::Format kDomainFormat = QSettings::NativeFormat;
constexpr ValueEncoding kDomainEncoding = ValueEncoding::Native;
#else
constexpr QSettings::Format kDomainFormat = QSettings::IniFormat;
constexpr ValueEncoding kDomainEncoding = ValueEncoding::TaggedText;
#endif

}  // namespace

QSettingsUserDefaults::QSettingsUserDefaults() : encoding_(kDomainEncoding) {
    adopt(std::make_unique<QSettings>(kDomainFormat, QSettings::UserScope, "Tobble", "Tobble"));
}

QSettingsUserDefaults::QSettingsUserDefaults(const std::string& filePath)
    : encoding_(ValueEncoding::TaggedText) {
    adopt(std::make_unique<QSettings>(toQString(filePath), QSettings::IniFormat));
}

QSettingsUserDefaults::~QSettingsUserDefaults() = default;

void QSettingsUserDefaults::adopt(std::unique_ptr<QSettings> settings) {
    settings_ = std::move(settings);
    fileUnusable_ = settings_->status() != QSettings::NoError ||
                    (settings_->format() == QSettings::IniFormat &&
                     !iniFileUsable(settings_->fileName()));
    if (fileUnusable_) {
        logger().error("Settings file " + settings_->fileName().toStdString() +
                       " could not be read; starting from empty settings");
    }
}

std::optional<DefaultsValue> QSettingsUserDefaults::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (!fileUnusable_ && !key.empty()) {
        const QVariant stored = settings_->value(toQString(key));
        if (stored.isValid()) {
            if (auto value = decodeDefaultsValue(stored, encoding_)) return value;
        }
    }
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return std::nullopt;
}

void QSettingsUserDefaults::set(std::string_view key, DefaultsValue value) {
    if (key.empty()) return;  // QSettings has no place for an empty key
    std::lock_guard lock(mutex_);
    if (fileUnusable_) replaceUnusableFile();
    settings_->setValue(toQString(key), encodeDefaultsValue(value, encoding_));
    writeThrough();
}

void QSettingsUserDefaults::remove(std::string_view key) {
    if (key.empty()) return;
    std::lock_guard lock(mutex_);
    if (fileUnusable_) return;  // nothing of the file is visible, so nothing to remove
    settings_->remove(toQString(key));
    writeThrough();
}

void QSettingsUserDefaults::registerDefaults(const std::map<std::string, DefaultsValue>& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
}

std::string QSettingsUserDefaults::filePath() const {
    std::lock_guard lock(mutex_);
    return settings_->fileName().toStdString();
}

// Qt would merge whatever it half-parsed into the next write, and its error status never
// clears; a fresh file and a fresh QSettings avoid both. The old file is kept for inspection.
void QSettingsUserDefaults::replaceUnusableFile() {
    const QString path = settings_->fileName();
    const QSettings::Format format = settings_->format();
    settings_.reset();
    const QString backup = path + ".corrupt";
    QFile::remove(backup);
    if (QFile::exists(path) && !QFile::rename(path, backup)) QFile::remove(path);
    settings_ = std::make_unique<QSettings>(path, format);
    if (settings_->status() != QSettings::NoError) {
        // Still unreadable (a directory we may not change): keep values in memory for this run
        // and let the write report the failure.
        settings_->clear();
    }
    fileUnusable_ = false;
}

void QSettingsUserDefaults::writeThrough() {
    settings_->sync();
    if (settings_->status() != QSettings::NoError && !reportedWriteFailure_) {
        reportedWriteFailure_ = true;
        logger().error("Could not save settings to " + settings_->fileName().toStdString());
    }
}

}  // namespace tobble::system::qt
