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

TEST_F(QSettingsUserDefaultsTest, CorruptFileIsLeftAloneUntilSomethingIsSaved) {
    writeFile(path, "garbage without structure\n");
    { QSettingsUserDefaults d(path); }
    EXPECT_EQ(readFile(path), "garbage without structure\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
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
