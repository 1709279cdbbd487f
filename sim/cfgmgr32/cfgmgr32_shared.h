// Names the stand-in configuration manager and the device-tree builder agree on.
#pragma once

// Where Windows keeps the device tree: one key per device instance under
// Enum\<enumerator>\<device>\<instance>, the driver (software) key under
// Control\Class\<value of the instance's Driver>.
#define SIM_ENUM_KEY "System\\CurrentControlSet\\Enum"
#define SIM_CLASS_KEY "System\\CurrentControlSet\\Control\\Class"

// A device instance is plugged in when its key has this subkey (Windows keeps
// it, volatile, for the devices of the running tree); its driver is loaded
// when that subkey holds the service value.
#define SIM_PRESENT_SUBKEY "Control"
#define SIM_ACTIVE_SERVICE_VALUE "ActiveService"

// Every device the kit adds is listed here (a value per instance ID), so that
// any process can take them all away again.
#define SIM_DEVTREE_KEY "Software\\ZN374Sim\\DeviceTree"

// How many of the next CM_Get_Device_ID_ListA calls, in any process, find
// that a USB device arrived since their caller asked for the list's size
// (REG_DWORD; counted down as devices arrive).
#define SIM_ARRIVALS_KEY "Software\\ZN374Sim\\Arrivals"
#define SIM_ARRIVALS_VALUE "DuringIdList"

// Extra exports of the stand-in: how often each CM_* call ran in this
// process, and a reset.
//   LONG WINAPI SimCfgMgrCallCount(const char *functionName);
//   void WINAPI SimCfgMgrResetCallCounts(void);
#define SIM_CFGMGR_DLL_NAME "cfgmgr32.dll"
#define SIM_CFGMGR_CALL_COUNT_EXPORT "SimCfgMgrCallCount"
#define SIM_CFGMGR_RESET_COUNTS_EXPORT "SimCfgMgrResetCallCounts"
