#include "camera/camera_request.h"

const CameraPropertySetId CameraRequestPropertySet = {
    0xCCA349DA, 0x4FE2, 0x423A, {0xAA, 0x50, 0xE6, 0xF3, 0x52, 0x57, 0x5C, 0xBC}};

void BuildCameraEventRequest(CameraEvent code, CameraEventRequest *request)
{
    for (int i = 0; i < CameraRequestWords; i++)
        request->words[i] = 0;
    // The driver is sent the code plus 2; what it does with 0 or 1 in this
    // word is not known, so neither is ever sent.
    request->words[CameraRequestEventWord] = (uint32_t)code + 2;
}
