// The probe the fault-injection test loads into a monitor or status report
// process before its first instruction. It swaps the executable's own import
// entries (the platform's internal calls stay untouched) and the methods of
// the COM objects it receives for wrappers that trace every call, fail the
// planned ones as the platform documents, and account for what the process
// acquires and releases, all in the control block in the mapping named after
// the process; without one the probe does nothing.

// dshow.h would otherwise forbid the C runtime's sprintf.
#define STRSAFE_NO_DEPRECATE
// The report imports GetModuleFileNameExA from psapi.dll itself.
#define PSAPI_VERSION 1
#include <windows.h>
#include <cfgmgr32.h>
#include <dshow.h>
#include <errno.h>
#include <msiquery.h>
#include <powrprof.h>
#include <psapi.h>
#include <setupapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "fault_control.h"
#include "sim_shared.h"

namespace {

FaultControl *g_control;
BYTE *g_imageBase;
DWORD g_imageSize;
LONG g_calls[FaultFunctionCount];
FaultPlan *g_firing;  // the failure being given now
std::map<void *, LONG> g_held[HeldKindCount];

#define CALLER __builtin_return_address(0)

bool FromProduct(void *site)
{
    return (BYTE *)site >= g_imageBase && (BYTE *)site < g_imageBase + g_imageSize;
}

DWORD Relative(void *site)
{
    return (DWORD)((BYTE *)site - g_imageBase);
}

void Acquired(HeldKind kind, void *handle)
{
    g_held[kind][handle]++;
}

void Released(HeldKind kind, void *handle)
{
    std::map<void *, LONG>::iterator held = g_held[kind].find(handle);
    if (held == g_held[kind].end())
        g_control->unheld[kind]++;
    else if (--held->second == 0)
        g_held[kind].erase(held);
}

// Traces the call; returns the failure class planned for it (1 to 3), or 0 to let it run.
int Enter(FaultFunction function, void *site)
{
    FaultControl *c = g_control;
    const LONG phase = c->phase;
    const LONG index = c->callCount++;
    if (index < FaultCallCapacity)
        c->calls[index] = FaultCall{function, phase, Relative(site), 0};
    const LONG call = ++g_calls[function];
    for (LONG i = 0; i < c->faultCount; i++) {
        FaultPlan &fault = c->faults[i];
        if (fault.function != function || fault.call != call)
            continue;
        fault.fired = 1;
        fault.firedPhase = phase;
        fault.firedSite = Relative(site);
        g_firing = &fault;
        return fault.variant;
    }
    return 0;
}

// What a failed call leaves in an output it does not promise to write, so
// that a caller who reads it anyway is caught.
const ULONG Unwritten = 0x23232323;

// A failure's result, and the code a caller can show: GetLastError's, or
// the result itself.
template <typename T>
T Code(T code)
{
    g_firing->code = (DWORD)code;
    return code;
}

template <typename T>
T Fail(T result, DWORD error)
{
    SetLastError(Code(error));
    return result;
}

// ---- COM methods, swapped in the vtables of the objects the product receives

// The original of each method swapped, by vtable and slot.
std::map<std::pair<void **, int>, void *> g_swapped;

void *OriginalMethod(void *object, int slot)
{
    void **vtable = *(void ***)object;
    const auto swapped = g_swapped.find({vtable, slot});
    return swapped != g_swapped.end() ? swapped->second : vtable[slot];
}

// A library that COM unloads and loads again brings a fresh vtable, perhaps
// at the same address: what is there now is the original.
void SwapMethod(void *object, int slot, void *replacement)
{
    void **vtable = *(void ***)object;
    if (vtable[slot] == replacement)
        return;
    g_swapped[{vtable, slot}] = vtable[slot];
    DWORD protection;
    VirtualProtect(&vtable[slot], sizeof(void *), PAGE_EXECUTE_READWRITE, &protection);
    vtable[slot] = replacement;
    VirtualProtect(&vtable[slot], sizeof(void *), protection, &protection);
}

// The method of an interface each call of the product goes through; the
// product's calls are counted and may be failed, everybody else's pass.
#define METHOD(slot, ...)                                                                   \
    typedef HRESULT(STDMETHODCALLTYPE * Method)(__VA_ARGS__);                              \
    Method original = (Method)OriginalMethod(self, slot);                                  \
    const bool product = FromProduct(CALLER)

void Received(void *object, REFIID iid);

HRESULT STDMETHODCALLTYPE HookQueryInterface(IUnknown *self, REFIID iid, void **out)
{
    METHOD(0, IUnknown *, REFIID, void **);
    if (product && Enter(FaultQueryInterface, CALLER))
        return *out = NULL, Code(E_NOINTERFACE);
    const HRESULT hr = original(self, iid, out);
    if (product && SUCCEEDED(hr) && *out)
        Received(*out, iid);
    return hr;
}

ULONG STDMETHODCALLTYPE HookAddRef(IUnknown *self)
{
    typedef ULONG(STDMETHODCALLTYPE * Method)(IUnknown *);
    if (FromProduct(CALLER))
        Acquired(HeldReferences, self);
    return ((Method)OriginalMethod(self, 1))(self);
}

ULONG STDMETHODCALLTYPE HookRelease(IUnknown *self)
{
    typedef ULONG(STDMETHODCALLTYPE * Method)(IUnknown *);
    if (FromProduct(CALLER))
        Released(HeldReferences, self);
    return ((Method)OriginalMethod(self, 2))(self);
}

HRESULT STDMETHODCALLTYPE HookSet(IKsPropertySet *self, REFGUID set, DWORD id, LPVOID instance,
                                  DWORD instanceSize, LPVOID data, DWORD dataSize)
{
    METHOD(3, IKsPropertySet *, REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD);
    if (product && Enter(FaultPropertySetSet, CALLER))
        return Code((HRESULT)0x80070490);  // E_PROP_ID_UNSUPPORTED
    return original(self, set, id, instance, instanceSize, data, dataSize);
}

HRESULT STDMETHODCALLTYPE HookRead(IPropertyBag *self, LPCOLESTR name, VARIANT *value,
                                   IErrorLog *log)
{
    METHOD(3, IPropertyBag *, LPCOLESTR, VARIANT *, IErrorLog *);
    if (product && Enter(FaultPropertyBagRead, CALLER))
        return Code(E_FAIL);
    const HRESULT hr = original(self, name, value, log);
    if (product && SUCCEEDED(hr) && value->vt == VT_BSTR && value->bstrVal)
        Acquired(HeldStrings, value->bstrVal);
    return hr;
}

// IMoniker's binds: the object or storage it names, a reference received.
#define BIND(name, slot, failure)                                                                       \
    HRESULT STDMETHODCALLTYPE Hook##name(IMoniker *self, IBindCtx *context, IMoniker *left, REFIID iid, \
                                         void **out)                                                    \
    {                                                                                                   \
        METHOD(slot, IMoniker *, IBindCtx *, IMoniker *, REFIID, void **);                              \
        if (product && Enter(Fault##name, CALLER))                                                      \
            return *out = NULL, Code(failure);                                                          \
        const HRESULT hr = original(self, context, left, iid, out);                                     \
        if (product && SUCCEEDED(hr) && *out)                                                           \
            Received(*out, iid);                                                                        \
        return hr;                                                                                      \
    }
BIND(BindToObject, 8, MK_E_NOOBJECT)
BIND(BindToStorage, 9, E_OUTOFMEMORY)

HRESULT STDMETHODCALLTYPE HookNext(IEnumMoniker *self, ULONG count, IMoniker **monikers,
                                   ULONG *fetched)
{
    METHOD(3, IEnumMoniker *, ULONG, IMoniker **, ULONG *);
    switch (product ? Enter(FaultEnumMonikerNext, CALLER) : 0) {
    case 1:
        if (fetched)
            *fetched = 0;
        return Code(S_FALSE);
    case 2:
        return Code(E_OUTOFMEMORY);
    }
    ULONG got = 0;
    const HRESULT hr = original(self, count, monikers, &got);
    if (fetched)
        *fetched = got;
    for (ULONG i = 0; product && SUCCEEDED(hr) && i < got; i++)
        Received(monikers[i], IID_IMoniker);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookCreateClassEnumerator(ICreateDevEnum *self, REFCLSID category,
                                                    IEnumMoniker **out, DWORD flags)
{
    METHOD(3, ICreateDevEnum *, REFCLSID, IEnumMoniker **, DWORD);
    switch (product ? Enter(FaultCreateClassEnumerator, CALLER) : 0) {
    case 1:
        return *out = NULL, Code(E_OUTOFMEMORY);
    case 2:
        return *out = NULL, Code(S_FALSE);
    }
    const HRESULT hr = original(self, category, out, flags);
    if (product && SUCCEEDED(hr) && *out)
        Received(*out, IID_IEnumMoniker);
    return hr;
}

// A reference the product received: held until it releases it, its
// IUnknown methods watched, and the methods the product calls on that
// interface.
void Received(void *object, REFIID iid)
{
    static const struct
    {
        const IID *iid;
        int slot;
        void *hook;
    } watched[] = {{&IID_ICreateDevEnum, 3, (void *)HookCreateClassEnumerator},
                   {&IID_IEnumMoniker, 3, (void *)HookNext},
                   {&IID_IMoniker, 8, (void *)HookBindToObject},
                   {&IID_IMoniker, 9, (void *)HookBindToStorage},
                   {&IID_IPropertyBag, 3, (void *)HookRead},
                   {&__uuidof(IKsPropertySet), 3, (void *)HookSet}};
    Acquired(HeldReferences, object);
    SwapMethod(object, 0, (void *)HookQueryInterface);
    SwapMethod(object, 1, (void *)HookAddRef);
    SwapMethod(object, 2, (void *)HookRelease);
    for (const auto &method : watched) {
        if (IsEqualIID(iid, *method.iid))
            SwapMethod(object, method.slot, method.hook);
    }
}

// ---- Imports

// Every import the probe swaps: X(name) for each.
#define IMPORTS(X)                                                                                         \
    X(RegOpenKeyExA) X(RegQueryValueExA) X(RegSetValueExA) X(RegDeleteValueA) X(RegCloseKey)               \
    X(CM_Get_DevNode_Registry_PropertyA) X(CM_Get_DevNode_Status) X(CM_Get_Device_ID_ListA)                \
    X(CM_Get_Device_ID_List_SizeA) X(CM_Locate_DevNodeA) X(CM_Open_DevNode_Key) X(GetFullPathNameA)        \
    X(GetModuleFileNameA) X(GetSystemPowerStatus) X(GetVersionExA) X(GetWindowsDirectoryA)                 \
    X(WideCharToMultiByte) X(ExitProcess) X(malloc) X(free) X(CoCreateInstance) X(CoInitialize)           \
    X(CoUninitialize) X(VariantClear) X(GetCurrentPowerPolicies) X(SetupDiEnumDeviceInfo)                  \
    X(SetupDiGetClassDevsA) X(SetupDiDestroyDeviceInfoList) X(BroadcastSystemMessageA)                     \
    X(CreateDialogParamA) X(GetMessageA) X(KillTimer) X(RegisterWindowMessageA) X(SetTimer)                \
    X(OpenProcessToken) X(GetTokenInformation) X(LookupAccountSidA) X(CM_Get_Device_IDA)                   \
    X(CreateToolhelp32Snapshot) X(Process32First) X(Process32Next) X(OpenProcess) X(GetModuleFileNameExA)  \
    X(ExpandEnvironmentStringsA) X(GetFileAttributesA) X(GetLongPathNameA) X(SearchPathA)                  \
    X(GetFileVersionInfoSizeA) X(GetFileVersionInfoA) X(VerQueryValueA) X(GetProcAddress) X(calloc)        \
    X(realloc) X(CloseHandle) X(CreateFileA) X(GetFileInformationByHandle)                                     \
    X(EnumProcessModules) X(GetMappedFileNameA) X(MsiGetPropertyA) X(MsiSetPropertyA) X(MsiCreateRecord)      \
    X(MsiProcessMessage) X(MsiCloseHandle) X(RegCreateKeyExA) X(CreateProcessA) X(TerminateProcess)           \
    X(GetTickCount) X(Sleep) X(WaitForSingleObject) X(OpenThreadToken)

#define IMPORT_INDEX(name) Import##name,
enum ImportIndex { IMPORTS(IMPORT_INDEX) ImportCount };
void *g_real[ImportCount];

#define REAL(name) ((decltype(&::name))g_real[Import##name])

// An import with one class of failure, or two, each an expression giving
// the result and setting what else the platform sets.
#define FAILABLE2(type, name, parameters, arguments, first, second) \
    type WINAPI Hook##name parameters                               \
    {                                                               \
        switch (Enter(Fault##name, CALLER)) {                       \
        case 1:                                                     \
            return first;                                           \
        case 2:                                                     \
            return second;                                          \
        }                                                           \
        return REAL(name) arguments;                                \
    }
#define FAILABLE(type, name, parameters, arguments, failure) \
    FAILABLE2(type, name, parameters, arguments, failure, failure)

// An import that hands out what the process must give back: held from then on.
#define OPENS(type, name, parameters, arguments, invalid, error, kind) \
    type WINAPI Hook##name parameters                                  \
    {                                                                  \
        if (Enter(Fault##name, CALLER))                                \
            return Fail<type>(invalid, error);                         \
        type handle = REAL(name) arguments;                            \
        if (handle != invalid)                                         \
            Acquired(kind, (void *)handle);                            \
        return handle;                                                 \
    }

FAILABLE(LONG, RegSetValueExA, (HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size),
         (key, name, reserved, type, data, size), Code(ERROR_ACCESS_DENIED))
FAILABLE(LONG, RegDeleteValueA, (HKEY key, LPCSTR name), (key, name), Code(ERROR_ACCESS_DENIED))
FAILABLE(BOOL, GetSystemPowerStatus, (LPSYSTEM_POWER_STATUS status), (status), Fail<BOOL>(FALSE, ERROR_GEN_FAILURE))
FAILABLE(BOOL, GetVersionExA, (LPOSVERSIONINFOA info), (info), Fail<BOOL>(FALSE, ERROR_INSUFFICIENT_BUFFER))
FAILABLE(BOOLEAN, GetCurrentPowerPolicies, (PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy), (global, policy),
         Fail<BOOLEAN>(FALSE, ERROR_ACCESS_DENIED))
FAILABLE(long, BroadcastSystemMessageA, (DWORD flags, LPDWORD to, UINT message, WPARAM wParam, LPARAM lParam),
         (flags, to, message, wParam, lParam), Fail<long>(-1, ERROR_NOT_ENOUGH_MEMORY))
FAILABLE(HWND, CreateDialogParamA, (HINSTANCE instance, LPCSTR name, HWND parent, DLGPROC procedure, LPARAM parameter),
         (instance, name, parent, procedure, parameter), Fail<HWND>(NULL, ERROR_NOT_ENOUGH_MEMORY))
FAILABLE(BOOL, GetMessageA, (LPMSG message, HWND window, UINT first, UINT last), (message, window, first, last),
         Fail<BOOL>(-1, ERROR_INVALID_PARAMETER))
FAILABLE(UINT, RegisterWindowMessageA, (LPCSTR name), (name), Fail<UINT>(0, ERROR_NOT_ENOUGH_MEMORY))

LONG WINAPI HookRegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (Enter(FaultRegOpenKeyExA, CALLER))
        return Code(ERROR_ACCESS_DENIED);
    const LONG result = REAL(RegOpenKeyExA)(root, path, options, access, key);
    if (result == ERROR_SUCCESS)
        Acquired(HeldKeys, *key);
    return result;
}

LONG WINAPI HookRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size)
{
    switch (Enter(FaultRegQueryValueExA, CALLER)) {
    case 1:
        return Code(ERROR_FILE_NOT_FOUND);
    case 2:
        // The buffer's content is undefined then: it holds a pattern and no terminator.
        if (data && size)
            memset(data, 0x23, *size);
        if (type)
            *type = REG_SZ;
        if (size)
            *size += 40;
        return Code(ERROR_MORE_DATA);
    case 3:
        return Code(ERROR_ACCESS_DENIED);
    }
    return REAL(RegQueryValueExA)(key, name, reserved, type, data, size);
}

FAILABLE2(CONFIGRET, CM_Get_DevNode_Registry_PropertyA,
          (DEVINST node, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG flags),
          (node, property, type, buffer, length, flags), Code(CR_NO_SUCH_VALUE), (*length += 64, Code(CR_BUFFER_SMALL)))
FAILABLE(CONFIGRET, CM_Get_DevNode_Status, (PULONG status, PULONG problem, DEVINST node, ULONG flags),
         (status, problem, node, flags), (*status = *problem = Unwritten, Code(CR_NO_SUCH_DEVINST)))
// CR_BUFFER_SMALL: a device arrived since the size was asked.
FAILABLE2(CONFIGRET, CM_Get_Device_ID_ListA, (PCSTR filter, PCHAR buffer, ULONG length, ULONG flags),
          (filter, buffer, length, flags), Code(CR_REGISTRY_ERROR), Code(CR_BUFFER_SMALL))
FAILABLE(CONFIGRET, CM_Get_Device_ID_List_SizeA, (PULONG length, PCSTR filter, ULONG flags), (length, filter, flags),
         (*length = Unwritten, Code(CR_REGISTRY_ERROR)))
FAILABLE(CONFIGRET, CM_Locate_DevNodeA, (PDEVINST node, DEVINSTID_A id, ULONG flags), (node, id, flags),
         (*node = Unwritten, Code(CR_NO_SUCH_DEVNODE)))
FAILABLE2(UINT, GetWindowsDirectoryA, (LPSTR buffer, UINT size), (buffer, size),
          Fail<UINT>(0, ERROR_NOT_ENOUGH_MEMORY), size + 40)
// Windows XP fills the whole buffer and leaves it unterminated when it is too short.
FAILABLE2(DWORD, GetModuleFileNameA, (HMODULE module, LPSTR buffer, DWORD size), (module, buffer, size),
          Fail<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY),
          (memset(buffer, 'x', size), Fail<DWORD>(size, ERROR_INSUFFICIENT_BUFFER)))
FAILABLE(int, WideCharToMultiByte, (UINT codePage, DWORD flags, LPCWCH text, int textLength, LPSTR buffer, int size,
         LPCCH defaultChar, LPBOOL usedDefault), (codePage, flags, text, textLength, buffer, size, defaultChar, usedDefault),
         (buffer && size > 0 ? (void)memset(buffer, 'x', size) : (void)0, Fail<int>(0, ERROR_INSUFFICIENT_BUFFER)))

CONFIGRET WINAPI HookCM_Open_DevNode_Key(DEVINST node, REGSAM access, ULONG profile,
                                         REGDISPOSITION disposition, PHKEY key, ULONG flags)
{
    switch (Enter(FaultCM_Open_DevNode_Key, CALLER)) {
    case 1:
        return Code(CR_NO_SUCH_REGISTRY_KEY);
    case 2:
        return Code(CR_REGISTRY_ERROR);
    }
    const CONFIGRET result = REAL(CM_Open_DevNode_Key)(node, access, profile, disposition, key, flags);
    if (result == CR_SUCCESS)
        Acquired(HeldKeys, *key);
    return result;
}

DWORD WINAPI HookGetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR *filePart)
{
    // An ANSI path ends within MAX_PATH characters; reading no further is safe
    // for the product's 260-byte buffers.
    if (strnlen(name, MAX_PATH) == MAX_PATH)
        g_control->unterminatedPaths++;
    switch (Enter(FaultGetFullPathNameA, CALLER)) {
    case 1:
        return Fail<DWORD>(0, ERROR_FILENAME_EXCED_RANGE);
    case 2:
        return size + 40;
    }
    return REAL(GetFullPathNameA)(name, size, buffer, filePart);
}

void *NoMemory(void)
{
    errno = ENOMEM;
    return NULL;
}

void *__cdecl Hookmalloc(size_t size)
{
    if (Enter(FaultMalloc, CALLER))
        return NoMemory();
    void *block = REAL(malloc)(size);
    if (block) {
        Acquired(HeldHeapBlocks, block);
        memset(block, Unwritten & 0xFF, size);  // as a debug heap hands blocks out
    }
    return block;
}

HRESULT WINAPI HookCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID *out)
{
    if (Enter(FaultCoCreateInstance, CALLER))
        return *out = NULL, Code(REGDB_E_CLASSNOTREG);
    const HRESULT hr = REAL(CoCreateInstance)(clsid, outer, context, iid, out);
    if (SUCCEEDED(hr) && *out)
        Received(*out, iid);
    return hr;
}

HRESULT WINAPI HookCoInitialize(LPVOID reserved)
{
    const LONG index = g_control->callCount;
    HRESULT hr = E_OUTOFMEMORY;
    const int failure = Enter(FaultCoInitialize, CALLER);
    // For the other answers another party initialised the thread first, in
    // the multithreaded apartment or in the same one, so that the platform
    // itself gives them.
    if (failure == 2)
        CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (failure == 3)
        REAL(CoInitialize)(NULL);
    if (failure != 1)
        hr = REAL(CoInitialize)(reserved);
    if (index < FaultCallCapacity)
        g_control->calls[index].result = hr;
    return hr;
}

void WINAPI HookCoUninitialize(void)
{
    Enter(FaultCoUninitialize, CALLER);
    REAL(CoUninitialize)();
}

FAILABLE2(BOOL, SetupDiEnumDeviceInfo, (HDEVINFO devices, DWORD index, PSP_DEVINFO_DATA device), (devices, index, device),
          Fail<BOOL>(FALSE, ERROR_NO_MORE_ITEMS), Fail<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY))
OPENS(HDEVINFO, SetupDiGetClassDevsA, (const GUID *setupClass, PCSTR enumerator, HWND parent, DWORD flags),
      (setupClass, enumerator, parent, flags), INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY, HeldDeviceLists)

// The calls that give back what the process held; what held gives for x is
// given back, NULL (a NULL block, a variant without a BSTR) is nothing.
#define RELEASES(type, convention, name, parameter, kind, held) \
    type convention Hook##name(parameter x)                     \
    {                                                           \
        if (held)                                               \
            Released(kind, (void *)(held));                     \
        return REAL(name)(x);                                   \
    }
RELEASES(LONG, WINAPI, RegCloseKey, HKEY, HeldKeys, x)
RELEASES(BOOL, WINAPI, SetupDiDestroyDeviceInfoList, HDEVINFO, HeldDeviceLists, x)
RELEASES(BOOL, WINAPI, CloseHandle, HANDLE, HeldHandles, x)
RELEASES(HRESULT, WINAPI, VariantClear, VARIANTARG *, HeldStrings, x->vt == VT_BSTR ? x->bstrVal : NULL)
RELEASES(void, __cdecl, free, void *, HeldHeapBlocks, x)

// The period of the one timer, as the system has it armed, for the test to read.
UINT_PTR WINAPI HookSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure)
{
    if (Enter(FaultSetTimer, CALLER))
        return Fail<UINT_PTR>(0, ERROR_NOT_ENOUGH_MEMORY);
    const UINT_PTR armed = REAL(SetTimer)(window, id, period, procedure);
    if (armed)
        g_control->timerPeriod = period;
    return armed;
}

BOOL WINAPI HookKillTimer(HWND window, UINT_PTR id)
{
    if (Enter(FaultKillTimer, CALLER))
        return Fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
    const BOOL killed = REAL(KillTimer)(window, id);
    if (killed)
        g_control->timerPeriod = 0;
    return killed;
}

// ---- The status report's own imports

OPENS(HANDLE, OpenProcess, (DWORD access, BOOL inherit, DWORD id), (access, inherit, id), NULL, ERROR_ACCESS_DENIED,
      HeldHandles)
OPENS(HANDLE, CreateToolhelp32Snapshot, (DWORD flags, DWORD id), (flags, id), INVALID_HANDLE_VALUE,
      ERROR_NOT_ENOUGH_MEMORY, HeldHandles)

HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model)
{
    switch (Enter(FaultCreateFileA, CALLER)) {
    case 1:
        return Fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    case 2:
        return Fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    }
    HANDLE file = REAL(CreateFileA)(name, access, share, security, disposition, flags, model);
    if (file != INVALID_HANDLE_VALUE)
        Acquired(HeldHandles, file);
    return file;
}
FAILABLE(BOOL, GetFileInformationByHandle, (HANDLE file, LPBY_HANDLE_FILE_INFORMATION info), (file, info),
         Fail<BOOL>(FALSE, ERROR_ACCESS_DENIED))
FAILABLE(BOOL, EnumProcessModules, (HANDLE process, HMODULE *modules, DWORD size, LPDWORD needed),
         (process, modules, size, needed), Fail<BOOL>(FALSE, ERROR_PARTIAL_COPY))
FAILABLE(DWORD, GetMappedFileNameA, (HANDLE process, LPVOID address, LPSTR name, DWORD size), (process, address, name, size),
         Fail<DWORD>(0, ERROR_ACCESS_DENIED))

BOOL WINAPI HookOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (Enter(FaultOpenProcessToken, CALLER))
        return Fail<BOOL>(FALSE, ERROR_ACCESS_DENIED);
    const BOOL opened = REAL(OpenProcessToken)(process, access, token);
    return opened && (Acquired(HeldHandles, *token), true);
}

FAILABLE(BOOL, GetTokenInformation, (HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size, PDWORD needed),
         (token, kind, data, size, needed), Fail<BOOL>(FALSE, ERROR_ACCESS_DENIED))
FAILABLE(BOOL, LookupAccountSidA, (LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
         LPDWORD domainSize, PSID_NAME_USE use), (system, sid, name, nameSize, domain, domainSize, use),
         Fail<BOOL>(FALSE, ERROR_NONE_MAPPED))
FAILABLE(CONFIGRET, CM_Get_Device_IDA, (DEVINST node, PCHAR buffer, ULONG length, ULONG flags), (node, buffer, length, flags),
         Code(CR_INVALID_DEVNODE))
// For a custom action, a snapshot shows only the processes the test placed
// there, so that each run sees the same list.
BOOL Shown(HANDLE snapshot, LPPROCESSENTRY32 entry, BOOL more)
{
    while (more && g_control->shown && entry->th32ProcessID != g_control->shown)
        more = REAL(Process32Next)(snapshot, entry);
    return more;
}

#define WALKS(name)                                                     \
    BOOL WINAPI Hook##name(HANDLE snapshot, LPPROCESSENTRY32 entry)     \
    {                                                                   \
        if (Enter(Fault##name, CALLER))                                 \
            return Fail<BOOL>(FALSE, ERROR_NO_MORE_FILES);              \
        return Shown(snapshot, entry, REAL(name)(snapshot, entry));     \
    }
WALKS(Process32First)
WALKS(Process32Next)
FAILABLE(DWORD, GetModuleFileNameExA, (HANDLE process, HMODULE module, LPSTR name, DWORD size), (process, module, name, size),
         Fail<DWORD>(0, ERROR_ACCESS_DENIED))
FAILABLE2(DWORD, ExpandEnvironmentStringsA, (LPCSTR source, LPSTR buffer, DWORD size), (source, buffer, size),
          Fail<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY), size + 40)
FAILABLE2(DWORD, GetFileAttributesA, (LPCSTR name), (name), Fail<DWORD>(INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED),
          Fail<DWORD>(INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND))
FAILABLE2(DWORD, GetLongPathNameA, (LPCSTR path, LPSTR buffer, DWORD size), (path, buffer, size),
          Fail<DWORD>(0, ERROR_ACCESS_DENIED), size + 40)
FAILABLE2(DWORD, SearchPathA, (LPCSTR path, LPCSTR name, LPCSTR extension, DWORD size, LPSTR buffer, LPSTR *part),
          (path, name, extension, size, buffer, part), Fail<DWORD>(0, ERROR_FILE_NOT_FOUND), size + 40)
FAILABLE(DWORD, GetFileVersionInfoSizeA, (LPCSTR name, LPDWORD handle), (name, handle),
         Fail<DWORD>(0, ERROR_RESOURCE_TYPE_NOT_FOUND))
FAILABLE(BOOL, GetFileVersionInfoA, (LPCSTR name, DWORD handle, DWORD size, LPVOID data), (name, handle, size, data),
         Fail<BOOL>(FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND))
FAILABLE(BOOL, VerQueryValueA, (LPCVOID block, LPCSTR path, LPVOID *value, PUINT size), (block, path, value, size), FALSE)
FAILABLE(FARPROC, GetProcAddress, (HMODULE module, LPCSTR name), (module, name), Fail<FARPROC>(NULL, ERROR_PROC_NOT_FOUND))

void *__cdecl Hookcalloc(size_t count, size_t size)
{
    if (Enter(FaultCalloc, CALLER))
        return NoMemory();
    void *block = REAL(calloc)(count, size);
    if (block)
        Acquired(HeldHeapBlocks, block);
    return block;
}

// A block that cannot grow stays as it was.
void *__cdecl Hookrealloc(void *block, size_t size)
{
    if (Enter(FaultRealloc, CALLER))
        return NoMemory();
    void *grown = REAL(realloc)(block, size);
    if (block && (grown || !size))
        Released(HeldHeapBlocks, block);
    if (grown)
        Acquired(HeldHeapBlocks, grown);
    return grown;
}

// ---- The custom actions' own: the session's calls served from the text in
// the control block, the records the platform's, and a clock the test runs.

void AppendLine(const std::string &line)
{
    lstrcpynA(g_control->session, (g_control->session + line + "\n").c_str(), sizeof g_control->session);
}

// A property not set reads as empty, with ERROR_SUCCESS (MsiGetProperty,
// learn.microsoft.com).
UINT WINAPI HookMsiGetPropertyA(MSIHANDLE, LPCSTR name, LPSTR value, LPDWORD size)
{
    const int failure = Enter(FaultMsiGetPropertyA, CALLER);
    const std::string key = std::string("\n") + name + "=";
    const char *found = failure == 2 ? NULL : strstr(g_control->session, key.c_str());
    std::string text = found ? std::string(found + key.size(), strcspn(found + key.size(), "\n")) : "";
    if (failure == 1)
        text.append(*size, 'x');
    lstrcpynA(value, text.c_str(), *size);
    const bool fits = text.size() < *size;
    *size = text.size();
    return fits ? ERROR_SUCCESS : Code(ERROR_MORE_DATA);
}

UINT WINAPI HookMsiSetPropertyA(MSIHANDLE, LPCSTR name, LPCSTR value)
{
    if (Enter(FaultMsiSetPropertyA, CALLER))
        return Code(ERROR_FUNCTION_FAILED);
    AppendLine(std::string(name) + "=" + value);
    return ERROR_SUCCESS;
}

// The log line as Windows Installer formats the record: "[1]" is field 1.
int WINAPI HookMsiProcessMessage(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE record)
{
    char text[1024] = "";
    DWORD size = sizeof text;
    MsiFormatRecordA(0, record, text, &size);
    AppendLine(text);
    return IDOK;
}

BOOL WINAPI HookOpenThreadToken(HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token)
{
    if (Enter(FaultOpenThreadToken, CALLER))
        return Fail<BOOL>(FALSE, ERROR_ACCESS_DENIED);
    const BOOL opened = REAL(OpenThreadToken)(thread, access, asSelf, token);
    if (opened)
        Acquired(HeldHandles, *token);
    return opened;
}

OPENS(MSIHANDLE, MsiCreateRecord, (UINT fields), (fields), 0, 0, HeldInstallerHandles)
RELEASES(UINT, WINAPI, MsiCloseHandle, MSIHANDLE, HeldInstallerHandles, x)

LONG WINAPI HookRegCreateKeyExA(HKEY root, LPCSTR path, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                                LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    if (Enter(FaultRegCreateKeyExA, CALLER))
        return Code(ERROR_ACCESS_DENIED);
    const LONG result = REAL(RegCreateKeyExA)(root, path, reserved, keyClass, options, access, security, key, disposition);
    if (result == ERROR_SUCCESS)
        Acquired(HeldKeys, *key);
    return result;
}

BOOL WINAPI HookCreateProcessA(LPCSTR name, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                               LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info)
{
    if (Enter(FaultCreateProcessA, CALLER))
        return Fail<BOOL>(FALSE, ERROR_FILE_NOT_FOUND);
    const BOOL created = REAL(CreateProcessA)(name, commandLine, processSecurity, threadSecurity, inherit, flags,
                                              environment, folder, startup, info);
    if (created) {
        Acquired(HeldHandles, info->hProcess);
        Acquired(HeldHandles, info->hThread);
    }
    return created;
}

// The clock starts just before it wraps, and a Sleep lets 25 times its
// interval pass, as on a machine busy enough to take that long.
DWORD g_clock = (DWORD)-500;
HANDLE g_terminated;

DWORD WINAPI HookGetTickCount(void)
{
    return g_clock;
}

void WINAPI HookSleep(DWORD interval)
{
    g_clock += 25 * interval;
}

// "TerminateProcess is asynchronous": the second class begins an end that
// does not come.
BOOL WINAPI HookTerminateProcess(HANDLE process, UINT code)
{
    switch (Enter(FaultTerminateProcess, CALLER)) {
    case 1:
        return Fail<BOOL>(FALSE, ERROR_ACCESS_DENIED);
    case 2:
        return TRUE;
    }
    g_terminated = process;
    return REAL(TerminateProcess)(process, code);
}

// A wait for a process that can end (a stand-in monitor asked now, or one
// just terminated) lasts until it has; any other times out at once, and the
// clock moves on by the time-out.
DWORD WINAPI HookWaitForSingleObject(HANDLE object, DWORD timeout)
{
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, FAULT_QUIT_EVENT);
    const bool ends = (quit && SetEvent(quit)) || object == g_terminated;
    CloseHandle(quit);
    const DWORD result = REAL(WaitForSingleObject)(object, ends && timeout ? 10000 : 0);
    if (result == WAIT_TIMEOUT)
        g_clock += timeout;
    return result;
}

// What the process holds as it ends.
void RecordEnd(void)
{
    FaultControl *c = g_control;
    for (int kind = 0; kind < HeldKindCount; kind++) {
        for (const auto &held : g_held[kind])
            c->left[kind] += held.second;
    }
    typedef LONG(WINAPI * LiveCount)(void);
    HMODULE camera = GetModuleHandleA(SIM_CAMERA_DLL_NAME);
    LiveCount live = camera ? (LiveCount)GetProcAddress(camera, SIM_CAMERA_LIVE_OBJECTS_EXPORT) : NULL;
    c->liveFilters = live ? live() : 0;
    c->endPhase = c->phase;
    c->ended = 1;
}

void WINAPI HookExitProcess(UINT code)
{
    RecordEnd();
    REAL(ExitProcess)(code);
}

LONG WINAPI RecordCrash(EXCEPTION_POINTERS *exception)
{
    FaultControl *c = g_control;
    c->crashed = 1;
    c->crashCode = exception->ExceptionRecord->ExceptionCode;
    c->crashSite = (DWORD)((BYTE *)exception->ExceptionRecord->ExceptionAddress - g_imageBase);
    TerminateProcess(GetCurrentProcess(), c->crashCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

#define IMPORT_ENTRY(name) {#name, (void *)Hook##name},
const struct
{
    const char *name;
    void *hook;
} g_imports[ImportCount] = {IMPORTS(IMPORT_ENTRY)};

// Swaps each import of the executable named in g_imports; an entry's original
// goes to g_real at the same index. Every import's name goes to the control
// block.
void SwapImports(void)
{
    IMAGE_NT_HEADERS *headers =
        (IMAGE_NT_HEADERS *)(g_imageBase + ((IMAGE_DOS_HEADER *)g_imageBase)->e_lfanew);
    g_imageSize = headers->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY &directory =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(g_imageBase + directory.VirtualAddress);
         dll->Name; dll++) {
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(g_imageBase + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(g_imageBase + dll->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char *name = (const char *)((IMAGE_IMPORT_BY_NAME *)(g_imageBase + names->u1.AddressOfData))->Name;
            const size_t used = strlen(g_control->imports), length = strlen(name);
            if (used + length + 2 < sizeof g_control->imports)
                sprintf(g_control->imports + used, used ? " %s" : "%s", name);
            for (int i = 0; i < ImportCount; i++) {
                if (strcmp(name, g_imports[i].name) != 0)
                    continue;
                g_real[i] = (void *)slots->u1.Function;
                DWORD protection;
                VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &protection);
                slots->u1.Function = (ULONG_PTR)g_imports[i].hook;
                VirtualProtect(&slots->u1.Function, sizeof(void *), protection, &protection);
            }
        }
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char name[64];
    sprintf(name, FAULT_CONTROL_MAPPING_FORMAT, GetCurrentProcessId());
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
    if (!mapping)
        return TRUE;
    // Kept for the life of the process: the test reads it after the end.
    g_control = (FaultControl *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(FaultControl));
    if (!g_control)
        return TRUE;
    // A custom action's host has its DLL's imports swapped, not its own.
    g_imageBase = (BYTE *)GetModuleHandleA(NULL);
    if (!g_control->image[0])
        SwapImports();
    SetUnhandledExceptionFilter(RecordCrash);
    return TRUE;
}

// Loads the custom-action DLL, calls the action with its imports swapped and
// gives back its answer. Unloading the DLL writes its coverage counters, in
// calls that are no part of the action's trace.
extern "C" __declspec(dllexport) UINT RunAction(void)
{
    typedef UINT(WINAPI * Action)(MSIHANDLE);
    HMODULE dll = LoadLibraryA(g_control->image);
    Action action = dll ? (Action)(void (*)(void))GetProcAddress(dll, g_control->action) : NULL;
    if (!action)
        return ERROR_PROC_NOT_FOUND;
    g_imageBase = (BYTE *)dll;
    SwapImports();
    const UINT result = action(1);
    RecordEnd();
    const LONG calls = g_control->callCount;
    FreeLibrary(dll);
    g_control->callCount = calls;
    return result;
}
