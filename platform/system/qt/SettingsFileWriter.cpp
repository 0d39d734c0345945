#include "platform/system/qt/SettingsFileWriter.h"

#include <QByteArray>
#include <QCoreApplication>
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

// One writer touches the disk at a time. Qt reads file times through tzset(), whose internal
// lock ThreadSanitizer cannot see; two writers in one process (only tests have two) would be
// reported as racing. Writes are rare and short, so nothing is lost by taking turns.
std::mutex& fileAccessMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

SettingsFileWriter::SettingsFileWriter(Opener open, ValueEncoding encoding)
    : encoding_(encoding), thread_([this, open = std::move(open)] { run(open); }) {
    std::unique_lock lock(mutex_);
    written_.wait(lock, [this] { return opened_; });
}

SettingsFileWriter::~SettingsFileWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
}

void SettingsFileWriter::write(std::string key, std::optional<DefaultsValue> value) {
    {
        std::lock_guard lock(mutex_);
        pending_.insert_or_assign(std::move(key), std::move(value));
        ++queuedCount_;
    }
    changed_.notify_one();
}

void SettingsFileWriter::flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = queuedCount_;
    written_.wait(lock, [&] { return writtenCount_ >= target; });
}

void SettingsFileWriter::run(Opener opener) {
    open(opener);
    {
        std::lock_guard lock(mutex_);
        opened_ = true;
    }
    written_.notify_all();

    for (;;) {
        Batch batch;
        uint64_t batchEnd;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !pending_.empty() || stopping_; });
            if (pending_.empty()) break;  // stopping, and nothing left to write
            batch.swap(pending_);
            batchEnd = queuedCount_;
        }
        apply(batch);
        {
            std::lock_guard lock(mutex_);
            writtenCount_ = batchEnd;
        }
        written_.notify_all();
    }
    std::lock_guard fileAccess(fileAccessMutex());
    settings_.reset();
}

void SettingsFileWriter::open(const Opener& opener) {
    std::lock_guard fileAccess(fileAccessMutex());
    settings_ = opener();
    filePath_ = settings_->fileName().toStdString();
    fileUnusable_ =
        settings_->status() != QSettings::NoError ||
        (settings_->format() == QSettings::IniFormat && !iniFileUsable(settings_->fileName()));
    if (fileUnusable_) {
        logger().error("Settings file " + filePath_ +
                       " could not be read; starting from empty settings");
        return;
    }
    for (const QString& key : settings_->allKeys()) {
        if (auto value = decodeDefaultsValue(settings_->value(key), encoding_)) {
            initialValues_.emplace(key.toStdString(), std::move(*value));
        }
    }
}

void SettingsFileWriter::apply(const Batch& batch) {
    std::lock_guard fileAccess(fileAccessMutex());
    if (fileUnusable_) replaceUnusableFile();
    for (const auto& [key, value] : batch) {
        const QString qkey = QString::fromStdString(key);
        if (value) {
            settings_->setValue(qkey, encodeDefaultsValue(*value, encoding_));
        } else {
            settings_->remove(qkey);
        }
    }
    settings_->sync();
    // The update request QSettings posted itself would never be delivered on this thread.
    QCoreApplication::removePostedEvents(settings_.get());
    if (settings_->status() != QSettings::NoError && !reportedWriteFailure_) {
        reportedWriteFailure_ = true;
        logger().error("Could not save settings to " + filePath_);
    }
}

// Qt would merge whatever it half-parsed into the next write, and its error status never
// clears; a fresh file and a fresh QSettings avoid both. The old file is kept for inspection.
void SettingsFileWriter::replaceUnusableFile() {
    const QString path = settings_->fileName();
    const QSettings::Format format = settings_->format();
    settings_.reset();
    const QString backup = path + ".corrupt";
    QFile::remove(backup);
    if (QFile::exists(path) && !QFile::rename(path, backup)) QFile::remove(path);
    settings_ = std::make_unique<QSettings>(path, format);
    // Still unreadable (a directory we may not change): the write reports the failure.
    if (settings_->status() != QSettings::NoError) settings_->clear();
    fileUnusable_ = false;
}

}  // namespace tobble::system::qt
