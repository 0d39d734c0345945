#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/core/TAKError.h"
#include "engine/pipeline/TAKIOProcHost.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/pipeline/TestAudioBuffers.h"
#include "tests/support/MockAudioHardware.h"

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
    void expectInstall(AudioObjectID device = kAggregate) {
        EXPECT_CALL(hardware, createIOProcID(device, _, _, _))
            .WillOnce(DoAll(SaveArg<1>(&installedQueue), SaveArg<2>(&installedBlock),
                            SetArgReferee<3>(kProcID), Return(kAudioHardwareNoError)));
        EXPECT_CALL(hardware, deviceStart(device, kProcID)).WillOnce(Return(kAudioHardwareNoError));
    }
    void expectRemoval(OSStatus stopStatus = 0, OSStatus destroyStatus = 0) {
        InSequence order;
        EXPECT_CALL(hardware, deviceStop(kAggregate, kProcID)).WillOnce(Return(stopStatus));
        EXPECT_CALL(hardware, destroyIOProcID(kAggregate, kProcID)).WillOnce(Return(destroyStatus));
    }
    std::string startError() {
        try {
            host.start(kAggregate);
        } catch (const TAKError& error) {
            return error.description();
        }
        return "no error";
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

TEST_F(IOProcHostTest, StartInstallsOnTheAggregateWithTheIOQueueAndLogs) {
    expectInstall();
    dispatcher.advance(12.5);
    host.start(kAggregate);
    EXPECT_TRUE(host.isRunning());
    EXPECT_EQ(host.aggregateID(), kAggregate);
    EXPECT_EQ(host.ioProcID(), kProcID);
    EXPECT_EQ(installedQueue, host.ioQueue());
    EXPECT_EQ(installedQueue->label(), "org.tobble.tak.ioproc");
    EXPECT_EQ(host.activatedAt(), dispatcher.clock().absoluteTime());
    EXPECT_EQ(capture->messages(),
              std::vector<std::string>{"AudioDeviceStart ok aggID=77 slot=5 procID=9001"});
    expectRemoval();
}

TEST_F(IOProcHostTest, StartWhileRunningChangesNothing) {
    expectInstall();
    host.start(kAggregate);
    host.start(kAggregate + 1);
    EXPECT_EQ(host.aggregateID(), kAggregate);
    EXPECT_EQ(capture->messages().size(), 1u);
    expectRemoval();
}

TEST_F(IOProcHostTest, TheInstalledCallbackRendersThroughTheHost) {
    expectInstall();
    host.setWarmupFramesRemaining(100);
    host.start(kAggregate);
    TestAudioBuffers in{2, 256, 0.5f};
    TestAudioBuffers out{2, 256, 3.0f};
    installedBlock(timeStampAt(4242), in.list(), out.list());
    EXPECT_EQ(host.lastRenderHostTime(), 4242u);
    EXPECT_EQ(host.diagCounter(), 1u);
    EXPECT_EQ(host.warmupFramesRemaining(), 0);
    EXPECT_TRUE(out.isSilent());
    installedBlock(timeStampAt(4243), in.list(), out.list());
    EXPECT_EQ(out.at(0, 0), 0.5f);
    EXPECT_EQ(host.smoothedPeak(), 0.25f);
    EXPECT_EQ(levels.level(5), 0.25f);
    expectRemoval();
}

TEST_F(IOProcHostTest, CreationFailureThrowsAndStoresNothing) {
    EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
        .WillOnce(Return(kAudioHardwareBadObjectError));
    EXPECT_EQ(startError(), "AudioDeviceCreateIOProcIDWithBlock failed: 560947818 (!obj)");
    EXPECT_FALSE(host.isRunning());
    EXPECT_FALSE(host.ioProcID().has_value());
    EXPECT_TRUE(capture->messages().empty());
}

TEST_F(IOProcHostTest, CreationWithoutAnIdentifierCountsAsFailure) {
    EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
        .WillOnce(DoAll(SetArgReferee<3>(IOProcID{0}), Return(kAudioHardwareNoError)));
    EXPECT_EQ(startError(), "AudioDeviceCreateIOProcIDWithBlock failed: 0 (????)");
    EXPECT_FALSE(host.ioProcID().has_value());
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
    EXPECT_FALSE(host.ioProcID().has_value());
    EXPECT_EQ(host.activatedAt(), 0.0);
    host.stop();  // nothing left to remove
}

TEST_F(IOProcHostTest, StopRemovesTheCallbackAndKeepsTheHistory) {
    expectInstall();
    host.start(kAggregate);
    const double activatedAt = host.activatedAt();
    expectRemoval();
    host.stop();
    EXPECT_FALSE(host.isRunning());
    EXPECT_FALSE(host.ioProcID().has_value());
    EXPECT_EQ(host.activatedAt(), activatedAt);
    host.stop();
    EXPECT_EQ(capture->messages(log::Level::Error).size(), 0u);
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

TEST_F(IOProcHostTest, StopOnANeverStartedHostCallsNothing) {
    host.stop();  // the strict mock fails on any call
    EXPECT_FALSE(host.isRunning());
    EXPECT_TRUE(capture->messages().empty());
}
TEST_F(IOProcHostTest, DestroyingARunningHostRemovesItsCallback) {
    auto doomed = std::make_unique<TAKIOProcHost>(6, volumes, levels, hardware, dispatcher);
    EXPECT_CALL(hardware, createIOProcID(kAggregate, _, _, _))
        .WillOnce(DoAll(SetArgReferee<3>(kProcID), Return(kAudioHardwareNoError)));
    EXPECT_CALL(hardware, deviceStart(kAggregate, kProcID)).WillOnce(Return(0));
    doomed->start(kAggregate);
    expectRemoval();
    doomed.reset();
}

TEST_F(IOProcHostTest, CrossfadeAttachAndDetach) {
    TAKCrossfadeState fade;
    fade.beginPreparing();
    host.attachCrossfade(fade, TAKIOProcHost::Role::secondary);
    EXPECT_EQ(host.crossfadeState(), &fade);
    EXPECT_EQ(host.crossfadeRole(), TAKIOProcHost::Role::secondary);

    TestAudioBuffers in{2, 64, 0.5f};
    TestAudioBuffers out{2, 64};
    host.renderer().render(timeStampAt(1), in.list(), out.list());
    EXPECT_TRUE(out.isSilent());
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);

    const uint64_t mark = host.detachCrossfade();
    EXPECT_EQ(host.crossfadeState(), nullptr);
    EXPECT_EQ(host.crossfadeRole(), TAKIOProcHost::Role::primary);
    EXPECT_FALSE(host.hasRenderedSince(mark));
    host.renderer().render(timeStampAt(2), in.list(), out.list());
    EXPECT_TRUE(host.hasRenderedSince(mark));
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);  // the detached state is left alone
    EXPECT_EQ(out.at(0, 0), 0.5f);
}

}  // namespace
}  // namespace tobble::engine
