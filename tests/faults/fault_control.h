// What the fault-injection test and the probe DLL it loads into a monitor or
// status report process share: the failable calls, the failures each can be
// given, and the control block in a named mapping per process (the test
// writes the phase and the failures; the probe writes the calls it saw and
// what the process held when it ended).
#pragma once

#include <windows.h>

// Every function the monitor and the status report import that can fail,
// the COM methods they call on the objects they receive, and the calls
// traced only: X(identifier, the import's name or Interface::Method, each
// class of failure as the platform documents it). The first class is the
// plain failure; the others, where there are any, the end of a list, a
// partial failure or another documented answer the caller must cope with. A
// function without any is traced, never failed.
#define FAULT_FUNCTIONS(X) \
    X(RegOpenKeyExA, "RegOpenKeyExA", "ERROR_ACCESS_DENIED") \
    X(RegQueryValueExA, "RegQueryValueExA", "ERROR_FILE_NOT_FOUND", "ERROR_MORE_DATA", "ERROR_ACCESS_DENIED") \
    X(RegSetValueExA, "RegSetValueExA", "ERROR_ACCESS_DENIED") \
    X(RegDeleteValueA, "RegDeleteValueA", "ERROR_ACCESS_DENIED") \
    X(CM_Get_DevNode_Registry_PropertyA, "CM_Get_DevNode_Registry_PropertyA", "CR_NO_SUCH_VALUE", "CR_BUFFER_SMALL") \
    X(CM_Get_DevNode_Status, "CM_Get_DevNode_Status", "CR_NO_SUCH_DEVINST") \
    X(CM_Get_Device_ID_ListA, "CM_Get_Device_ID_ListA", "CR_REGISTRY_ERROR", "CR_BUFFER_SMALL") \
    X(CM_Get_Device_ID_List_SizeA, "CM_Get_Device_ID_List_SizeA", "CR_REGISTRY_ERROR") \
    X(CM_Locate_DevNodeA, "CM_Locate_DevNodeA", "CR_NO_SUCH_DEVNODE") \
    X(CM_Open_DevNode_Key, "CM_Open_DevNode_Key", "CR_NO_SUCH_REGISTRY_KEY", "CR_REGISTRY_ERROR") \
    X(GetFullPathNameA, "GetFullPathNameA", "0, ERROR_FILENAME_EXCED_RANGE", "size needed") \
    X(GetModuleFileNameA, "GetModuleFileNameA", "0, ERROR_NOT_ENOUGH_MEMORY", "cut short, ERROR_INSUFFICIENT_BUFFER") \
    X(GetSystemPowerStatus, "GetSystemPowerStatus", "FALSE, ERROR_GEN_FAILURE") \
    X(GetVersionExA, "GetVersionExA", "FALSE, ERROR_INSUFFICIENT_BUFFER") \
    X(GetWindowsDirectoryA, "GetWindowsDirectoryA", "0, ERROR_NOT_ENOUGH_MEMORY", "size needed") \
    X(WideCharToMultiByte, "WideCharToMultiByte", "0, ERROR_INSUFFICIENT_BUFFER, partial copy") \
    X(Malloc, "malloc", "NULL, ENOMEM") \
    X(CoCreateInstance, "CoCreateInstance", "REGDB_E_CLASSNOTREG") \
    X(CoInitialize, "CoInitialize", "E_OUTOFMEMORY", "RPC_E_CHANGED_MODE", "S_FALSE, already initialised") \
    X(GetCurrentPowerPolicies, "GetCurrentPowerPolicies", "FALSE, ERROR_ACCESS_DENIED") \
    X(SetupDiEnumDeviceInfo, "SetupDiEnumDeviceInfo", "FALSE, ERROR_NO_MORE_ITEMS", "FALSE, ERROR_NOT_ENOUGH_MEMORY") \
    X(SetupDiGetClassDevsA, "SetupDiGetClassDevsA", "INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY") \
    X(BroadcastSystemMessageA, "BroadcastSystemMessageA", "-1, ERROR_NOT_ENOUGH_MEMORY") \
    X(CreateDialogParamA, "CreateDialogParamA", "NULL, ERROR_NOT_ENOUGH_MEMORY") \
    X(GetMessageA, "GetMessageA", "-1, ERROR_INVALID_PARAMETER") \
    X(KillTimer, "KillTimer", "FALSE, ERROR_INVALID_PARAMETER") \
    X(RegisterWindowMessageA, "RegisterWindowMessageA", "0, ERROR_NOT_ENOUGH_MEMORY") \
    X(SetTimer, "SetTimer", "0, ERROR_NOT_ENOUGH_MEMORY") \
    X(CreateClassEnumerator, "ICreateDevEnum::CreateClassEnumerator", "E_OUTOFMEMORY", "S_FALSE, no enumerator") \
    X(EnumMonikerNext, "IEnumMoniker::Next", "S_FALSE, fewer than asked", "E_OUTOFMEMORY") \
    X(BindToStorage, "IMoniker::BindToStorage", "E_OUTOFMEMORY") \
    X(PropertyBagRead, "IPropertyBag::Read", "E_FAIL") \
    X(BindToObject, "IMoniker::BindToObject", "MK_E_NOOBJECT") \
    X(QueryInterface, "IUnknown::QueryInterface", "E_NOINTERFACE") \
    X(PropertySetSet, "IKsPropertySet::Set", "E_PROP_ID_UNSUPPORTED") \
    /* the status report's own */ \
    X(OpenProcessToken, "OpenProcessToken", "FALSE, ERROR_ACCESS_DENIED") \
    X(GetTokenInformation, "GetTokenInformation", "FALSE, ERROR_ACCESS_DENIED") \
    X(LookupAccountSidA, "LookupAccountSidA", "FALSE, ERROR_NONE_MAPPED") \
    X(CM_Get_Device_IDA, "CM_Get_Device_IDA", "CR_INVALID_DEVNODE") \
    X(CreateToolhelp32Snapshot, "CreateToolhelp32Snapshot", "INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY") \
    X(Process32First, "Process32First", "FALSE, ERROR_NO_MORE_FILES") \
    X(Process32Next, "Process32Next", "FALSE, ERROR_NO_MORE_FILES") \
    X(OpenProcess, "OpenProcess", "NULL, ERROR_ACCESS_DENIED") \
    X(GetModuleFileNameExA, "GetModuleFileNameExA", "0, ERROR_ACCESS_DENIED") \
    X(ExpandEnvironmentStringsA, "ExpandEnvironmentStringsA", "0, ERROR_NOT_ENOUGH_MEMORY", "size needed") \
    X(GetFileAttributesA, "GetFileAttributesA", "INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED", \
      "INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND") \
    X(GetLongPathNameA, "GetLongPathNameA", "0, ERROR_ACCESS_DENIED", "size needed") \
    X(SearchPathA, "SearchPathA", "0, ERROR_FILE_NOT_FOUND", "size needed") \
    X(GetFileVersionInfoSizeA, "GetFileVersionInfoSizeA", "0, ERROR_RESOURCE_TYPE_NOT_FOUND") \
    X(GetFileVersionInfoA, "GetFileVersionInfoA", "FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND") \
    X(VerQueryValueA, "VerQueryValueA", "FALSE, no such value") \
    X(GetProcAddress, "GetProcAddress", "NULL, ERROR_PROC_NOT_FOUND") \
    X(Calloc, "calloc", "NULL, ENOMEM") \
    X(Realloc, "realloc", "NULL, ENOMEM, the block kept") \
    X(CreateFileA, "CreateFileA", "INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED", \
      "INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND") \
    X(GetFileInformationByHandle, "GetFileInformationByHandle", "FALSE, ERROR_ACCESS_DENIED") \
    X(EnumProcessModules, "EnumProcessModules", "FALSE, ERROR_PARTIAL_COPY") \
    X(GetMappedFileNameA, "GetMappedFileNameA", "0, ERROR_ACCESS_DENIED") \
    /* the package's custom actions' own */ \
    X(MsiGetPropertyA, "MsiGetPropertyA", "ERROR_MORE_DATA, cut short", "ERROR_SUCCESS, empty: not set") \
    X(MsiSetPropertyA, "MsiSetPropertyA", "ERROR_FUNCTION_FAILED") \
    X(MsiCreateRecord, "MsiCreateRecord", "0") \
    X(RegCreateKeyExA, "RegCreateKeyExA", "ERROR_ACCESS_DENIED") \
    X(CreateProcessA, "CreateProcessA", "FALSE, ERROR_FILE_NOT_FOUND") \
    X(TerminateProcess, "TerminateProcess", "FALSE, ERROR_ACCESS_DENIED", "TRUE, the process does not end") \
    X(OpenThreadToken, "OpenThreadToken", "FALSE, ERROR_ACCESS_DENIED") \
    X(CoUninitialize, "CoUninitialize")

#define FAULT_ENUM(identifier, ...) Fault##identifier,
enum FaultFunction { FAULT_FUNCTIONS(FAULT_ENUM) FaultFunctionCount };

struct FaultFunctionInfo
{
    const char *name;
    const char *failure[3];  // NULL after the last
};

#define FAULT_INFO(identifier, name, ...) {name, {__VA_ARGS__}},
static const FaultFunctionInfo FaultFunctions[FaultFunctionCount] = {FAULT_FUNCTIONS(FAULT_INFO)};

inline int FailureClasses(int function)
{
    const char *const *failure = FaultFunctions[function].failure;
    return !failure[0] ? 0 : !failure[1] ? 1 : !failure[2] ? 2 : 3;
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
enum HeldKind
{
    HeldKeys, HeldDeviceLists, HeldHeapBlocks, HeldStrings, HeldReferences, HeldHandles, HeldInstallerHandles,
    HeldKindCount
};

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

    // Written by the test for a custom action's run: the DLL and its entry
    // point, the one process its snapshots show (0: all), and the session,
    // "\nname=value" for each property, to which the probe appends what the
    // action sets and logs, a line each.
    char image[MAX_PATH];
    char action[32];
    DWORD shown;
    char session[2048];
};

#define FAULT_CONTROL_MAPPING_FORMAT "ZN374FaultControl.%lu"
#define FAULT_PROBE_DLL "zn374faultprobe.dll"
// Set when the action waits for a process: a stand-in monitor that can end ends then.
#define FAULT_QUIT_EVENT "ZN374Actions.Quit"
// Set by a stand-in process once it runs and holds what it holds.
#define FAULT_READY_EVENT "ZN374Actions.Ready"
