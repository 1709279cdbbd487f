// Delivers one CameraEvent to the camera's driver through its DirectShow
// capture filter, found by friendly name. Nothing stays open between events.
#pragma once

#include <stddef.h>

#include "common/common.h"

// 1 when the driver accepted the event, 0 otherwise.
int SendCameraEvent(MonitorContext *context, CameraEvent code);

// What an open visits, told to an optional observer. Results are HRESULTs.
enum CameraChannelStep
{
    CameraChannelStepCom = 0,          // CoInitialize
    CameraChannelStepDeviceEnum = 1,   // the system device enumerator
    CameraChannelStepCategory = 2,     // the video input category (S_FALSE: empty)
    CameraChannelStepBind = 3,         // binding the capture filter of the match
    CameraChannelStepPropertySet = 4,  // the filter's IKsPropertySet
    // Each device's name, before its Device: the property bag's HRESULT when
    // it fails, else the read's, DISP_E_TYPEMISMATCH when it is no string.
    CameraChannelStepName = 5,
    // A name read but not converted (too long for the buffer): the Win32 error.
    CameraChannelStepConvert = 6,
    // Each step of the walk through the category: S_FALSE at its end, or the
    // failure that ends it early.
    CameraChannelStepNext = 7
};

struct CameraChannelObserver
{
    void *context;
    void (*Step)(void *context, CameraChannelStep step, long result);
    // Each video input device in enumeration order: the name the walk compares
    // (read from the device, or kept from an earlier one when the read failed:
    // see CameraChannelStepName), whether it was compared at all, and whether
    // it matched.
    void (*Device)(void *context, const char *name, int compared, int matched);
};

// 1 with context->filter and context->propertySet set, or 0 with both null.
// A failed open leaves its COM initialisation in force (and the flag as set).
// observer (NULL for none) is told what the walk visits without changing what
// it decides; only a build with ZN_WALK_OBSERVERS tells it anything.
int OpenCameraChannel(const char *name, MonitorContext *context,
                      const CameraChannelObserver *observer = NULL);

// Releases both references and the COM initialisation the open made; always 1.
int CloseCameraChannel(MonitorContext *context);
