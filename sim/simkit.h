// sim/simkit.h -- test-support API for the simulated XP machine (Win32 only).
#pragma once
#include <windows.h>
#include <stdint.h>

// ---- Stand-in camera driver (DirectShow capture filter, video input category)
enum SimCameraFlags
{
    SimCameraRejectSet = 1,       // IKsPropertySet::Set returns a failure HRESULT
    SimCameraNoPropertySet = 2,   // the filter refuses IKsPropertySet
    SimCameraNoFriendlyName = 4   // the device's property bag has no FriendlyName value
};
int SimRemoveAllCameras(void);                                   // 1 ok / 0 failed
int SimAddCamera(const char *friendlyName, unsigned flags);      // ANSI (CP_ACP) name; enumerated after earlier ones
int SimAddCameraW(const wchar_t *friendlyName, unsigned flags);  // any UTF-16 name

struct SimDriverRequest
{
    int deviceIndex;              // which added camera got it (0 = first added)
    GUID set;                     // property set
    unsigned long id;             // property ID
    unsigned long instanceSize;   // bytes of instance data
    unsigned long dataSize;       // bytes of property data
    int sameBuffer;               // instance and data pointers were equal
    uint32_t words[9];            // the property data, as nine 32-bit words
    HRESULT result;               // what Set returned
};
int SimReadDriverLog(SimDriverRequest *requests, int max);   // returns how many are logged (may exceed max)
int SimClearDriverLog(void);
long SimLiveFilterObjects(void);  // stand-in filter objects alive in this process now
long SimLiveFilterObjectsOf(DWORD processId);  // the same in any process (0: the stand-in is not loaded there)

// ---- Stand-in power policy (powrprof.dll)
int SimSetCriticalLevel(unsigned percent);   // DischargePolicy[DISCHARGE_POLICY_CRITICAL].BatteryLevel
int SimSetPowerPoliciesFail(int fail);       // non-zero: GetCurrentPowerPolicies returns FALSE

// ---- Battery (Wine reads /sys/class/power_supply at every GetSystemPowerStatus)
int SimBatteryAvailable(void);               // 0 when not inside the private namespace
int SimSetBattery(int acLineStatus, int percent);
    // acLineStatus: 0 offline, 1 online, 255 unknown; percent 0..100, or 255 = unknown/no battery.
    // After it returns, GetSystemPowerStatus reports exactly these two bytes.
