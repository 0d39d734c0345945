// The settings file as an unlucky or hostile user leaves it: damaged bytes, hand-typed lines,
// a file replaced while the program runs, a path that cannot be read. What can be read is kept,
// nothing is deleted, and every write holds every value the program has.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "platform/log/CaptureSink.h"
#include "platform/system/qt/QSettingsUserDefaults.h"
#include "platform/system/qt/SettingsFileWriter.h"

namespace tobble::system::qt {
namespace {

std::string readFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("<none>");
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// What the file holds, read the way the program reads it; a clean file has no problems.
SettingsValues fileValues(const std::string& path) {
    auto read = readSettingsFileContent(QByteArray::fromStdString(readFile(path)),
                                        ValueEncoding::TaggedText);
    EXPECT_TRUE(read.problems.empty()) << read.problems.front();
    return read.values;
}

class DamagedSettingsFileTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    std::string path = (dir.path() + "/Tobble.ini").toStdString();
    log::ScopedCapture logs;
};

struct Damage {
    const char* name;
    std::string content;
    SettingsValues readable;
    size_t skipped;  // error lines, one per skipped line or value
};

class DamagedContentTest : public DamagedSettingsFileTest,
                           public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedContentTest, ReadableValuesStayAndTheFileIsCopiedBeforeTheFirstWrite) {
    const auto& c = GetParam();
    writeFile(path, c.content);
    {
        QSettingsUserDefaults d(path);
        for (const auto& [key, value] : c.readable) EXPECT_EQ(d.object(key), value) << key;
        EXPECT_EQ(logs->messages(log::Level::Error).size(), c.skipped);
        d.setInteger("new", 1);
    }
    EXPECT_EQ(logs->count("Could not save settings"), 0u);
    auto expected = c.readable;
    expected.emplace("new", int64_t{1});
    EXPECT_EQ(fileValues(path), expected);
    EXPECT_EQ(readFile(path + ".corrupt"), c.skipped ? c.content : "<none>");
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedContentTest,
    ::testing::Values(
        Damage{"NotUtf8",
               "[General]\nTobbleDefaultVolume=double:0.5\nbad=\xff\nTobbleShortcutKey=int:17\n",
               {{"TobbleDefaultVolume", 0.5}, {"TobbleShortcutKey", int64_t{17}}},
               1},
        Damage{"Nul", std::string("a=int:1\nb=in\0t:2\n", 17), {{"a", int64_t{1}}}, 1},
        Damage{"NoEquals",
               "\x89PNG\r\n[General]\nTobbleDefaultVolume=double:0.5\n",
               {{"TobbleDefaultVolume", 0.5}},
               1},
        Damage{"BadValue", "a=int:x\nb=bool:true\n", {{"b", true}}, 1},
        Damage{"ByteOrderMark", "\xEF\xBB\xBF[General]\na=int:1\n", {{"a", int64_t{1}}}, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(DamagedSettingsFileTest, CopiesNeverReplaceOneAnotherNorWhatStandsInTheirPlace) {
    std::filesystem::create_directory(path + ".corrupt");
    for (const char* content : {"first\n", "second\n"}) {
        writeFile(path, content);
        QSettingsUserDefaults(path).setInteger("a", 1);
    }
    EXPECT_TRUE(std::filesystem::is_directory(path + ".corrupt"));
    EXPECT_EQ(readFile(path + ".corrupt.1"), "first\n");
    EXPECT_EQ(readFile(path + ".corrupt.2"), "second\n");
    EXPECT_EQ(fileValues(path), (SettingsValues{{"a", int64_t{1}}}));
}

TEST_F(DamagedSettingsFileTest, AFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    std::filesystem::create_directory(path);  // no one can read this, root included
    {
        QSettingsUserDefaults d(path);
        d.setInteger("a", 1);
        EXPECT_EQ(d.integer("a"), 1);
    }
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(logs->count("Settings file " + path + " could not be read"), 1u);
}

TEST_F(DamagedSettingsFileTest, AFileReplacedWhileRunningGetsAllOfTheProgramsValuesBack) {
    QSettingsUserDefaults d(path);
    d.setNumber("TobbleDefaultVolume", 0.25);
    d.setInteger("TobbleShortcutKey", 17);
    d.setData("TobbleHiddenApps", DefaultsData{'{', '}'});
    d.flush();
    writeFile(path, "[General]\njunk=string:x\nTobbleShortcutKey=int:99\n\xff\xfe\n");

    d.setBoolean("onboardingCompleted", true);
    d.flush();
    EXPECT_EQ(fileValues(path), (SettingsValues{{"TobbleDefaultVolume", 0.25},
                                                {"TobbleShortcutKey", int64_t{17}},
                                                {"TobbleHiddenApps", DefaultsData{'{', '}'}},
                                                {"onboardingCompleted", true}}));
    EXPECT_TRUE(logs->messages(log::Level::Error).empty());
}

}  // namespace
}  // namespace tobble::system::qt
