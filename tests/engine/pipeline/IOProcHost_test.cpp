#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/pipeline/TAKIOProcHost.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/ErrorText.h"
#include "tests/engine/pipeline/TestAudioBuffers.h"
#include "tests/support/MockAudioHardware.h"

// The host's calls into the audio interface, in order, and what it does when they fail: cases
// the simulated system cannot produce on purpose. The strict mock fails on any other call.
namespace tobble::engine {
namespace {

using namespace audio;
using ::testing::_;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::SaveArg;
using ::testing::SetArgReferee;
using ::testing::StrictMock;
using testing::TestAudioBuffers;
using testing::timeStampAt;

constexpr AudioObjectID kAggregate = 77;
constexpr IOProcID kProcID = 9001;

class IOProcHostTest : public ::testing::Test {
  protected:
    void expectInstall() {
        EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
            .WillOnce(DoAll(SaveArg<1>(&installedQueue), SaveArg<2>(&installedBlock),
                            SetArgReferee<3>(kProcID), Return(kAudioHardwareNoError)));
        EXPECT_CALL(hardware, deviceStart(kAggregate, kProcID))
            .WillOnce(Return(kAudioHardwareNoError));
    }
    void expectRemoval(OSStatus stopStatus = 0, OSStatus destroyStatus = 0) {
        InSequence order;
        EXPECT_CALL(hardware, deviceStop(kAggregate, kProcID)).WillOnce(Return(stopStatus));
        EXPECT_CALL(hardware, destroyIOProcID(kAggregate, kProcID)).WillOnce(Return(destroyStatus));
    }
    std::string startError() {
        return testing::errorOf([&] { host.start(kAggregate); });
    }

    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    StrictMock<testing::MockAudioHardware> hardware;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    TAKIOProcHost host{5, volumes, levels, hardware, dispatcher};
    dispatch::QueuePtr installedQueue;
    IOProcBlock installedBlock;
};

TEST_F(IOProcHostTest, StartInstallsOnceOnTheIOQueueAndTheCallbackRendersThroughTheHost) {
    expectInstall();
    dispatcher.advance(12.5);
    host.setWarmupFramesRemaining(100);
    host.start(kAggregate);
    host.start(kAggregate + 1);  // already running: nothing happens
    EXPECT_TRUE(host.isRunning());
    EXPECT_EQ(installedQueue, host.ioQueue());
    EXPECT_EQ(host.activatedAt(), dispatcher.clock().absoluteTime());

    TestAudioBuffers in{2, 256, 0.5f};
    TestAudioBuffers out{2, 256, 3.0f};
    installedBlock(timeStampAt(4242), in.list(), out.list());
    EXPECT_EQ(host.lastRenderHostTime(), 4242u);
    EXPECT_TRUE(out.isSilent());  // the warm-up
    installedBlock(timeStampAt(4243), in.list(), out.list());
    EXPECT_EQ(out.at(0, 0), 0.5f);
    EXPECT_EQ(levels.level(5), 0.25f);
    expectRemoval();
}

TEST_F(IOProcHostTest, FailedCreationThrowsWithTheStatusAndStoresNothing) {
    const std::pair<OSStatus, std::string> cases[] = {
        {kAudioHardwareBadObjectError,
         "AudioDeviceCreateIOProcIDWithBlock failed: 560947818 (!obj)"},
        {kAudioHardwareNoError,  // success without an identifier
         "AudioDeviceCreateIOProcIDWithBlock failed: 0 (????)"}};
    for (const auto& [status, text] : cases) {
        EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
            .WillOnce(DoAll(SetArgReferee<3>(IOProcID{0}), Return(status)));
        EXPECT_EQ(startError(), text);
        EXPECT_FALSE(host.isRunning());
        EXPECT_FALSE(host.ioProcID().has_value());
    }
}

TEST_F(IOProcHostTest, DeviceStartFailureRemovesTheCallbackAgain) {
    {
        InSequence order;
        EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
            .WillOnce(DoAll(SetArgReferee<3>(kProcID), Return(kAudioHardwareNoError)));
        EXPECT_CALL(hardware, deviceStart(kAggregate, kProcID))
            .WillOnce(Return(kAudioHardwareIllegalOperationError));
        EXPECT_CALL(hardware, destroyIOProcID(kAggregate, kProcID)).WillOnce(Return(0));
    }
    EXPECT_EQ(startError(), "CoreAudio error 1852797029 (nope): AudioDeviceStart");
    EXPECT_FALSE(host.isRunning());
    EXPECT_EQ(host.activatedAt(), 0.0);
    host.stop();  // nothing left to remove
}

TEST_F(IOProcHostTest, StopRemovesTheCallbackOnceAndKeepsTheHistory) {
    host.stop();  // never started: no call
    expectInstall();
    host.start(kAggregate);
    const double activatedAt = host.activatedAt();
    expectRemoval();
    host.stop();
    host.stop();
    EXPECT_FALSE(host.isRunning());
    EXPECT_EQ(host.activatedAt(), activatedAt);
    EXPECT_TRUE(capture->messages(log::Level::Error).empty());
}

TEST_F(IOProcHostTest, StopFailuresAreLoggedAndTheIdentifierClearedAnyway) {
    expectInstall();
    host.start(kAggregate);
    expectRemoval(kAudioHardwareNotRunningError, kAudio_ParamError);
    host.stop();
    EXPECT_EQ(capture->messages(log::Level::Error),
              (std::vector<std::string>{"AudioDeviceStop status=1937010544 (stop)",
                                        "AudioDeviceDestroyIOProcID status=-50 (????)"}));
    EXPECT_FALSE(host.ioProcID().has_value());
    EXPECT_FALSE(host.isRunning());
}

TEST_F(IOProcHostTest, DestroyingARunningHostRemovesItsCallback) {
    auto doomed = std::make_unique<TAKIOProcHost>(6, volumes, levels, hardware, dispatcher);
    expectInstall();
    doomed->start(kAggregate);
    expectRemoval();
    doomed.reset();
}

TEST_F(IOProcHostTest, DetachedCrossfadeStateIsLeftAloneAndTheHostPlaysAsPrimary) {
    TAKCrossfadeState fade;
    fade.beginPreparing();
    host.attachCrossfade(fade, TAKIOProcHost::Role::secondary);
    TestAudioBuffers in{2, 64, 0.5f};
    TestAudioBuffers out{2, 64};
    host.renderer().render(timeStampAt(1), in.list(), out.list());
    EXPECT_TRUE(out.isSilent());
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);

    const uint64_t mark = host.detachCrossfade();
    EXPECT_FALSE(host.hasRenderedSince(mark));
    host.renderer().render(timeStampAt(2), in.list(), out.list());
    EXPECT_TRUE(host.hasRenderedSince(mark));
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);
    EXPECT_EQ(out.at(0, 0), 0.5f);
}

}  // namespace
}  // namespace tobble::engine
