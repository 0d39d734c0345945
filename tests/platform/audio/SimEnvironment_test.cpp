#include "platform/sim/SimEnvironment.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/platform/audio/SimTestSupport.h"

namespace tobble::sim {
namespace {

using audio::sim::testing::kSineRms05;

TEST(SimEnvironmentTest, AppsLaunchIntoEveryPartOfTheSimulatedDesktop) {
    SimEnvironment env(SimEnvironmentOptions{.ownPid = 42});
    env.audio().addDevice({.uid = "speakers", .name = "Speakers"});
    const auto object = env.addApp(501, "org.example.music", "Music", 440.0);

    EXPECT_TRUE(env.apps().isRunning(501));
    ASSERT_TRUE(env.apps().lookup(501).has_value());
    EXPECT_EQ(env.apps().lookup(501)->localizedName, "Music");
    EXPECT_TRUE(env.environment().processes.exists(501));
    EXPECT_EQ(env.environment().processes.ownPid(), 42);
    EXPECT_EQ(env.audio().processObjects(501), std::vector<audio::AudioObjectID>{object});
    EXPECT_EQ(audio::sim::testing::readString(env.environment().audio, object,
                                              audio::kAudioProcessPropertyBundleID),
              "org.example.music");

    env.virtualTime().advance(0.5);
    EXPECT_NEAR(env.audio().rms("speakers", 0, 0, 0.5), kSineRms05, 0.002);

    env.responsibility().set(777, 501);
    EXPECT_EQ(env.environment().responsibleProcess(777), 501);
    env.environment().defaults.setBoolean("hidden", true);
    EXPECT_TRUE(env.defaults().boolean("hidden"));

    env.quitApp(501);
    EXPECT_FALSE(env.environment().processes.exists(501));
    EXPECT_TRUE(env.audio().processObjects(501).empty());
}

TEST(SimEnvironmentTest, RealTimeEnvironmentRunsAndShutsDownCleanly) {
    SimEnvironment env(TimeMode::Real);
    EXPECT_FALSE(env.isVirtualTime());
    EXPECT_THROW(env.virtualTime(), std::logic_error);
    env.audio().addDevice({.uid = "speakers", .name = "Speakers", .bufferFrames = 128});
    env.addApp(501, "org.example.music", "Music", 440.0);
    bool ran = false;
    env.dispatcher().mainQueue().sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace tobble::sim
