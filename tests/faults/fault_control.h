// What the fault-injection test and the probe DLL it loads into a monitor
// process share: the failable calls, the failures each can be given, and the
// control block in a named mapping per process (the test writes the phase and
// the fault; the probe writes the calls it saw and what the process held when
// it ended).
#pragma once

#include <windows.h>

// Every function the monitor and the status report import that can fail,
// the COM methods they call on the objects they receive, and the calls
// traced only.
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
    FaultQueryInterface,
    FaultPropertySetSet,
    // The status report's own
    FaultOpenProcessToken, FaultGetTokenInformation, FaultLookupAccountSidA, FaultCM_Get_Device_IDA,
    FaultCreateToolhelp32Snapshot, FaultProcess32First, FaultProcess32Next, FaultOpenProcess,
    FaultGetModuleFileNameExA, FaultExpandEnvironmentStringsA, FaultGetFileAttributesA, FaultGetLongPathNameA,
    FaultSearchPathA, FaultGetFileVersionInfoSizeA, FaultGetFileVersionInfoA, FaultVerQueryValueA,
    FaultGetProcAddress, FaultCalloc, FaultRealloc,
    FaultCoUninitialize,
    FaultFunctionCount
};

struct FaultFunctionInfo
{
    const char *name;       // the import's name, or Interface::Method
    const char *failure[3]; // each class of failure, as the platform documents it; NULL after the last
};

// The first class is the plain failure; the others, where there are any, the
// end of a list, a partial failure or another documented answer the caller
// must cope with. A function without any is traced, never failed.
static const FaultFunctionInfo FaultFunctions[FaultFunctionCount] = {
    {"RegOpenKeyExA", {"ERROR_ACCESS_DENIED"}},
    {"RegQueryValueExA", {"ERROR_FILE_NOT_FOUND", "ERROR_MORE_DATA", "ERROR_ACCESS_DENIED"}},
    {"RegSetValueExA", {"ERROR_ACCESS_DENIED"}},
    {"RegDeleteValueA", {"ERROR_ACCESS_DENIED"}},
    {"CM_Get_DevNode_Registry_PropertyA", {"CR_NO_SUCH_VALUE", "CR_BUFFER_SMALL"}},
    {"CM_Get_DevNode_Status", {"CR_NO_SUCH_DEVINST"}},
    {"CM_Get_Device_ID_ListA", {"CR_REGISTRY_ERROR", "CR_BUFFER_SMALL"}},
    {"CM_Get_Device_ID_List_SizeA", {"CR_REGISTRY_ERROR"}},
    {"CM_Locate_DevNodeA", {"CR_NO_SUCH_DEVNODE"}},
    {"CM_Open_DevNode_Key", {"CR_NO_SUCH_REGISTRY_KEY", "CR_REGISTRY_ERROR"}},
    {"GetFullPathNameA", {"0, ERROR_FILENAME_EXCED_RANGE", "size needed"}},
    {"GetModuleFileNameA", {"0, ERROR_NOT_ENOUGH_MEMORY", "cut short, ERROR_INSUFFICIENT_BUFFER"}},
    {"GetSystemPowerStatus", {"FALSE, ERROR_GEN_FAILURE"}},
    {"GetVersionExA", {"FALSE, ERROR_INSUFFICIENT_BUFFER"}},
    {"GetWindowsDirectoryA", {"0, ERROR_NOT_ENOUGH_MEMORY", "size needed"}},
    {"WideCharToMultiByte", {"0, ERROR_INSUFFICIENT_BUFFER, partial copy"}},
    {"malloc", {"NULL, ENOMEM"}},
    {"CoCreateInstance", {"REGDB_E_CLASSNOTREG"}},
    {"CoInitialize", {"E_OUTOFMEMORY", "RPC_E_CHANGED_MODE", "S_FALSE, already initialised"}},
    {"GetCurrentPowerPolicies", {"FALSE, ERROR_ACCESS_DENIED"}},
    {"SetupDiEnumDeviceInfo", {"FALSE, ERROR_NO_MORE_ITEMS", "FALSE, ERROR_NOT_ENOUGH_MEMORY"}},
    {"SetupDiGetClassDevsA", {"INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY"}},
    {"BroadcastSystemMessageA", {"-1, ERROR_NOT_ENOUGH_MEMORY"}},
    {"CreateDialogParamA", {"NULL, ERROR_NOT_ENOUGH_MEMORY"}},
    {"GetMessageA", {"-1, ERROR_INVALID_PARAMETER"}},
    {"KillTimer", {"FALSE, ERROR_INVALID_PARAMETER"}},
    {"RegisterWindowMessageA", {"0, ERROR_NOT_ENOUGH_MEMORY"}},
    {"SetTimer", {"0, ERROR_NOT_ENOUGH_MEMORY"}},
    {"ICreateDevEnum::CreateClassEnumerator", {"E_OUTOFMEMORY", "S_FALSE, no enumerator"}},
    {"IEnumMoniker::Next", {"S_FALSE, fewer than asked", "E_OUTOFMEMORY"}},
    {"IMoniker::BindToStorage", {"E_OUTOFMEMORY"}},
    {"IPropertyBag::Read", {"E_FAIL"}},
    {"IMoniker::BindToObject", {"MK_E_NOOBJECT"}},
    {"IUnknown::QueryInterface", {"E_NOINTERFACE"}},
    {"IKsPropertySet::Set", {"E_PROP_ID_UNSUPPORTED"}},
    {"OpenProcessToken", {"FALSE, ERROR_ACCESS_DENIED"}},
    {"GetTokenInformation", {"FALSE, ERROR_ACCESS_DENIED"}},
    {"LookupAccountSidA", {"FALSE, ERROR_NONE_MAPPED"}},
    {"CM_Get_Device_IDA", {"CR_INVALID_DEVNODE"}},
    {"CreateToolhelp32Snapshot", {"INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY"}},
    {"Process32First", {"FALSE, ERROR_NO_MORE_FILES"}},
    {"Process32Next", {"FALSE, ERROR_NO_MORE_FILES"}},
    {"OpenProcess", {"NULL, ERROR_ACCESS_DENIED"}},
    {"GetModuleFileNameExA", {"0, ERROR_ACCESS_DENIED"}},
    {"ExpandEnvironmentStringsA", {"0, ERROR_NOT_ENOUGH_MEMORY", "size needed"}},
    {"GetFileAttributesA", {"INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED", "INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND"}},
    {"GetLongPathNameA", {"0, ERROR_ACCESS_DENIED", "size needed"}},
    {"SearchPathA", {"0, ERROR_FILE_NOT_FOUND", "size needed"}},
    {"GetFileVersionInfoSizeA", {"0, ERROR_RESOURCE_TYPE_NOT_FOUND"}},
    {"GetFileVersionInfoA", {"FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND"}},
    {"VerQueryValueA", {"FALSE, no such value"}},
    {"GetProcAddress", {"NULL, ERROR_PROC_NOT_FOUND"}},
    {"calloc", {"NULL, ENOMEM"}},
    {"realloc", {"NULL, ENOMEM, the block kept"}},
    {"CoUninitialize", {}},
};

inline int FailureClasses(int function)
{
    int count = 0;
    while (count < 3 && FaultFunctions[function].failure[count])
        count++;
    return count;
}

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
    LONG result;    // CoInitialize's answer; 0 otherwise
};

// One failure of a run: the callth call of function in this process (1 = the
// first), given failure class variant (1 to 3).
struct FaultPlan
{
    LONG function;
    LONG call;
    LONG variant;
    LONG fired;      // written by the probe, with where, when and the code given
    LONG firedPhase;
    DWORD firedSite;
    DWORD code;      // GetLastError's, or the result: HRESULT, CONFIGRET, registry error
};

// What a process acquires and must release exactly once, each tracked by its
// handle or address.
enum HeldKind { HeldKeys, HeldDeviceLists, HeldHeapBlocks, HeldStrings, HeldReferences, HeldHandles, HeldKindCount };

enum { FaultCallCapacity = 1024, FaultChainCapacity = 4 };

struct FaultControl
{
    // Written by the test: the phase, and the failures in the order the calls come.
    volatile LONG phase;
    LONG faultCount;
    FaultPlan faults[FaultChainCapacity];

    // Written by the probe.
    LONG callCount;      // may exceed FaultCallCapacity; only that many are kept
    FaultCall calls[FaultCallCapacity];
    volatile LONG timerPeriod;  // of timer 101 as last armed; 0 before and after
    LONG ended;          // ExitProcess was reached; what follows is as of then
    LONG endPhase;
    LONG crashed;        // an unhandled exception ended the process
    DWORD crashCode;
    DWORD crashSite;     // relative to the executable's image when inside it
    LONG left[HeldKindCount];      // acquired and not released
    LONG unheld[HeldKindCount];    // released without being held: twice, or never acquired
    LONG liveFilters;    // the stand-in camera's filter objects alive
    LONG unterminatedPaths;  // paths handed to GetFullPathNameA with no terminator within MAX_PATH
    char imports[2048];      // the names the executable imports, separated by spaces
};

#define FAULT_CONTROL_MAPPING_FORMAT "ZN374FaultControl.%lu"
#define FAULT_PROBE_DLL_NAME "zn374faultprobe.dll"
