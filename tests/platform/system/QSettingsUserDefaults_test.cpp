#include "platform/system/qt/QSettingsUserDefaults.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/log/CaptureSink.h"
#include "platform/system/qt/DefaultsValueCodec.h"
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

TEST_F(QSettingsUserDefaultsTest, FlushPutsChangesOnDiskAndTwoWritersKeepEachOthersKeys) {
    { QSettingsUserDefaults(path).setInteger("dropped", 1); }
    QSettingsUserDefaults first(path);
    QSettingsUserDefaults second(path);
    first.setInteger("a", 1);
    second.setInteger("b", 1);
    second.setInteger("b", 2);  // the last of several changes to a key is what stays
    second.remove("dropped");
    first.flush();
    second.flush();

    QSettingsUserDefaults fresh(path);  // the others are still alive: nothing comes from them
    EXPECT_EQ(fresh.integer("a"), 1);
    EXPECT_EQ(fresh.integer("b"), 2);
    EXPECT_EQ(fresh.object("dropped"), std::nullopt);
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

TEST_F(QSettingsUserDefaultsTest, UnreadablePathReadsAsEmptyAndIsReplacedByTheFirstSave) {
    // A directory where the file should be cannot be read even by root.
    std::filesystem::create_directory(path);
    {
        QSettingsUserDefaults d(path);
        EXPECT_EQ(d.object("anything"), std::nullopt);
        d.setInteger("kept", 5);
    }
    EXPECT_EQ(QSettingsUserDefaults(path).integer("kept"), 5);
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

TEST(DefaultsValueCodecTest, NativeStoresKeepTypesAndTaggedTextNeverGuesses) {
    // The macOS preferences domain keeps QVariant types: nothing is tagged there.
    for (const DefaultsValue& value : std::vector<DefaultsValue>{
             int64_t{-4}, 0.5, true, std::string("int:5"), DefaultsData{1, 2, 3}}) {
        const QVariant stored = encodeDefaultsValue(value, ValueEncoding::Native);
        EXPECT_EQ(decodeDefaultsValue(stored, ValueEncoding::Native), value);
    }
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
