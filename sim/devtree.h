// sim/devtree.h -- builds the simulated machine's device tree (Win32 only):
// device instances with their hardware IDs, presence, driver state and
// driver (software) key values, as the stand-in cfgmgr32.dll and Wine's
// setupapi read them; thousands take a moment. Everything added is remembered
// machine-wide, so that SimRemoveAllDevices in any process takes it away again.
#pragma once
#include <windows.h>

enum SimDeviceFlags
{
    SimDeviceImaging = 1,        // setup class Imaging; otherwise the USB class
    SimDevicePresent = 2,        // plugged in now (not only installed once)
    SimDeviceDriverLoaded = 4,   // with SimDevicePresent: its driver is running
    SimDeviceNoDriverKey = 8     // no software key and no Driver value at all
};

struct SimDevice
{
    const char *instanceId;      // "USB\\VID_05CA&PID_1814&MI_00\\6&1A2B&0&0000"
    const char *hardwareIds;     // the HardwareID value's bytes as stored (a
                                 // multi-string, or anything else); NULL: no value
    DWORD hardwareIdsSize;       // their count, closing empty string included
    unsigned flags;              // SimDeviceFlags
};

int SimAddDevice(const SimDevice *device);   // 1 ok / 0 failed (e.g. the ID exists)
int SimAddDevices(const SimDevice *devices, int count);  // in one step; stops at a failure
int SimRemoveAllDevices(void);               // every device the kit added, from any process,
                                             // and the arrivals still scheduled

// The next count calls of CM_Get_Device_ID_ListA, in any process, each meet a
// USB device that arrived after their caller asked for the list's size, as
// one plugged in at that moment would: the list grows by that device.
int SimScheduleArrivals(DWORD count);

// Values in a device's driver key (it must have one).
int SimSetDriverValue(const char *instanceId, const char *name, DWORD type, const void *data,
                      DWORD size);
int SimSetDriverDword(const char *instanceId, const char *name, DWORD value);
int SimSetDriverString(const char *instanceId, const char *name, const char *text);  // REG_SZ, terminated
int SimDeleteDriverValue(const char *instanceId, const char *name);

// A supported camera as its driver package installs it: Imaging class,
// plugged in, driver running (unless flags say otherwise), FriendlyName and
// DriverDesc = friendlyName, and SelectiveSuspend = selectiveSuspend as a
// DWORD (negative: no such value). Each call adds another instance of the
// first supported camera.
int SimAddSupportedCamera(const char *friendlyName, long selectiveSuspend,
                          unsigned flags = SimDeviceImaging | SimDevicePresent |
                                           SimDeviceDriverLoaded);

// How often the stand-in's CM_* function of that name ran in this process;
// -1 when the stand-in is not loaded here.
long SimCfgMgrCalls(const char *functionName);
int SimResetCfgMgrCalls(void);
