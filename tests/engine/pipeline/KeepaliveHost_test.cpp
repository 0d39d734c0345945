#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/pipeline/TAKKeepaliveHost.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/ErrorText.h"
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

class KeepaliveHostTest : public ::testing::Test {
  protected:
    void expectInstall(AudioObjectID device, IOProcID id) {
        EXPECT_CALL(hardware, createIOProcID(device, host.ioQueue(), _, _))
            .WillOnce(DoAll(SaveArg<2>(&installedBlock), SetArgReferee<3>(id), Return(0)));
        EXPECT_CALL(hardware, deviceStart(device, id)).WillOnce(Return(0));
    }
    void expectRemoval(AudioObjectID device, IOProcID id, OSStatus stop = 0, OSStatus destroy = 0) {
        InSequence order;
        EXPECT_CALL(hardware, deviceStop(device, id)).WillOnce(Return(stop));
        EXPECT_CALL(hardware, destroyIOProcID(device, id)).WillOnce(Return(destroy));
    }
    std::string startError(AudioObjectID device) {
        return testing::errorOf([&] { host.start(device); });
    }

    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    StrictMock<testing::MockAudioHardware> hardware;
    TAKKeepaliveHost host{hardware, dispatcher};
    IOProcBlock installedBlock;
};

TEST_F(KeepaliveHostTest, TwoStartsOnOneDeviceInstallOneCallbackThatOnlySilencesTheOutput) {
    host.stop();  // idle: no call
    expectInstall(5, 11);
    host.start(5);
    host.start(5);
    EXPECT_TRUE(host.isRunning());
    TestAudioBuffers in{2, 64, 0.5f};
    TestAudioBuffers out{2, 64, 0.9f};
    TestAudioBuffers second{1, 32, 0.9f};
    auto& outputs = out.list();
    outputs.mNumberBuffers = 3;
    outputs.mBuffers[1] = {1, 0, nullptr};
    outputs.mBuffers[2] = second.list().mBuffers[0];
    installedBlock(timeStampAt(1), in.list(), outputs);
    EXPECT_TRUE(out.isSilent());
    EXPECT_TRUE(second.isSilent());
    EXPECT_TRUE(in.channelIs(0, 0.5f));
    expectRemoval(5, 11);
}

TEST_F(KeepaliveHostTest, SwitchingDevicesStopsTheFirstBeforeInstallingOnTheSecond) {
    expectInstall(5, 11);
    host.start(5);
    {
        InSequence order;
        EXPECT_CALL(hardware, deviceStop(5, 11)).WillOnce(Return(0));
        EXPECT_CALL(hardware, destroyIOProcID(5, 11)).WillOnce(Return(0));
        EXPECT_CALL(hardware, createIOProcID(7, _, _, _))
            .WillOnce(DoAll(SetArgReferee<3>(IOProcID{12}), Return(0)));
        EXPECT_CALL(hardware, deviceStart(7, 12)).WillOnce(Return(0));
    }
    host.start(7);
    EXPECT_EQ(host.deviceID(), 7u);
    expectRemoval(7, 12);
}

TEST_F(KeepaliveHostTest, CreationFailureThrowsWithTheStatus) {
    EXPECT_CALL(hardware, createIOProcID(5, _, _, _))
        .WillOnce(Return(kAudioHardwareBadDeviceError));
    EXPECT_EQ(startError(5), "AudioDeviceCreateIOProcIDWithBlock failed: 560227702 (!dev)");
    EXPECT_FALSE(host.isRunning());
    EXPECT_FALSE(host.ioProcID().has_value());
}

TEST_F(KeepaliveHostTest, DeviceStartFailureRemovesTheCallbackAndLeavesTheHostRestartable) {
    {
        InSequence order;
        EXPECT_CALL(hardware, createIOProcID(5, _, _, _))
            .WillOnce(DoAll(SetArgReferee<3>(IOProcID{11}), Return(0)));
        EXPECT_CALL(hardware, deviceStart(5, 11)).WillOnce(Return(kAudio_ParamError));
        EXPECT_CALL(hardware, destroyIOProcID(5, 11)).WillOnce(Return(0));
    }
    EXPECT_EQ(startError(5), "CoreAudio error -50 (????): AudioDeviceStart(keepalive)");
    EXPECT_FALSE(host.isRunning());
    host.stop();  // only clears the running flag: nothing is installed
    expectInstall(5, 13);
    host.start(5);
    EXPECT_TRUE(host.isRunning());
    expectRemoval(5, 13);
}

TEST_F(KeepaliveHostTest, StopFailuresAreLoggedAndTheHostGoesIdleAnyway) {
    expectInstall(5, 11);
    host.start(5);
    expectRemoval(5, 11, kAudioHardwareBadDeviceError, kAudioHardwareBadObjectError);
    host.stop();
    EXPECT_EQ(capture->messages(log::Level::Error),
              (std::vector<std::string>{"keepalive stop status=560227702 (!dev)",
                                        "keepalive destroy status=560947818 (!obj)"}));
    EXPECT_FALSE(host.isRunning());
    EXPECT_EQ(host.deviceID(), 0u);
}

}  // namespace
}  // namespace tobble::engine
