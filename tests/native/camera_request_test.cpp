#include <gtest/gtest.h>

#include <string.h>

#include "camera/camera_request.h"

namespace {

TEST(CameraRequest, IsNineWordsOfThirtySixBytes)
{
    EXPECT_EQ(36u, sizeof(CameraEventRequest));
}

TEST(CameraRequest, CarriesCodePlusTwoInWordSevenOnly)
{
    for (int code = CameraEventSuspend; code <= CameraEventBatteryRecovered; code++) {
        CameraEventRequest request;
        memset(&request, 0xcc, sizeof request);
        BuildCameraEventRequest((CameraEvent)code, &request);
        const unsigned char *bytes = (const unsigned char *)&request;
        for (int i = 0; i < 36; i++) {
            // Little-endian word 7 is bytes 28..31.
            unsigned expected = i == 28 ? code + 2 : 0;
            EXPECT_EQ(expected, bytes[i]) << "code " << code << ", byte " << i;
        }
    }
}

TEST(CameraRequest, PropertySetHasTheVendorGuidBytes)
{
    const unsigned char expected[16] = {0xDA, 0x49, 0xA3, 0xCC, 0xE2, 0x4F, 0x3A, 0x42,
                                        0xAA, 0x50, 0xE6, 0xF3, 0x52, 0x57, 0x5C, 0xBC};
    ASSERT_EQ(16u, sizeof CameraRequestPropertySet);
    const unsigned char *got = (const unsigned char *)&CameraRequestPropertySet;
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(expected[i], got[i]) << "byte " << i;
    EXPECT_EQ(0x807, CameraRequestPropertyId);
}

}  // namespace
