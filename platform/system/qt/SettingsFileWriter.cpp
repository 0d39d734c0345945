#include "platform/system/qt/SettingsFileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/log/Log.h"

namespace tobble::system::qt {
namespace {

const log::Logger& logger() {
    static const log::Logger instance("org.tobble.app", "UserDefaults");
    return instance;
}

// Keys come from the file and may hold anything a text editor can type.
std::string forLog(const std::string& text) {
    constexpr size_t kMaxLength = 80;
    std::string safe;
    for (char c : text.substr(0, kMaxLength)) safe += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > kMaxLength) safe += "...";
    return safe;
}

// What a line is, if it is one Qt itself could have written: blank, a comment, a [section] or
// key=value. Anything else Qt's reader would still turn into odd keys.
const char* lineProblem(QByteArrayView line) {
    if (line.contains('\0')) return "contains a NUL byte";
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(line);
    if (decoder.hasError()) return "is not UTF-8 text";
    const QStringView trimmed = QStringView(text).trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#')) return nullptr;
    if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) return nullptr;
    if (trimmed.contains(u'=')) return nullptr;
    return "is neither key=value nor [section]";
}

// One writer touches the disk at a time. Qt reads file times through tzset(), whose internal
// lock ThreadSanitizer cannot see; two writers in one process (only tests have two) would be
// reported as racing. Writes are rare and short, so nothing is lost by taking turns.
std::mutex& fileAccessMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

SettingsFileContent readSettingsFileContent(const QByteArray& content, ValueEncoding encoding) {
    SettingsFileContent result;
    QByteArrayView rest(content);
    if (rest.startsWith("\xEF\xBB\xBF")) rest = rest.sliced(3);  // a byte-order mark is no line
    QByteArray kept;
    int number = 0;
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        const QByteArrayView line = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        ++number;
        if (const char* problem = lineProblem(line)) {
            result.problems.push_back("line " + std::to_string(number) + " " + problem);
            continue;
        }
        kept.append(line).append('\n');
    }
    // Qt's INI reader reads files only; it is given just the lines that passed.
    QTemporaryFile scratch;
    if (!scratch.open() || scratch.write(kept) != kept.size() || !scratch.flush()) {
        result.problems.push_back("no scratch file to read it through: " +
                                  scratch.errorString().toStdString());
        return result;
    }
    QSettings parsed(scratch.fileName(), QSettings::IniFormat);
    for (const QString& key : parsed.allKeys()) {
        if (key.isEmpty()) {
            result.problems.push_back("a value without a key");
            continue;
        }
        if (auto value = decodeDefaultsValue(parsed.value(key), encoding)) {
            result.values.emplace(key.toStdString(), std::move(*value));
        } else {
            result.problems.push_back("the value of " + forLog(key.toStdString()) +
                                      " does not decode");
        }
    }
    return result;
}

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
    if (settings_->format() == QSettings::IniFormat) {
        settings_.reset();
        readIniFile();
        initialValues_ = values_;
        return;
    }
    for (const QString& key : settings_->allKeys()) {
        if (auto value = decodeDefaultsValue(settings_->value(key), encoding_)) {
            initialValues_.emplace(key.toStdString(), std::move(*value));
        }
    }
}

void SettingsFileWriter::readIniFile() {
    const QString path = QString::fromStdString(filePath_);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return;  // a fresh domain
    QFile file(path);
    QByteArray content;
    QString failure;
    if (info.isDir()) {
        failure = QStringLiteral("it is a directory");
    } else if (!file.open(QIODevice::ReadOnly)) {
        failure = file.errorString();
    } else {
        content = file.readAll();
        if (file.error() != QFileDevice::NoError) failure = file.errorString();
    }
    if (!failure.isEmpty()) {
        // Writing now would replace settings we never saw.
        unreadable_ = true;
        logger().error("Settings file " + filePath_ + " could not be read (" +
                       failure.toStdString() + "); changed settings will not be saved");
        return;
    }
    auto read = readSettingsFileContent(content, encoding_);
    values_ = std::move(read.values);
    damaged_ = !read.problems.empty();
    for (const auto& problem : read.problems) {
        logger().error("Settings file " + filePath_ +
                       ": skipped what could not be read: " + problem);
    }
}

void SettingsFileWriter::apply(const Batch& batch) {
    std::lock_guard fileAccess(fileAccessMutex());
    if (!settings_) {
        for (const auto& [key, value] : batch) {
            if (value) {
                values_.insert_or_assign(key, *value);
            } else if (auto it = values_.find(key); it != values_.end()) {
                values_.erase(it);
            }
        }
        if (unreadable_) return;
        if (damaged_) keepDamagedFile();
        std::string failure;
        if (writeIniFile(failure)) {
            if (reportedWriteFailure_) logger().info("Saved settings to " + filePath_ + " again");
            reportedWriteFailure_ = false;
        } else if (!reportedWriteFailure_) {
            reportedWriteFailure_ = true;
            logger().error("Could not save settings to " + filePath_ + ": " + failure);
        }
        return;
    }
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
        logger().error("Could not save settings to " + filePath_ + ": QSettings status " +
                       std::to_string(static_cast<int>(settings_->status())));
    }
}

// All of our values go into a new file beside the old one, which then takes its place: a reader
// sees the old file or the new one, never a mix, and nothing of what the old file has become
// since it was read comes back.
bool SettingsFileWriter::writeIniFile(std::string& failure) {
    const QString path = QString::fromStdString(filePath_);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QTemporaryFile next(path + QStringLiteral(".XXXXXX"));
    next.setAutoRemove(false);
    if (!next.open()) {
        failure = "no new file beside it: " + next.errorString().toStdString();
        return false;
    }
    const QString nextPath = next.fileName();
    next.close();
    QSettings::Status status;
    {
        QSettings out(nextPath, QSettings::IniFormat);
        for (const auto& [key, value] : values_) {
            out.setValue(QString::fromStdString(key), encodeDefaultsValue(value, encoding_));
        }
        out.sync();
        status = out.status();
    }
    if (status != QSettings::NoError) {
        QFile::remove(nextPath);
        failure = "writing " + nextPath.toStdString() + " failed with QSettings status " +
                  std::to_string(static_cast<int>(status));
        return false;
    }
    if (std::rename(QFile::encodeName(nextPath).constData(), QFile::encodeName(path).constData()) !=
        0) {
        const int error = errno;
        QFile::remove(nextPath);
        failure = "replacing it failed: " + std::string(std::strerror(error)) + " (errno " +
                  std::to_string(error) + ")";
        return false;
    }
    return true;
}

// The skipped parts may matter to whoever edited the file: a copy under a name not yet taken
// keeps them, and no earlier copy is ever touched.
void SettingsFileWriter::keepDamagedFile() {
    damaged_ = false;
    const QString path = QString::fromStdString(filePath_);
    constexpr int kMaxCopies = 1000;
    for (int n = 0; n < kMaxCopies; ++n) {
        QString copy = path + QStringLiteral(".corrupt");
        if (n > 0) copy += QStringLiteral(".") + QString::number(n);
        const QFileInfo taken(copy);
        if (taken.exists() || taken.isSymLink()) continue;
        QFile original(path);
        if (original.copy(copy)) {
            logger().info("Kept a copy of the damaged settings file as " + copy.toStdString());
        } else {
            logger().error("Could not keep a copy of the damaged settings file as " +
                           copy.toStdString() + ": " + original.errorString().toStdString());
        }
        return;
    }
    logger().error("Could not keep a copy of the damaged settings file: " +
                   std::to_string(kMaxCopies) + " copies exist");
}

}  // namespace tobble::system::qt
