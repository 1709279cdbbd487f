#include "camera/camera_request.h"

const CameraPropertySetId CameraRequestPropertySet = {
    0xCCA349DA, 0x4FE2, 0x423A, {0xAA, 0x50, 0xE6, 0xF3, 0x52, 0x57, 0x5C, 0xBC}};

void BuildCameraEventRequest(CameraEvent code, CameraEventRequest *request)
{
    for (int i = 0; i < CameraRequestWords; i++)
        request->words[i] = 0;
    // The driver numbers its events from 2; 0 and 1 mean something else to it.
    request->words[CameraRequestEventWord] = (uint32_t)code + 2;
}
