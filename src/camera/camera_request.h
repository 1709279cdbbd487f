// The vendor property request that carries one event to the camera's driver.
// No Windows header: the layout is checked by native tests.
#pragma once

#include <stdint.h>

#include "common/common.h"

enum
{
    CameraRequestWords = 9,
    CameraRequestEventWord = 7,      // the driver reads the event from here
    CameraRequestPropertyId = 0x807
};

// The same buffer travels as instance data and as property data.
struct CameraEventRequest
{
    uint32_t words[CameraRequestWords];
};

// Laid out exactly like a GUID, so the Win32 side can hand it to COM as one.
struct CameraPropertySetId
{
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// {CCA349DA-4FE2-423A-AA50-E6F352575CBC}
extern const CameraPropertySetId CameraRequestPropertySet;

// Zeroes the request and puts code + 2 into the event word.
void BuildCameraEventRequest(CameraEvent code, CameraEventRequest *request);
