// What the fault-injection test and the probe DLL it loads into a monitor or
// status report process share: the failable calls, the failures each can be
// given, and the control block in a named mapping per process (the test
// writes the phase and the failures; the probe writes the calls it saw and
// what the process held when it ended).
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <errno.h>
#include <vfwmsgs.h>

// A class of failure, as the platform documents it: the call's result and
// the code a caller can show, which is the result itself (RETURNS), set for
// GetLastError (SETS) or for errno (NO_MEMORY). ANSWERS is a result the probe
// makes from the call's arguments (a size needed, a path cut short), with the
// error it sets, 0 for none. A hook may do more (fill an output it does not
// promise to write); the result and the code are these.
enum FaultCodeKind { CodeReturned, CodeInLastError, CodeInErrno };

struct FaultClass
{
    const char *text;
    LONG_PTR result;
    DWORD code;
    FaultCodeKind kind;
};

#define RETURNS(code) {#code, (LONG_PTR)(code), (DWORD)(code), CodeReturned}
#define SETS(result, error) {#result ", " #error, (LONG_PTR)(result), error, CodeInLastError}
#define NO_MEMORY {"NULL, ENOMEM", 0, ENOMEM, CodeInErrno}
#define ANSWERS(text, error) {text, 0, error, CodeInLastError}

// Every function the monitor and the status report import that can fail,
// the COM methods they call on the objects they receive, and the calls the
// probe watches without failing them (the releases, the end): X(identifier,
// the import's name or Interface::Method, each class of failure). The
// identifier is the import's name, or the method's; the probe's hook for it
// is Hook<identifier>. The first class is the plain failure; the others,
// where there are any, the end of a list, a partial failure or another
// documented answer the caller must cope with.
#define FAULT_FUNCTIONS(X) \
    X(RegOpenKeyExA, "RegOpenKeyExA", RETURNS(ERROR_ACCESS_DENIED)) \
    X(RegQueryValueExA, "RegQueryValueExA", RETURNS(ERROR_FILE_NOT_FOUND), RETURNS(ERROR_MORE_DATA), \
      RETURNS(ERROR_ACCESS_DENIED)) \
    X(RegSetValueExA, "RegSetValueExA", RETURNS(ERROR_ACCESS_DENIED)) \
    X(RegDeleteValueA, "RegDeleteValueA", RETURNS(ERROR_ACCESS_DENIED)) \
    X(RegCloseKey, "RegCloseKey") \
    X(CM_Get_DevNode_Registry_PropertyA, "CM_Get_DevNode_Registry_PropertyA", RETURNS(CR_NO_SUCH_VALUE), \
      RETURNS(CR_BUFFER_SMALL), RETURNS(CR_REGISTRY_ERROR)) \
    X(CM_Get_DevNode_Status, "CM_Get_DevNode_Status", RETURNS(CR_NO_SUCH_DEVINST), RETURNS(CR_REGISTRY_ERROR)) \
    X(CM_Get_Device_ID_ListA, "CM_Get_Device_ID_ListA", RETURNS(CR_REGISTRY_ERROR), RETURNS(CR_BUFFER_SMALL)) \
    X(CM_Get_Device_ID_List_SizeA, "CM_Get_Device_ID_List_SizeA", RETURNS(CR_REGISTRY_ERROR)) \
    X(CM_Locate_DevNodeA, "CM_Locate_DevNodeA", RETURNS(CR_NO_SUCH_DEVNODE), RETURNS(CR_REGISTRY_ERROR)) \
    X(CM_Open_DevNode_Key, "CM_Open_DevNode_Key", RETURNS(CR_NO_SUCH_REGISTRY_KEY), RETURNS(CR_REGISTRY_ERROR)) \
    X(GetFullPathNameA, "GetFullPathNameA", SETS(0, ERROR_FILENAME_EXCED_RANGE), ANSWERS("size needed", 0)) \
    X(GetModuleFileNameA, "GetModuleFileNameA", SETS(0, ERROR_NOT_ENOUGH_MEMORY), \
      ANSWERS("cut short", ERROR_INSUFFICIENT_BUFFER)) \
    X(GetSystemPowerStatus, "GetSystemPowerStatus", SETS(FALSE, ERROR_GEN_FAILURE)) \
    X(GetVersionExA, "GetVersionExA", SETS(FALSE, ERROR_INSUFFICIENT_BUFFER)) \
    X(GetWindowsDirectoryA, "GetWindowsDirectoryA", SETS(0, ERROR_NOT_ENOUGH_MEMORY), ANSWERS("size needed", 0)) \
    X(WideCharToMultiByte, "WideCharToMultiByte", SETS(0, ERROR_INSUFFICIENT_BUFFER)) \
    X(malloc, "malloc", NO_MEMORY) \
    X(free, "free") \
    X(CoCreateInstance, "CoCreateInstance", RETURNS(REGDB_E_CLASSNOTREG)) \
    X(CoInitialize, "CoInitialize", RETURNS(E_OUTOFMEMORY), RETURNS(RPC_E_CHANGED_MODE), RETURNS(S_FALSE)) \
    X(CoUninitialize, "CoUninitialize") \
    X(VariantClear, "VariantClear") \
    X(GetCurrentPowerPolicies, "GetCurrentPowerPolicies", SETS(FALSE, ERROR_ACCESS_DENIED)) \
    X(SetupDiEnumDeviceInfo, "SetupDiEnumDeviceInfo", SETS(FALSE, ERROR_NO_MORE_ITEMS), \
      SETS(FALSE, ERROR_NOT_ENOUGH_MEMORY)) \
    X(SetupDiGetClassDevsA, "SetupDiGetClassDevsA", SETS(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY)) \
    X(SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList") \
    X(BroadcastSystemMessageA, "BroadcastSystemMessageA", SETS(-1, ERROR_NOT_ENOUGH_MEMORY)) \
    X(CreateDialogParamA, "CreateDialogParamA", SETS(NULL, ERROR_NOT_ENOUGH_MEMORY)) \
    X(GetMessageA, "GetMessageA", SETS(-1, ERROR_INVALID_PARAMETER)) \
    X(KillTimer, "KillTimer", SETS(FALSE, ERROR_INVALID_PARAMETER)) \
    X(RegisterWindowMessageA, "RegisterWindowMessageA", SETS(0, ERROR_NOT_ENOUGH_MEMORY)) \
    X(SetTimer, "SetTimer", SETS(0, ERROR_NOT_ENOUGH_MEMORY)) \
    X(ExitProcess, "ExitProcess") \
    X(CreateClassEnumerator, "ICreateDevEnum::CreateClassEnumerator", RETURNS(E_OUTOFMEMORY), RETURNS(S_FALSE)) \
    X(EnumMonikerNext, "IEnumMoniker::Next", RETURNS(S_FALSE), RETURNS(E_OUTOFMEMORY)) \
    X(BindToStorage, "IMoniker::BindToStorage", RETURNS(E_OUTOFMEMORY)) \
    X(PropertyBagRead, "IPropertyBag::Read", RETURNS(E_FAIL)) \
    X(BindToObject, "IMoniker::BindToObject", RETURNS(MK_E_NOOBJECT)) \
    X(QueryInterface, "IUnknown::QueryInterface", RETURNS(E_NOINTERFACE)) \
    X(PropertySetSet, "IKsPropertySet::Set", RETURNS(E_PROP_ID_UNSUPPORTED)) \
    /* the status report's own */ \
    X(OpenProcessToken, "OpenProcessToken", SETS(FALSE, ERROR_ACCESS_DENIED)) \
    X(GetTokenInformation, "GetTokenInformation", SETS(FALSE, ERROR_ACCESS_DENIED)) \
    X(LookupAccountSidA, "LookupAccountSidA", SETS(FALSE, ERROR_NONE_MAPPED)) \
    X(CM_Get_Device_IDA, "CM_Get_Device_IDA", RETURNS(CR_INVALID_DEVNODE)) \
    X(CreateToolhelp32Snapshot, "CreateToolhelp32Snapshot", SETS(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY)) \
    X(Process32First, "Process32First", SETS(FALSE, ERROR_NO_MORE_FILES), \
      ANSWERS("TRUE, after the action's deadline", 0)) \
    X(Process32Next, "Process32Next", SETS(FALSE, ERROR_NO_MORE_FILES)) \
    X(OpenProcess, "OpenProcess", SETS(NULL, ERROR_ACCESS_DENIED)) \
    X(CloseHandle, "CloseHandle") \
    X(GetModuleFileNameExA, "GetModuleFileNameExA", SETS(0, ERROR_ACCESS_DENIED)) \
    X(ExpandEnvironmentStringsA, "ExpandEnvironmentStringsA", SETS(0, ERROR_NOT_ENOUGH_MEMORY), \
      ANSWERS("size needed", 0)) \
    X(GetFileAttributesA, "GetFileAttributesA", SETS(INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED), \
      SETS(INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND)) \
    X(SearchPathA, "SearchPathA", SETS(0, ERROR_FILE_NOT_FOUND), ANSWERS("size needed", 0)) \
    X(GetFileVersionInfoSizeA, "GetFileVersionInfoSizeA", SETS(0, ERROR_RESOURCE_TYPE_NOT_FOUND)) \
    X(GetFileVersionInfoA, "GetFileVersionInfoA", SETS(FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND)) \
    X(VerQueryValueA, "VerQueryValueA", ANSWERS("FALSE, no such value", 0)) \
    X(GetProcAddress, "GetProcAddress", SETS(NULL, ERROR_PROC_NOT_FOUND)) \
    X(calloc, "calloc", NO_MEMORY) \
    X(realloc, "realloc", NO_MEMORY) \
    X(CreateFileA, "CreateFileA", SETS(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED), \
      SETS(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND)) \
    X(GetFileInformationByHandle, "GetFileInformationByHandle", SETS(FALSE, ERROR_ACCESS_DENIED)) \
    X(EnumProcessModules, "EnumProcessModules", SETS(FALSE, ERROR_PARTIAL_COPY)) \
    X(GetMappedFileNameA, "GetMappedFileNameA", SETS(0, ERROR_ACCESS_DENIED), ANSWERS("a device path", 0), \
      ANSWERS("a path on a share", 0)) \
    X(MsiEnumRelatedProductsA, "MsiEnumRelatedProductsA", RETURNS(ERROR_BAD_CONFIGURATION)) \
    X(MsiGetProductInfoA, "MsiGetProductInfoA", RETURNS(ERROR_BAD_CONFIGURATION)) \
    /* the package's custom actions' own: the session's, and the clock */ \
    X(MsiGetPropertyA, "MsiGetPropertyA", RETURNS(ERROR_MORE_DATA), \
      ANSWERS("ERROR_SUCCESS, empty: not set", 0)) \
    X(MsiSetPropertyA, "MsiSetPropertyA", RETURNS(ERROR_FUNCTION_FAILED)) \
    X(MsiCreateRecord, "MsiCreateRecord", RETURNS(0)) \
    X(MsiProcessMessage, "MsiProcessMessage") \
    X(MsiCloseHandle, "MsiCloseHandle") \
    X(RegCreateKeyExA, "RegCreateKeyExA", RETURNS(ERROR_ACCESS_DENIED)) \
    X(OpenThreadToken, "OpenThreadToken", SETS(FALSE, ERROR_ACCESS_DENIED)) \
    X(CreateProcessA, "CreateProcessA", SETS(FALSE, ERROR_ACCESS_DENIED), SETS(FALSE, ERROR_FILE_NOT_FOUND)) \
    X(TerminateProcess, "TerminateProcess", SETS(FALSE, ERROR_ACCESS_DENIED), \
      ANSWERS("TRUE, the process does not end", 0)) \
    X(GetTickCount, "GetTickCount") \
    X(Sleep, "Sleep") \
    X(WaitForSingleObject, "WaitForSingleObject")

#define FAULT_ENUM(identifier, ...) Fault##identifier,
enum FaultFunction { FAULT_FUNCTIONS(FAULT_ENUM) FaultFunctionCount };

struct FaultFunctionInfo
{
    const char *name;
    FaultClass failure[3];  // text NULL after the last
};

#define FAULT_INFO(identifier, name, ...) {name, {__VA_ARGS__}},
static const FaultFunctionInfo FaultFunctions[FaultFunctionCount] = {FAULT_FUNCTIONS(FAULT_INFO)};

inline int FailureClasses(int function)
{
    int classes = 0;
    while (classes < 3 && FaultFunctions[function].failure[classes].text)
        classes++;
    return classes;
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
    LONG classes;   // bit per failure class documented for the call's arguments
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
    HeldKeys, HeldDeviceLists, HeldHeapBlocks, HeldStrings, HeldReferences, HeldHandles,
    HeldInstallerHandles, HeldKindCount
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
    LONG offVolumePaths;     // files opened off the installed file's volume: on the share that
                             // GetMappedFileNameA's third class names, or the host's own image,
                             // which lies on the build's drive
    char imports[2048];      // the names the executable imports, separated by spaces

    // Written by the test for a custom action's run: the DLL and its entry
    // point, the one process its snapshots show (0: all), and the session,
    // "\nname=value" for each property, to which the probe appends what the
    // action sets and logs, a line each; by the probe, the process it started.
    char image[MAX_PATH];
    char action[32];
    DWORD shown;
    char session[2048];
    DWORD started;
};

#define FAULT_CONTROL_MAPPING_FORMAT "ZN374FaultControl.%lu"
#define FAULT_PROBE_DLL "zn374faultprobe.dll"
// Set when an action waits for a process: a stand-in monitor that can end ends then.
#define FAULT_QUIT_EVENT "ZN374Actions.Quit"
// The share GetMappedFileNameA's third class places an image on, as Windows
// names a file that a user's program runs from on \\server\share.
#define FAULT_SHARE_DEVICE "\\Device\\LanmanRedirector"
#define FAULT_SHARE_PATH FAULT_SHARE_DEVICE "\\server\\share\\ZN374Mon.exe"
// The actions' host, which runs from the build's drive, another volume than
// the installed file's.
#define FAULT_ACTIONS_HOST "\\zn_actions_host.exe"
// Set by a stand-in process once it runs and holds what it holds.
#define FAULT_READY_EVENT "ZN374Actions.Ready"
