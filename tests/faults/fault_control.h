// What the fault-injection test and the probe DLL it loads into a monitor
// process share: the failable calls, the failures each can be given, and the
// control block in a named mapping per process (the test writes the phase and
// the fault; the probe writes the calls it saw and what the process held when
// it ended).
#pragma once

#include <windows.h>

// Every function the monitor imports that can fail, and the COM methods it
// calls on the objects it receives.
enum FaultFunction
{
    FaultRegOpenKeyExA,
    FaultRegQueryValueExA,
    FaultRegSetValueExA,
    FaultRegDeleteValueA,
    FaultCM_Get_DevNode_Registry_PropertyA,
    FaultCM_Get_DevNode_Status,
    FaultCM_Get_Device_ID_ListA,
    FaultCM_Get_Device_ID_List_SizeA,
    FaultCM_Locate_DevNodeA,
    FaultCM_Open_DevNode_Key,
    FaultGetFullPathNameA,
    FaultGetModuleFileNameA,
    FaultGetSystemPowerStatus,
    FaultGetVersionExA,
    FaultGetWindowsDirectoryA,
    FaultWideCharToMultiByte,
    FaultMalloc,
    FaultCoCreateInstance,
    FaultCoInitialize,
    FaultGetCurrentPowerPolicies,
    FaultSetupDiEnumDeviceInfo,
    FaultSetupDiGetClassDevsA,
    FaultBroadcastSystemMessageA,
    FaultCreateDialogParamA,
    FaultGetMessageA,
    FaultKillTimer,
    FaultRegisterWindowMessageA,
    FaultSetTimer,
    FaultCreateClassEnumerator,
    FaultEnumMonikerNext,
    FaultBindToStorage,
    FaultPropertyBagRead,
    FaultBindToObject,
    FaultFilterQueryInterface,
    FaultPropertySetSet,
    FaultFunctionCount
};

struct FaultFunctionInfo
{
    const char *name;       // the import's name, or Interface::Method
    int variants;           // failures tried at each call: 1 or 2
    const char *failure[2]; // what each one returns, as the platform documents it
};

// Variant 1 is the plain failure; variant 2, where there is one, the partial
// failure or the other documented result the caller must cope with.
static const FaultFunctionInfo FaultFunctions[FaultFunctionCount] = {
    {"RegOpenKeyExA", 1, {"ERROR_ACCESS_DENIED"}},
    {"RegQueryValueExA", 2, {"ERROR_FILE_NOT_FOUND", "ERROR_MORE_DATA"}},
    {"RegSetValueExA", 1, {"ERROR_ACCESS_DENIED"}},
    {"RegDeleteValueA", 1, {"ERROR_ACCESS_DENIED"}},
    {"CM_Get_DevNode_Registry_PropertyA", 2, {"CR_NO_SUCH_VALUE", "CR_BUFFER_SMALL"}},
    {"CM_Get_DevNode_Status", 1, {"CR_NO_SUCH_DEVINST"}},
    {"CM_Get_Device_ID_ListA", 2, {"CR_REGISTRY_ERROR", "CR_BUFFER_SMALL"}},
    {"CM_Get_Device_ID_List_SizeA", 1, {"CR_REGISTRY_ERROR"}},
    {"CM_Locate_DevNodeA", 1, {"CR_NO_SUCH_DEVNODE"}},
    {"CM_Open_DevNode_Key", 2, {"CR_NO_SUCH_REGISTRY_KEY", "CR_REGISTRY_ERROR"}},
    {"GetFullPathNameA", 2, {"0, ERROR_FILENAME_EXCED_RANGE", "size needed"}},
    {"GetModuleFileNameA", 2, {"0, ERROR_NOT_ENOUGH_MEMORY", "cut short, ERROR_INSUFFICIENT_BUFFER"}},
    {"GetSystemPowerStatus", 1, {"FALSE, ERROR_GEN_FAILURE"}},
    {"GetVersionExA", 1, {"FALSE, ERROR_INSUFFICIENT_BUFFER"}},
    {"GetWindowsDirectoryA", 2, {"0, ERROR_NOT_ENOUGH_MEMORY", "size needed"}},
    {"WideCharToMultiByte", 1, {"0, ERROR_INSUFFICIENT_BUFFER, partial copy"}},
    {"malloc", 1, {"NULL, ENOMEM"}},
    {"CoCreateInstance", 1, {"REGDB_E_CLASSNOTREG"}},
    {"CoInitialize", 2, {"E_OUTOFMEMORY", "RPC_E_CHANGED_MODE"}},
    {"GetCurrentPowerPolicies", 1, {"FALSE, ERROR_ACCESS_DENIED"}},
    {"SetupDiEnumDeviceInfo", 1, {"FALSE, ERROR_NO_MORE_ITEMS"}},
    {"SetupDiGetClassDevsA", 1, {"INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY"}},
    {"BroadcastSystemMessageA", 1, {"-1, ERROR_NOT_ENOUGH_MEMORY"}},
    {"CreateDialogParamA", 1, {"NULL, ERROR_NOT_ENOUGH_MEMORY"}},
    {"GetMessageA", 1, {"-1, ERROR_INVALID_PARAMETER"}},
    {"KillTimer", 1, {"FALSE, ERROR_INVALID_PARAMETER"}},
    {"RegisterWindowMessageA", 1, {"0, ERROR_NOT_ENOUGH_MEMORY"}},
    {"SetTimer", 1, {"0, ERROR_NOT_ENOUGH_MEMORY"}},
    {"ICreateDevEnum::CreateClassEnumerator", 2, {"E_OUTOFMEMORY", "S_FALSE, no enumerator"}},
    {"IEnumMoniker::Next", 1, {"S_FALSE, fewer than asked"}},
    {"IMoniker::BindToStorage", 1, {"E_OUTOFMEMORY"}},
    {"IPropertyBag::Read", 1, {"E_FAIL"}},
    {"IMoniker::BindToObject", 1, {"MK_E_NOOBJECT"}},
    {"IBaseFilter::QueryInterface", 1, {"E_NOINTERFACE"}},
    {"IKsPropertySet::Set", 1, {"E_PROP_ID_UNSUPPORTED"}},
};

// The scenario's steps; the test moves the phase on before each one.
enum FaultPhase
{
    PhaseStart = 0,       // start-up, until the window exists or the process ends
    PhaseSuspend = 1,     // WM_POWERBROADCAST, PBT_APMSUSPEND
    PhaseSessionEnd = 2,  // WM_ENDSESSION
    PhaseEngage = 3,      // a battery tick that engages the critical band
    PhaseLeave = 4,       // a battery tick that leaves it
    PhaseQuit = 5,        // the /u run and the monitor's end
    PhaseCount = 6
};

struct FaultCall
{
    LONG function;  // FaultFunction
    LONG phase;     // FaultPhase when it was called
    DWORD site;     // return address, relative to the executable's image
};

enum { FaultCallCapacity = 1024 };

struct FaultControl
{
    // Written by the test.
    volatile LONG phase;
    LONG faultFunction;  // FaultFunctionCount: none
    LONG faultCall;      // 1 = the first call of that function in this process
    LONG faultVariant;   // 1 or 2

    // Written by the probe.
    LONG fired;          // the fault was injected
    LONG firedPhase;
    LONG callCount;      // may exceed FaultCallCapacity; only that many are kept
    FaultCall calls[FaultCallCapacity];

    LONG ended;          // ExitProcess was reached; what follows is as of then
    LONG endPhase;
    LONG crashed;        // an unhandled exception ended the process
    DWORD crashCode;
    DWORD crashSite;     // relative to the executable's image when inside it
    LONG openKeys;       // registry keys opened (RegOpenKeyExA, CM_Open_DevNode_Key) and not closed
    LONG deviceLists;    // device information lists not destroyed
    LONG heapBlocks;     // malloc blocks not freed
    LONG comReferences;  // interface references received and not released
    LONG strings;        // BSTRs read from a property bag and not cleared
    LONG liveFilters;    // the stand-in camera's filter objects alive
    LONG comOwned;       // CoInitialize calls that answered S_OK
    LONG comUninitialised;  // CoUninitialize calls
    LONG failedOpensHolding;  // opens that failed after an S_OK CoInitialize
    LONG uninitialisedByFailedOpen;  // CoUninitialize before an open reached Set
    LONG unterminatedPaths;  // paths handed to GetFullPathNameA with no terminator within MAX_PATH
};

#define FAULT_CONTROL_MAPPING_FORMAT "ZN374FaultControl.%lu"
#define FAULT_PROBE_DLL_NAME "zn374faultprobe.dll"
