#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "engine/core/FourCC.h"
#include "engine/core/NumberText.h"
#include "engine/core/TAKCoreAudio.h"
#include "tests/engine/ErrorText.h"
#include "tests/support/MockAudioHardware.h"

namespace tobble::engine {
namespace {

using namespace audio;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::SetArgReferee;
using tobble::testing::errorOf;

// The other error kinds' texts are checked where their calls fail (host and property tests).
TEST(ErrorTextTest, FourCharacterCodesShowOnlyPrintableBytes) {
    EXPECT_EQ(fourCC(0x64657623u), "dev#");
    EXPECT_EQ(fourCC(0u), "????");
    EXPECT_EQ(fourCC(0x7F414243u), "?ABC");
    EXPECT_EQ(TAKError::aggregateRebuildFailed(-1).description(),
              "Aggregate rebuild failed: -1 (????)");
}

TEST(NumberTextTest, ShortestRoundTripWithFraction) {
    EXPECT_EQ(doubleText(48000.0), "48000.0");
    EXPECT_EQ(doubleText(0.0), "0.0");
    EXPECT_EQ(floatText(0.2f), "0.2");
    EXPECT_EQ(floatText(1.0f), "1.0");
    EXPECT_EQ(floatText(0.84999996f), "0.84999996");
    EXPECT_EQ(floatText(1e-05f), "1e-05");
}

class PropertyArrayTest : public ::testing::Test {
  protected:
    ::testing::StrictMock<tobble::testing::MockAudioHardware> hardware;
    TAKCoreAudio core{hardware};

    void reportSize(uint32_t size) {
        EXPECT_CALL(hardware, getPropertyDataSize(1, _, _))
            .WillOnce(DoAll(SetArgReferee<2>(size), Return(kAudioHardwareNoError)));
    }
};

TEST_F(PropertyArrayTest, SizesBelowOneIdGiveAnEmptyListWithoutReading) {
    for (uint32_t size = 0; size < 4; ++size) {
        reportSize(size);
        EXPECT_TRUE(core.getPropertyArray(1, kAudioHardwarePropertyDevices).empty()) << size;
    }
}

TEST_F(PropertyArrayTest, PartialTrailingBytesAreDroppedAndShrinkingObjectsGiveWhatWasDelivered) {
    reportSize(10);
    EXPECT_CALL(hardware, getPropertyData(1, _, _, _))
        .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, uint32_t& size, void* data) {
            EXPECT_EQ(size, 8u);
            const AudioObjectID ids[] = {7, 9};
            std::memcpy(data, ids, 8);
            return kAudioHardwareNoError;
        }));
    EXPECT_EQ(core.getPropertyArray(1, kAudioHardwarePropertyDevices),
              (std::vector<AudioObjectID>{7, 9}));

    reportSize(12);
    EXPECT_CALL(hardware, getPropertyData(1, _, _, _))
        .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, uint32_t& size, void* data) {
            const AudioObjectID id = 5;
            std::memcpy(data, &id, 4);
            size = 4;  // one object went away in between
            return kAudioHardwareNoError;
        }));
    EXPECT_EQ(core.getPropertyArray(1, kAudioHardwarePropertyProcessObjectList),
              (std::vector<AudioObjectID>{5}));
}

TEST_F(PropertyArrayTest, FailuresCarryTheCallAndSelector) {
    EXPECT_CALL(hardware, getPropertyDataSize(1, _, _)).WillOnce(Return(kAudio_ParamError));
    EXPECT_EQ(errorOf([&] { core.getPropertyArray(1, kAudioHardwarePropertyProcessObjectList); }),
              "CoreAudio error -50 (????): AudioObjectGetPropertyDataSize(prs#)");
    reportSize(8);
    EXPECT_CALL(hardware, getPropertyData(1, _, _, _))
        .WillOnce(Return(kAudioHardwareBadObjectError));
    EXPECT_EQ(errorOf([&] { core.getPropertyArray(1, kAudioHardwarePropertyDevices); }),
              "CoreAudio error 560947818 (!obj): AudioObjectGetPropertyData(dev#)");
    EXPECT_CALL(hardware, getPropertyData(3, _, _, _))
        .WillOnce(Return(kAudioHardwareUnknownPropertyError));
    EXPECT_FALSE(core.readProperty<uint32_t>(3, kAudioDevicePropertyTransportType));
}

TEST_F(PropertyArrayTest, DeviceLookupTakesTheFirstMatchAndSkipsUnreadableDevices) {
    reportSize(12);
    EXPECT_CALL(hardware, getPropertyData(1, _, _, _))
        .WillOnce(Invoke([](AudioObjectID, const PropertyAddress&, uint32_t& size, void* data) {
            const AudioObjectID ids[] = {4, 5, 6};
            std::memcpy(data, ids, sizeof ids);
            size = sizeof ids;
            return kAudioHardwareNoError;
        }));
    EXPECT_CALL(hardware, getPropertyString(4, _, _))
        .WillOnce(Return(kAudioHardwareBadObjectError));
    EXPECT_CALL(hardware, getPropertyString(5, _, _))
        .WillOnce(DoAll(SetArgReferee<2>(std::optional<std::string>("speakers")),
                        Return(kAudioHardwareNoError)));
    EXPECT_EQ(core.deviceID("speakers"), 5u);  // device 6 carries the same UID but is never asked

    EXPECT_CALL(hardware, getPropertyDataSize(1, _, _))
        .WillOnce(Return(kAudioHardwareUnspecifiedError));
    EXPECT_EQ(core.deviceID("speakers"), std::nullopt);
}

}  // namespace
}  // namespace tobble::engine
