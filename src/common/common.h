// Types and texts shared by every part of the monitor. No Windows header here:
// the COM interfaces are only pointed to, so the Windows-free decision code
// and its native tests can include this file too.
#pragma once

#include <stdint.h>

struct IBaseFilter;
struct IKsPropertySet;

// Fixed text buffers are this long, terminator included.
enum { TextBufferSize = 260 };

// What the camera's driver is told. The driver receives the code plus 2.
enum CameraEvent
{
    CameraEventSuspend = 0,          // the system is about to suspend
    CameraEventSessionEnd = 1,       // the user session is ending
    CameraEventBatteryCritical = 2,  // the battery reached the critical band
    CameraEventBatteryRecovered = 3  // the battery left the critical band
};

// Made by the main routine, carried by the monitor window. The two interface
// references and the COM flag are only meaningful inside one SendCameraEvent
// call; between calls only the friendly name is.
struct MonitorContext
{
    IBaseFilter *filter;
    IKsPropertySet *propertySet;
    uint32_t comInitialised;            // 1 while this open owns a CoInitialize
    char friendlyName[TextBufferSize];  // ANSI, NUL-terminated
};

// Writes "ZN374-Quit Message" into buffer (at least TextBufferSize bytes).
// The text is put together from its stored pieces at every use; registering it
// always yields the same message identifier.
void BuildQuitMessageName(char *buffer);
