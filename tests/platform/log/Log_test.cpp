#include "platform/log/Log.h"

#include <gtest/gtest.h>

#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"

namespace tobble::log {
namespace {

double virtualSeconds(const void* context) {
    return static_cast<const dispatch::VirtualDispatcher*>(context)->now();
}

class LogTest : public ::testing::Test {
  protected:
    ~LogTest() override { setTimeSource(nullptr, nullptr); }

    Logger logger{"org.tobble.app", "Test"};
};

TEST_F(LogTest, CaptureKeepsLevelCategoryAndTheComposedMessage) {
    ScopedCapture capture;
    logger.info("Started");
    logger.error("AudioObjectGetPropertyData(dev#) failed");
    Logger("org.tobble.app", "Other").info("Started again");

    const auto lines = capture->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].level, Level::Error);
    EXPECT_EQ(lines[1].category, "Test");
    EXPECT_EQ(lines[2].category, "Other");
    EXPECT_EQ(capture->messages(Level::Error),
              std::vector<std::string>{"AudioObjectGetPropertyData(dev#) failed"});
    EXPECT_EQ(capture->count("Started"), 2u);
    EXPECT_TRUE(capture->contains("Started"));
    EXPECT_FALSE(capture->contains("Start"));  // whole messages only
}

TEST_F(LogTest, RecordsCarryTheInstalledTimeSource) {
    dispatch::VirtualDispatcher dispatcher;
    setTimeSource(&virtualSeconds, &dispatcher);
    ScopedCapture capture;
    logger.info("at start");
    dispatcher.advance(2.5);
    logger.info("later");
    EXPECT_DOUBLE_EQ(capture->lines().at(0).time, 0.0);
    EXPECT_DOUBLE_EQ(capture->lines().at(1).time, 2.5);

    setTimeSource(nullptr, nullptr);  // back to wall-clock seconds since 1970
    logger.info("wall clock");
    EXPECT_GT(capture->lines().at(2).time, 1.5e9);
}

TEST_F(LogTest, StderrSinkPrintsTimeLevelSubsystemCategoryAndMessage) {
    dispatch::VirtualDispatcher dispatcher;
    dispatcher.advance(1.25);
    setTimeSource(&virtualSeconds, &dispatcher);
    auto previous = setSink(makeStderrSink());
    ::testing::internal::CaptureStderr();
    logger.error("Unknown per-app volume schema version: 2");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    setSink(previous);
    EXPECT_EQ(printed,
              "1.250 error org.tobble.app Test: Unknown per-app volume schema version: 2\n");
}

}  // namespace
}  // namespace tobble::log
