// sim/sim_shared.h -- names the stand-in DLLs and the simulation kit agree on.
#pragma once

// The stand-in camera driver's filter: an in-process COM server installed
// into the prefix's system32 by in-sim.sh.
#define SIM_CAMERA_DLL_NAME "zn374simcam.dll"
#define SIM_CAMERA_CLSID_TEXT "{F218CA7A-3D39-4989-8649-061BE4189867}"
#define SIM_CAMERA_LIVE_OBJECTS_EXPORT "SimCamLiveObjects"
// The stand-in's live filter count in a process, readable from any other one:
// a LONG in the named mapping of this format (%lu: the process id).
#define SIM_CAMERA_LIVE_MAPPING_FORMAT "ZN374SimLiveFilters.%lu"

// Values the kit writes into each device's property bag (the instance key in
// the video input category) besides the standard CLSID and FriendlyName.
#define SIM_CAMERA_INDEX_VALUE L"SimDeviceIndex"
#define SIM_CAMERA_FLAGS_VALUE L"SimDeviceFlags"

// One text line per IKsPropertySet::Set, from every process on the machine:
//   device=0 set={...} id=0x807 instance=36 data=36 same=1 words=0,0,0,0,0,0,0,4,0 result=0x00000000
#define SIM_DRIVER_LOG_DIR "C:\\zn374sim"
#define SIM_DRIVER_LOG_PATH "C:\\zn374sim\\driver.log"

// The stand-in power policy's settings (HKEY_CURRENT_USER).
#define SIM_POWER_KEY "Software\\ZN374Sim\\Power"
#define SIM_POWER_CRITICAL_VALUE "CriticalBatteryLevel"
#define SIM_POWER_FAIL_VALUE "FailPowerPolicies"
#define SIM_POWER_DEFAULT_CRITICAL 5
