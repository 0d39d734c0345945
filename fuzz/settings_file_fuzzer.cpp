// Arbitrary bytes as the settings file. Opening it never crashes; whatever could be read, plus
// one change, is written back as a clean file that reads back as exactly those values.
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "fuzz/FuzzSupport.h"
#include "platform/system/qt/QSettingsUserDefaults.h"
#include "platform/system/qt/SettingsFileWriter.h"

using namespace tobble;
using system::qt::readSettingsFileContent;

namespace {

QByteArray fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return QByteArray::fromStdString(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    fuzz::silenceLogs();
    constexpr auto kEncoding = system::qt::ValueEncoding::TaggedText;
    const QByteArray content(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
    auto expected = readSettingsFileContent(content, kEncoding).values;

    static QTemporaryDir dir;
    const std::string path = (dir.path() + "/Tobble.ini").toStdString();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(content.constData(), size);
    {
        system::qt::QSettingsUserDefaults defaults(path);
        for (const auto& [key, value] : expected) {
            if (defaults.object(key) != value) fuzz::fail("the domain reads what the reader read");
        }
        defaults.setInteger("org.tobble.fuzz", 7);
    }
    expected.insert_or_assign("org.tobble.fuzz", int64_t{7});

    auto reread = readSettingsFileContent(fileContent(path), kEncoding);
    if (!reread.problems.empty()) fuzz::fail("the written file reads without problems");
    if (reread.values != expected) fuzz::fail("the written file holds every value");
    return 0;
}
