// The settings file: what a flush puts on disk, where the user's file lives, and the file as an
// unlucky or hostile user leaves it (damaged bytes, hand-typed lines, a file replaced while the
// program runs, a path that cannot be read). What can be read is kept, nothing is deleted, and
// every write holds every value the program has.
#include "platform/system/qt/QSettingsUserDefaults.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/log/CaptureSink.h"
#include "platform/system/qt/DefaultsValueCodec.h"
#include "platform/system/qt/SettingsFileWriter.h"
#include "tests/platform/system/UserDefaultsContract.h"

namespace tobble::system::qt {
namespace {

struct IniFileDomain {
    QTemporaryDir dir;
    std::unique_ptr<UserDefaults> make() {
        const std::string path = (dir.path() + "/contract.ini").toStdString();
        return std::make_unique<QSettingsUserDefaults>(path);
    }
    std::unique_ptr<UserDefaults> reopen(std::unique_ptr<UserDefaults> open) {
        open.reset();  // writes what is pending
        return make();
    }
};

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

class QSettingsUserDefaultsTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    std::string path = (dir.path() + "/Tobble.ini").toStdString();
    log::ScopedCapture logs;
};

TEST_F(QSettingsUserDefaultsTest, FlushPutsChangesOnDiskAndTheLastChangeToAKeyStays) {
    { QSettingsUserDefaults(path).setInteger("dropped", 1); }
    QSettingsUserDefaults d(path);
    d.setInteger("b", 1);
    d.setInteger("b", 2);
    d.remove("dropped");
    d.flush();

    QSettingsUserDefaults fresh(path);  // the other is still alive: nothing comes from it
    EXPECT_EQ(fresh.integer("b"), 2);
    EXPECT_EQ(fresh.object("dropped"), std::nullopt);
}

TEST_F(QSettingsUserDefaultsTest, TheUsersDomainIsAnIniFileUnderTheXdgConfigDirectory) {
    // Qt resolves the user's configuration path once per process, so the directory must be the
    // same on every run of this test within the process (--gtest_repeat).
    static QTemporaryDir processConfigDir;
    const std::string configHome = (processConfigDir.path() + "/config").toStdString();
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1), 0);
    QSettingsUserDefaults d;
    EXPECT_EQ(d.filePath(), configHome + "/Tobble/Tobble.ini");
    d.setBoolean("LaunchAtLogin", true);
    d.flush();
    EXPECT_TRUE(std::filesystem::exists(configHome + "/Tobble/Tobble.ini"));
}

struct Damage {
    const char* name;
    std::string content;
    SettingsValues readable;
    size_t skipped;  // error lines, one per skipped line or value
};

class DamagedContentTest : public QSettingsUserDefaultsTest,
                           public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedContentTest, ReadableValuesStayAndTheFileIsCopiedBeforeTheFirstWrite) {
    const auto& c = GetParam();
    writeFile(path, c.content);
    {
        QSettingsUserDefaults d(path);
        for (const auto& [key, value] : c.readable) EXPECT_EQ(d.object(key), value) << key;
        EXPECT_EQ(logs->messages(log::Level::Error).size(), c.skipped);
    }
    EXPECT_EQ(readFile(path), c.content) << "rewritten though nothing was saved";
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
    QSettingsUserDefaults(path).setInteger("new", 1);
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

TEST_F(QSettingsUserDefaultsTest, CopiesNeverReplaceOneAnotherNorWhatStandsInTheirPlace) {
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

TEST_F(QSettingsUserDefaultsTest, AFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    std::filesystem::create_directory(path);  // no one can read this, root included
    {
        QSettingsUserDefaults d(path);
        d.setInteger("a", 1);
        EXPECT_EQ(d.integer("a"), 1);
    }
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(logs->count("Settings file " + path + " could not be read"), 1u);
}

TEST_F(QSettingsUserDefaultsTest, AFileReplacedWhileRunningGetsAllOfTheProgramsValuesBack) {
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

TEST(DefaultsValueCodecTest, TaggedTextNeverGuesses) {
    constexpr auto kTagged = ValueEncoding::TaggedText;
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("int:12abc")), kTagged), std::nullopt);
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("bool:yes")), kTagged), std::nullopt);
    // Typed into the file by hand, without a tag: the text itself.
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("0.5")), kTagged),
              DefaultsValue(std::string("0.5")));
}

}  // namespace

}  // namespace tobble::system::qt

namespace tobble::system::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(IniFile, UserDefaultsContract, qt::IniFileDomain);
}
