#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/pipeline/TAKIOProcHost.h"
#include "engine/pipeline/TAKKeepaliveHost.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/ErrorText.h"
#include "tests/engine/pipeline/TestAudioBuffers.h"
#include "tests/support/MockAudioHardware.h"

// The two I/O callback hosts (an application's pipeline and the silent keep-alive) make the same
// calls into the audio interface: their order, and what each host does when one fails, are cases
// the simulated system cannot produce in order. The strict mock fails on any other call.
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

constexpr AudioObjectID kDevice = 77;
constexpr IOProcID kProcID = 9001;

class HostCallsTest : public ::testing::Test {
  protected:
    // The callback's creation on `device` answers `id` with `status`.
    void expectCreate(AudioObjectID device, IOProcID id, OSStatus status = kAudioHardwareNoError) {
        EXPECT_CALL(hardware, createIOProcID(device, _, _, _))
            .WillOnce(DoAll(SaveArg<1>(&installedQueue), SaveArg<2>(&installedBlock),
                            SetArgReferee<3>(id), Return(status)));
    }
    void expectInstall(AudioObjectID device = kDevice, IOProcID id = kProcID) {
        InSequence order;
        expectCreate(device, id);
        EXPECT_CALL(hardware, deviceStart(device, id)).WillOnce(Return(kAudioHardwareNoError));
    }
    void expectRemoval(AudioObjectID device = kDevice, IOProcID id = kProcID, OSStatus stop = 0,
                       OSStatus destroy = 0) {
        InSequence order;
        EXPECT_CALL(hardware, deviceStop(device, id)).WillOnce(Return(stop));
        EXPECT_CALL(hardware, destroyIOProcID(device, id)).WillOnce(Return(destroy));
    }

    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    StrictMock<testing::MockAudioHardware> hardware;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    std::unique_ptr<TAKIOProcHost> pipeline =
        std::make_unique<TAKIOProcHost>(5, volumes, levels, hardware, dispatcher.clock(),
                                        dispatcher.makeSerialQueue("test.ioproc"));
    std::unique_ptr<TAKKeepaliveHost> keepalive =
        std::make_unique<TAKKeepaliveHost>(hardware, dispatcher);
    dispatch::QueuePtr installedQueue;
    IOProcBlock installedBlock;
};

// ---- what both hosts do, with each host's error texts

struct HostCase {
    const char* name;
    bool isKeepalive;
    const char* startFailure;
    std::vector<std::string> stopFailures;
};

class BothHostsTest : public HostCallsTest, public ::testing::WithParamInterface<HostCase> {
  protected:
    bool keepaliveUnderTest() const { return GetParam().isKeepalive; }
    void start() { keepaliveUnderTest() ? keepalive->start(kDevice) : pipeline->start(kDevice); }
    void stop() { keepaliveUnderTest() ? keepalive->stop() : void(pipeline->stop()); }
    bool isRunning() const {
        return keepaliveUnderTest() ? keepalive->isRunning() : pipeline->isRunning();
    }
    std::string startError() {
        return testing::errorOf([&] { start(); });
    }
};

TEST_P(BothHostsTest, InstallsOnceOnItsOwnQueueAndRemovesOnStopOrDestruction) {
    stop();  // never started: no call
    expectInstall();
    start();
    start();
    EXPECT_TRUE(isRunning());
    EXPECT_EQ(installedQueue, keepaliveUnderTest() ? keepalive->ioQueue() : pipeline->ioQueue());
    expectRemoval();
    stop();
    stop();
    EXPECT_FALSE(isRunning());

    expectInstall();
    start();
    expectRemoval();
    pipeline.reset();
    keepalive.reset();
    EXPECT_TRUE(capture->messages(log::Level::Error).empty());
}

TEST_P(BothHostsTest, FailedCreationThrowsWithTheStatusAndLeavesNothingInstalled) {
    const std::pair<OSStatus, std::string> cases[] = {
        {kAudioHardwareBadObjectError,
         "AudioDeviceCreateIOProcIDWithBlock failed: 560947818 (!obj)"},
        {kAudioHardwareNoError,  // success without an identifier
         "AudioDeviceCreateIOProcIDWithBlock failed: 0 (????)"}};
    for (const auto& [status, text] : cases) {
        expectCreate(kDevice, 0, status);
        EXPECT_EQ(startError(), text);
        EXPECT_FALSE(isRunning());
    }
}

TEST_P(BothHostsTest, DeviceStartFailureRemovesTheCallbackAndLeavesTheHostRestartable) {
    {
        InSequence order;
        expectCreate(kDevice, kProcID);
        EXPECT_CALL(hardware, deviceStart(kDevice, kProcID))
            .WillOnce(Return(kAudioHardwareIllegalOperationError));
        EXPECT_CALL(hardware, destroyIOProcID(kDevice, kProcID)).WillOnce(Return(0));
    }
    EXPECT_EQ(startError(), GetParam().startFailure);
    EXPECT_FALSE(isRunning());
    stop();  // nothing left to remove
    expectInstall(kDevice, 13);
    start();
    EXPECT_TRUE(isRunning());
    expectRemoval(kDevice, 13);
}

// A callback whose removal failed is never forgotten: the next stop picks up at the step that
// failed, and never removes a callback whose device could not be stopped.
TEST_P(BothHostsTest, AFailedRemovalIsLoggedAndFinishedByTheNextStop) {
    expectInstall();
    start();
    // "Not running" leaves nothing to stop; the removal itself fails.
    expectRemoval(kDevice, kProcID, kAudioHardwareNotRunningError, kAudio_ParamError);
    stop();
    EXPECT_EQ(capture->messages(log::Level::Error), GetParam().stopFailures);
    EXPECT_FALSE(isRunning());
    EXPECT_CALL(hardware, destroyIOProcID(kDevice, kProcID)).WillOnce(Return(0));
    stop();
    stop();  // nothing left

    expectInstall(kDevice, 13);
    start();
    EXPECT_CALL(hardware, deviceStop(kDevice, 13))
        .WillOnce(Return(kAudioHardwareIllegalOperationError));
    stop();
    expectRemoval(kDevice, 13);
    stop();
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, BothHostsTest,
    ::testing::Values(HostCase{"Pipeline",
                               false,
                               "CoreAudio error 1852797029 (nope): AudioDeviceStart",
                               {"AudioDeviceStop status=1937010544 (stop)",
                                "AudioDeviceDestroyIOProcID status=-50 (????)"}},
                      HostCase{"Keepalive",
                               true,
                               "CoreAudio error 1852797029 (nope): AudioDeviceStart(keepalive)",
                               {"keepalive stop status=1937010544 (stop)",
                                "keepalive destroy status=-50 (????)"}}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- what only one of them does

TEST_F(HostCallsTest, PipelineCallbackRendersThroughTheHostAndStartStaysOnItsAggregate) {
    expectInstall();
    dispatcher.advance(12.5);
    pipeline->setWarmupFramesRemaining(100);
    pipeline->start(kDevice);
    pipeline->start(kDevice + 1);  // already running: nothing happens
    EXPECT_EQ(pipeline->activatedAt(), dispatcher.clock().absoluteTime());
    TestAudioBuffers in{2, 256, 0.5f};
    TestAudioBuffers out{2, 256, 3.0f};
    installedBlock(timeStampAt(4242), in.list(), out.list());
    EXPECT_EQ(pipeline->lastRenderHostTime(), 4242u);
    EXPECT_TRUE(out.isSilent());  // the warm-up
    installedBlock(timeStampAt(4243), in.list(), out.list());
    EXPECT_EQ(out.at(0, 0), 0.5f);
    EXPECT_EQ(levels.level(5), 0.25f);

    // Stopping keeps the time of activation for the health monitor.
    expectRemoval();
    pipeline->stop();
    EXPECT_EQ(pipeline->activatedAt(), dispatcher.clock().absoluteTime());
}

TEST_F(HostCallsTest, PipelineWhoseRemovalFailedIsSilentUntilRemoved) {
    expectInstall();
    pipeline->start(kDevice);
    EXPECT_CALL(hardware, deviceStop(kDevice, kProcID))
        .WillOnce(Return(kAudioHardwareIllegalOperationError));
    EXPECT_FALSE(pipeline->stop());
    EXPECT_TRUE(pipeline->isInstalled());
    TestAudioBuffers in{2, 64, 0.5f};
    TestAudioBuffers out{2, 64, 3.0f};
    installedBlock(timeStampAt(1), in.list(), out.list());
    EXPECT_TRUE(out.isSilent());
    EXPECT_EQ(levels.level(5), 0.0f);
    expectRemoval();
    EXPECT_TRUE(pipeline->stop());
    EXPECT_FALSE(pipeline->isInstalled());
}

TEST_F(HostCallsTest, DetachedCrossfadeStateIsLeftAloneAndThePipelinePlaysAsPrimary) {
    TAKCrossfadeState fade;
    fade.beginPreparing();
    pipeline->attachCrossfade(fade, TAKIOProcHost::Role::secondary);
    TestAudioBuffers in{2, 64, 0.5f};
    TestAudioBuffers out{2, 64};
    pipeline->renderer().render(timeStampAt(1), in.list(), out.list());
    EXPECT_TRUE(out.isSilent());
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);

    const uint64_t mark = pipeline->detachCrossfade();
    EXPECT_FALSE(pipeline->hasRenderedSince(mark));
    pipeline->renderer().render(timeStampAt(2), in.list(), out.list());
    EXPECT_TRUE(pipeline->hasRenderedSince(mark));
    EXPECT_EQ(fade.secondarySamplesProcessed(), 64);
    EXPECT_EQ(out.at(0, 0), 0.5f);
}

TEST_F(HostCallsTest, KeepaliveMovesToANewDeviceAndOnlySilencesEveryOutputBuffer) {
    expectInstall(5, 11);
    keepalive->start(5);
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

    {
        InSequence order;
        expectRemoval(5, 11);
        expectInstall(7, 12);
    }
    keepalive->start(7);
    EXPECT_EQ(keepalive->deviceID(), 7u);
    expectRemoval(7, 12);
}

}  // namespace
}  // namespace tobble::engine
