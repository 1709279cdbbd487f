// Delivers one CameraEvent to the camera's driver through its DirectShow
// capture filter, found by friendly name. Nothing stays open between events.
#pragma once

#include "common/common.h"

// 1 when the driver accepted the event, 0 otherwise.
int SendCameraEvent(MonitorContext *context, CameraEvent code);

// 1 with context->filter and context->propertySet set, or 0 with both null.
// A failed open leaves its COM initialisation in force (and the flag as set).
int OpenCameraChannel(const char *name, MonitorContext *context);

// Releases both references and the COM initialisation the open made; always 1.
int CloseCameraChannel(MonitorContext *context);
