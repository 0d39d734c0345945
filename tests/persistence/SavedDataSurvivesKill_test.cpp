#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "platform/system/qt/QSettingsUserDefaults.h"
#include "services/VolumeStore.h"

namespace tobble::app {
namespace {

constexpr int kApps = 5;

std::string appID(int k) { return "com.example.app" + std::to_string(k); }

// A writer process saving bursts of volume changes is killed at some moment: the settings file it
// leaves must hold, for every application, a value it once saved — never a torn document.
TEST(SavedDataSurvivesKillTest, FileHoldsOldOrNewValuesAfterSIGKILL) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tobble-kill-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "Tobble.ini").string();

    {
        system::qt::QSettingsUserDefaults defaults(path);
        VolumeStore store(defaults);
        for (int k = 0; k < kApps; ++k) store.save(appID(k), 0.5f, false);
        defaults.flush();
    }

    for (int attempt = 0; attempt < 5; ++attempt) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            system::qt::QSettingsUserDefaults defaults(path);
            VolumeStore store(defaults);
            for (int i = 0;; ++i) {
                for (int k = 0; k < kApps; ++k)
                    store.save(appID(k), static_cast<float>(i % 100) / 100.0f, i % 2 == 1);
                if (i == 10) [[maybe_unused]]
                    auto n = ::write(ready[1], "r", 1);
                if (i % 20 == 0) defaults.flush();
            }
        }
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * attempt));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        system::qt::QSettingsUserDefaults defaults(path);
        const auto saved = VolumeStore(defaults).loadAll();
        ASSERT_EQ(saved.size(), static_cast<size_t>(kApps))
            << "attempt " << attempt << ": saved volumes were lost";
        for (const auto& [bundleID, state] : saved) {
            const float hundredths = state.volume * 100.0f;
            EXPECT_NEAR(hundredths, std::round(hundredths), 1e-3)
                << bundleID << " holds a value never saved";
            EXPECT_GE(state.volume, 0.0f);
            EXPECT_LE(state.volume, 1.0f);
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tobble::app
