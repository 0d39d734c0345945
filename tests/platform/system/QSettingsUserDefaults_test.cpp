#include "platform/system/qt/QSettingsUserDefaults.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/log/CaptureSink.h"
#include "tests/platform/system/UserDefaultsContract.h"

namespace tobble::system::qt {
namespace {

struct IniFileDomain {
    QTemporaryDir dir;
    std::unique_ptr<UserDefaults> make() {
        const std::string path = (dir.path() + "/contract.ini").toStdString();
        return std::make_unique<QSettingsUserDefaults>(path);
    }
};

std::string readFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class QSettingsUserDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string path = (dir.path() + "/Tobble.ini").toStdString();
    log::ScopedCapture logs;
};

TEST_F(QSettingsUserDefaultsTest, EveryTypeSurvivesASecondInstanceOnTheSameFile) {
    const DefaultsData bytes = {0x00, 0x0A, 0x40, 0x7F, 0x80, 0xFF};
    {
        QSettingsUserDefaults writer(path);
        writer.setInteger("TobblePerAppVolumesVersion", 1);
        writer.setNumber("TobbleDefaultVolume", 0.35);
        writer.setBoolean("Flag", true);
        writer.setString("Name", "12");  // text that looks like a number stays text
        writer.setData("TobbleHiddenApps", bytes);
    }
    QSettingsUserDefaults reader(path);
    EXPECT_EQ(reader.object("TobblePerAppVolumesVersion"), DefaultsValue(int64_t{1}));
    EXPECT_EQ(reader.object("TobbleDefaultVolume"), DefaultsValue(0.35));
    EXPECT_EQ(reader.object("Flag"), DefaultsValue(true));
    EXPECT_EQ(reader.object("Name"), DefaultsValue(std::string("12")));
    EXPECT_EQ(reader.object("TobbleHiddenApps"), DefaultsValue(bytes));
}

TEST_F(QSettingsUserDefaultsTest, ChangesAreOnDiskAtOnceAndTwoWritersKeepEachOthersKeys) {
    QSettingsUserDefaults first(path);
    QSettingsUserDefaults second(path);
    first.setInteger("a", 1);
    second.setInteger("b", 2);
    first.remove("gone");
    second.setString("gone", "x");
    second.remove("gone");

    QSettingsUserDefaults fresh(path);  // while the others are still alive: nothing buffered
    EXPECT_EQ(fresh.integer("a"), 1);
    EXPECT_EQ(fresh.integer("b"), 2);
    EXPECT_EQ(fresh.object("gone"), std::nullopt);
}

TEST_F(QSettingsUserDefaultsTest, RegisteredDefaultsStayInMemory) {
    {
        QSettingsUserDefaults d(path);
        d.registerDefaults({{"TobbleDefaultVolume", 1.0}});
        d.setInteger("other", 1);
    }
    QSettingsUserDefaults reopened(path);
    EXPECT_EQ(reopened.object("TobbleDefaultVolume"), std::nullopt);
}

TEST_F(QSettingsUserDefaultsTest, CorruptFileReadsAsEmptyAndTheNextSaveStartsAFreshFile) {
    const std::string garbage = std::string("\x89PNG\r\n\x1a\n", 8) + "no equals sign here\n" +
                                "[General]\nTobbleDefaultVolume=double:0.5\n";
    writeFile(path, garbage);
    {
        QSettingsUserDefaults d(path);
        d.registerDefaults({{"TobbleDefaultVolume", 1.0}});
        EXPECT_EQ(d.number("TobbleDefaultVolume"), 1.0);  // nothing of the bad file shows
        EXPECT_EQ(logs->lines().size(), 1u);
        EXPECT_EQ(logs->lines().at(0).level, log::Level::Error);

        d.setInteger("TobblePerAppVolumesVersion", 1);
        EXPECT_EQ(d.integer("TobblePerAppVolumesVersion"), 1);
        EXPECT_EQ(d.number("TobbleDefaultVolume"), 1.0);
    }
    QSettingsUserDefaults reopened(path);
    EXPECT_EQ(reopened.integer("TobblePerAppVolumesVersion"), 1);
    EXPECT_EQ(reopened.object("TobbleDefaultVolume"), std::nullopt);
    EXPECT_EQ(readFile(path + ".corrupt"), garbage);  // kept for whoever wants to look
}

TEST_F(QSettingsUserDefaultsTest, CorruptFileIsLeftAloneUntilSomethingIsSaved) {
    writeFile(path, "garbage without structure\n");
    { QSettingsUserDefaults d(path); }
    EXPECT_EQ(readFile(path), "garbage without structure\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
}

TEST_F(QSettingsUserDefaultsTest, UnreadablePathReadsAsEmptyAndKeepsValuesForTheRun) {
    // A directory where the file should be cannot be read even by root.
    std::filesystem::create_directory(path);
    QSettingsUserDefaults d(path);
    EXPECT_EQ(d.object("anything"), std::nullopt);
    d.setInteger("kept", 5);
    EXPECT_EQ(d.integer("kept"), 5);
}

TEST_F(QSettingsUserDefaultsTest, TheUsersDomainIsAnIniFileUnderTheXdgConfigDirectory) {
    // Qt resolves the user's configuration path once per process; this is the only test that
    // opens the user's domain, so it sees this directory.
    const std::string configHome = (dir.path() + "/config").toStdString();
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1), 0);
    QSettingsUserDefaults d;
    EXPECT_EQ(d.filePath(), configHome + "/Tobble/Tobble.ini");
    d.setBoolean("LaunchAtLogin", true);
    EXPECT_TRUE(std::filesystem::exists(configHome + "/Tobble/Tobble.ini"));
}

TEST(DefaultsValueCodecTest, NativeStoresKeepTheirOwnTypes) {
    // The macOS preferences domain keeps QVariant types; nothing is tagged there.
    const std::vector<DefaultsValue> values = {int64_t{-4}, 0.5, true, std::string("int:5"),
                                               DefaultsData{1, 2, 3}};
    for (const auto& value : values) {
        const QVariant stored = encodeDefaultsValue(value, ValueEncoding::Native);
        EXPECT_EQ(decodeDefaultsValue(stored, ValueEncoding::Native), value);
    }
    EXPECT_EQ(encodeDefaultsValue(std::string("int:5"), ValueEncoding::Native).toString(), "int:5");
}

TEST(DefaultsValueCodecTest, TextThatDoesNotParseIsNotInventedIntoAValue) {
    constexpr auto kTagged = ValueEncoding::TaggedText;
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("int:12abc")), kTagged), std::nullopt);
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("bool:yes")), kTagged), std::nullopt);
    // A value typed into the file by hand, without a tag, is the text itself.
    EXPECT_EQ(decodeDefaultsValue(QVariant(QString("hello")), kTagged),
              DefaultsValue(std::string("hello")));
}

}  // namespace

}  // namespace tobble::system::qt

namespace tobble::system::contract {
INSTANTIATE_TYPED_TEST_SUITE_P(IniFile, UserDefaultsContract, qt::IniFileDomain);
}
