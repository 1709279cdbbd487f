// The probe the fault-injection test loads into a monitor process before its
// first instruction runs. It swaps the entries of the executable's own import
// table (the platform's internal calls stay untouched), and the methods of the
// COM objects the executable receives, for wrappers that count every call by
// function and phase, make the chosen call fail once as the platform
// documents it, and keep account of what the process acquires and releases.
// Everything goes to the control block in the mapping named after the
// process; without one the probe does nothing.

// dshow.h would otherwise forbid the C runtime's sprintf.
#define STRSAFE_NO_DEPRECATE
#include <windows.h>
#include <cfgmgr32.h>
#include <dshow.h>
#include <errno.h>
#include <powrprof.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "fault_control.h"
#include "sim_shared.h"

namespace {

FaultControl *g_control;
BYTE *g_imageBase;
DWORD g_imageSize;
LONG g_calls[FaultFunctionCount];
int g_openPending;  // a CoInitialize has not yet been followed by a Set
int g_openOwnsCom;  // and that CoInitialize answered S_OK

#define CALLER __builtin_return_address(0)

bool FromProduct(void *site)
{
    return (BYTE *)site >= g_imageBase && (BYTE *)site < g_imageBase + g_imageSize;
}

// Counts the call; returns the failure to give it (1 or 2), or 0 to let it run.
int Enter(FaultFunction function, void *site)
{
    FaultControl *c = g_control;
    const LONG phase = c->phase;
    const LONG index = c->callCount++;
    if (index < FaultCallCapacity) {
        c->calls[index].function = function;
        c->calls[index].phase = phase;
        c->calls[index].site = (DWORD)((BYTE *)site - g_imageBase);
    }
    if (++g_calls[function] != c->faultCall || function != c->faultFunction)
        return 0;
    c->fired = 1;
    c->firedPhase = phase;
    return c->faultVariant;
}

// What a failed call leaves in an output it does not promise to write, so
// that a caller who reads it anyway is caught.
const ULONG Unwritten = 0x23232323;

template <typename T>
T Fail(T result, DWORD error)
{
    SetLastError(error);
    return result;
}

// ---- COM methods, swapped in the vtables of the objects the product receives

struct SwappedMethod
{
    void **vtable;
    int slot;
    void *original;
};
SwappedMethod g_swapped[64];
int g_swappedCount;

void *OriginalMethod(void *object, int slot)
{
    void **vtable = *(void ***)object;
    for (int i = 0; i < g_swappedCount; i++) {
        if (g_swapped[i].vtable == vtable && g_swapped[i].slot == slot)
            return g_swapped[i].original;
    }
    return vtable[slot];
}

// A library that COM unloads and loads again brings a fresh vtable, perhaps
// at the same address: what is there now is the original.
void SwapMethod(void *object, int slot, void *replacement)
{
    void **vtable = *(void ***)object;
    if (vtable[slot] == replacement)
        return;
    int i = 0;
    while (i < g_swappedCount && !(g_swapped[i].vtable == vtable && g_swapped[i].slot == slot))
        i++;
    if (i == g_swappedCount) {
        if (g_swappedCount == (int)(sizeof g_swapped / sizeof g_swapped[0]))
            return;
        g_swappedCount++;
    }
    g_swapped[i].vtable = vtable;
    g_swapped[i].slot = slot;
    g_swapped[i].original = vtable[slot];
    DWORD protection;
    VirtualProtect(&vtable[slot], sizeof(void *), PAGE_EXECUTE_READWRITE, &protection);
    vtable[slot] = replacement;
    VirtualProtect(&vtable[slot], sizeof(void *), protection, &protection);
}

typedef ULONG(STDMETHODCALLTYPE *ReleaseMethod)(IUnknown *);

ULONG STDMETHODCALLTYPE HookRelease(IUnknown *self)
{
    const ULONG count = ((ReleaseMethod)OriginalMethod(self, 2))(self);
    if (FromProduct(CALLER))
        g_control->comReferences--;
    return count;
}

// A reference the product received: counted, and its methods watched.
void Received(void *object, int slot, void *replacement)
{
    g_control->comReferences++;
    SwapMethod(object, 2, (void *)HookRelease);
    if (replacement)
        SwapMethod(object, slot, replacement);
}

HRESULT STDMETHODCALLTYPE HookSet(IKsPropertySet *self, REFGUID set, DWORD id, LPVOID instance,
                                  DWORD instanceSize, LPVOID data, DWORD dataSize)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IKsPropertySet *, REFGUID, DWORD, LPVOID, DWORD,
                                                 LPVOID, DWORD);
    Method original = (Method)OriginalMethod(self, 3);
    if (!FromProduct(CALLER))
        return original(self, set, id, instance, instanceSize, data, dataSize);
    g_openPending = 0;
    if (Enter(FaultPropertySetSet, CALLER))
        return (HRESULT)0x80070490;  // E_PROP_ID_UNSUPPORTED
    return original(self, set, id, instance, instanceSize, data, dataSize);
}

HRESULT STDMETHODCALLTYPE HookFilterQueryInterface(IUnknown *self, REFIID iid, void **out)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IUnknown *, REFIID, void **);
    Method original = (Method)OriginalMethod(self, 0);
    if (!FromProduct(CALLER))
        return original(self, iid, out);
    if (Enter(FaultFilterQueryInterface, CALLER)) {
        *out = NULL;
        return E_NOINTERFACE;
    }
    const HRESULT hr = original(self, iid, out);
    if (SUCCEEDED(hr) && *out)
        Received(*out, 3, (void *)HookSet);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookRead(IPropertyBag *self, LPCOLESTR name, VARIANT *value,
                                   IErrorLog *log)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IPropertyBag *, LPCOLESTR, VARIANT *, IErrorLog *);
    Method original = (Method)OriginalMethod(self, 3);
    if (!FromProduct(CALLER))
        return original(self, name, value, log);
    if (Enter(FaultPropertyBagRead, CALLER))
        return E_FAIL;
    const HRESULT hr = original(self, name, value, log);
    if (SUCCEEDED(hr) && value->vt == VT_BSTR && value->bstrVal)
        g_control->strings++;
    return hr;
}

HRESULT STDMETHODCALLTYPE HookBindToStorage(IMoniker *self, IBindCtx *context, IMoniker *left,
                                            REFIID iid, void **out)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IMoniker *, IBindCtx *, IMoniker *, REFIID, void **);
    Method original = (Method)OriginalMethod(self, 9);
    if (!FromProduct(CALLER))
        return original(self, context, left, iid, out);
    if (Enter(FaultBindToStorage, CALLER)) {
        *out = NULL;
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = original(self, context, left, iid, out);
    if (SUCCEEDED(hr) && *out)
        Received(*out, 3, (void *)HookRead);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookBindToObject(IMoniker *self, IBindCtx *context, IMoniker *left,
                                           REFIID iid, void **out)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IMoniker *, IBindCtx *, IMoniker *, REFIID, void **);
    Method original = (Method)OriginalMethod(self, 8);
    if (!FromProduct(CALLER))
        return original(self, context, left, iid, out);
    if (Enter(FaultBindToObject, CALLER)) {
        *out = NULL;
        return MK_E_NOOBJECT;
    }
    const HRESULT hr = original(self, context, left, iid, out);
    if (SUCCEEDED(hr) && *out)
        Received(*out, 0, (void *)HookFilterQueryInterface);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookNext(IEnumMoniker *self, ULONG count, IMoniker **monikers,
                                   ULONG *fetched)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(IEnumMoniker *, ULONG, IMoniker **, ULONG *);
    Method original = (Method)OriginalMethod(self, 3);
    if (!FromProduct(CALLER))
        return original(self, count, monikers, fetched);
    if (Enter(FaultEnumMonikerNext, CALLER)) {
        if (fetched)
            *fetched = 0;
        return S_FALSE;
    }
    ULONG got = 0;
    const HRESULT hr = original(self, count, monikers, &got);
    if (fetched)
        *fetched = got;
    for (ULONG i = 0; SUCCEEDED(hr) && i < got; i++) {
        Received(monikers[i], 8, (void *)HookBindToObject);
        SwapMethod(monikers[i], 9, (void *)HookBindToStorage);
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HookCreateClassEnumerator(ICreateDevEnum *self, REFCLSID category,
                                                    IEnumMoniker **out, DWORD flags)
{
    typedef HRESULT(STDMETHODCALLTYPE * Method)(ICreateDevEnum *, REFCLSID, IEnumMoniker **, DWORD);
    Method original = (Method)OriginalMethod(self, 3);
    if (!FromProduct(CALLER))
        return original(self, category, out, flags);
    switch (Enter(FaultCreateClassEnumerator, CALLER)) {
    case 1:
        *out = NULL;
        return E_OUTOFMEMORY;
    case 2:
        *out = NULL;
        return S_FALSE;
    }
    const HRESULT hr = original(self, category, out, flags);
    if (SUCCEEDED(hr) && *out)
        Received(*out, 3, (void *)HookNext);
    return hr;
}

// ---- Imports

#define REAL(name) ((decltype(&::name))g_real[Import##name])

enum ImportIndex
{
    ImportRegOpenKeyExA, ImportRegQueryValueExA, ImportRegSetValueExA, ImportRegDeleteValueA,
    ImportRegCloseKey, ImportCM_Get_DevNode_Registry_PropertyA, ImportCM_Get_DevNode_Status,
    ImportCM_Get_Device_ID_ListA, ImportCM_Get_Device_ID_List_SizeA, ImportCM_Locate_DevNodeA,
    ImportCM_Open_DevNode_Key, ImportGetFullPathNameA, ImportGetModuleFileNameA,
    ImportGetSystemPowerStatus, ImportGetVersionExA, ImportGetWindowsDirectoryA,
    ImportWideCharToMultiByte, ImportExitProcess, Importmalloc, Importfree, ImportCoCreateInstance,
    ImportCoInitialize, ImportCoUninitialize, ImportVariantClear, ImportGetCurrentPowerPolicies,
    ImportSetupDiEnumDeviceInfo, ImportSetupDiGetClassDevsA, ImportSetupDiDestroyDeviceInfoList,
    ImportBroadcastSystemMessageA, ImportCreateDialogParamA, ImportGetMessageA, ImportKillTimer,
    ImportRegisterWindowMessageA, ImportSetTimer, ImportCount
};
void *g_real[ImportCount];

LONG WINAPI HookRegOpenKeyExA(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (Enter(FaultRegOpenKeyExA, CALLER))
        return ERROR_ACCESS_DENIED;
    const LONG result = REAL(RegOpenKeyExA)(root, path, options, access, key);
    if (result == ERROR_SUCCESS)
        g_control->openKeys++;
    return result;
}

LONG WINAPI HookRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size)
{
    switch (Enter(FaultRegQueryValueExA, CALLER)) {
    case 1:
        return ERROR_FILE_NOT_FOUND;
    case 2:
        // The buffer's content is undefined then: it holds a pattern and no terminator.
        if (data && size)
            memset(data, 0x23, *size);
        if (type)
            *type = REG_SZ;
        if (size)
            *size += 40;
        return ERROR_MORE_DATA;
    }
    return REAL(RegQueryValueExA)(key, name, reserved, type, data, size);
}

LONG WINAPI HookRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                               DWORD size)
{
    if (Enter(FaultRegSetValueExA, CALLER))
        return ERROR_ACCESS_DENIED;
    return REAL(RegSetValueExA)(key, name, reserved, type, data, size);
}

LONG WINAPI HookRegDeleteValueA(HKEY key, LPCSTR name)
{
    if (Enter(FaultRegDeleteValueA, CALLER))
        return ERROR_ACCESS_DENIED;
    return REAL(RegDeleteValueA)(key, name);
}

LONG WINAPI HookRegCloseKey(HKEY key)
{
    const LONG result = REAL(RegCloseKey)(key);
    if (result == ERROR_SUCCESS)
        g_control->openKeys--;
    return result;
}

CONFIGRET WINAPI HookCM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type,
                                                       PVOID buffer, PULONG length, ULONG flags)
{
    switch (Enter(FaultCM_Get_DevNode_Registry_PropertyA, CALLER)) {
    case 1:
        return CR_NO_SUCH_VALUE;
    case 2:
        *length += 64;
        return CR_BUFFER_SMALL;
    }
    return REAL(CM_Get_DevNode_Registry_PropertyA)(node, property, type, buffer, length, flags);
}

CONFIGRET WINAPI HookCM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags)
{
    if (Enter(FaultCM_Get_DevNode_Status, CALLER)) {
        *status = *problem = Unwritten;
        return CR_NO_SUCH_DEVINST;
    }
    return REAL(CM_Get_DevNode_Status)(status, problem, node, flags);
}

CONFIGRET WINAPI HookCM_Get_Device_ID_ListA(PCSTR filter, PCHAR buffer, ULONG length, ULONG flags)
{
    switch (Enter(FaultCM_Get_Device_ID_ListA, CALLER)) {
    case 1:
        return CR_REGISTRY_ERROR;
    case 2:
        return CR_BUFFER_SMALL;  // a device arrived since the size was asked
    }
    return REAL(CM_Get_Device_ID_ListA)(filter, buffer, length, flags);
}

CONFIGRET WINAPI HookCM_Get_Device_ID_List_SizeA(PULONG length, PCSTR filter, ULONG flags)
{
    if (Enter(FaultCM_Get_Device_ID_List_SizeA, CALLER)) {
        *length = Unwritten;
        return CR_REGISTRY_ERROR;
    }
    return REAL(CM_Get_Device_ID_List_SizeA)(length, filter, flags);
}

CONFIGRET WINAPI HookCM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags)
{
    if (Enter(FaultCM_Locate_DevNodeA, CALLER)) {
        *node = Unwritten;
        return CR_NO_SUCH_DEVNODE;
    }
    return REAL(CM_Locate_DevNodeA)(node, id, flags);
}

CONFIGRET WINAPI HookCM_Open_DevNode_Key(DEVINST node, REGSAM access, ULONG profile,
                                         REGDISPOSITION disposition, PHKEY key, ULONG flags)
{
    switch (Enter(FaultCM_Open_DevNode_Key, CALLER)) {
    case 1:
        return CR_NO_SUCH_REGISTRY_KEY;
    case 2:
        return CR_REGISTRY_ERROR;
    }
    const CONFIGRET result = REAL(CM_Open_DevNode_Key)(node, access, profile, disposition, key, flags);
    if (result == CR_SUCCESS)
        g_control->openKeys++;
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

DWORD WINAPI HookGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    switch (Enter(FaultGetModuleFileNameA, CALLER)) {
    case 1:
        return Fail<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY);
    case 2:
        // Windows XP fills the whole buffer and leaves it unterminated.
        memset(buffer, 'x', size);
        return Fail<DWORD>(size, ERROR_INSUFFICIENT_BUFFER);
    }
    return REAL(GetModuleFileNameA)(module, buffer, size);
}

BOOL WINAPI HookGetSystemPowerStatus(LPSYSTEM_POWER_STATUS status)
{
    if (Enter(FaultGetSystemPowerStatus, CALLER))
        return Fail<BOOL>(FALSE, ERROR_GEN_FAILURE);
    return REAL(GetSystemPowerStatus)(status);
}

BOOL WINAPI HookGetVersionExA(LPOSVERSIONINFOA info)
{
    if (Enter(FaultGetVersionExA, CALLER))
        return Fail<BOOL>(FALSE, ERROR_INSUFFICIENT_BUFFER);
    return REAL(GetVersionExA)(info);
}

UINT WINAPI HookGetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    switch (Enter(FaultGetWindowsDirectoryA, CALLER)) {
    case 1:
        return Fail<UINT>(0, ERROR_NOT_ENOUGH_MEMORY);
    case 2:
        return size + 40;
    }
    return REAL(GetWindowsDirectoryA)(buffer, size);
}

int WINAPI HookWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int textLength,
                                   LPSTR buffer, int size, LPCCH defaultChar, LPBOOL usedDefault)
{
    if (Enter(FaultWideCharToMultiByte, CALLER)) {
        if (buffer && size > 0)
            memset(buffer, 'x', size);
        return Fail<int>(0, ERROR_INSUFFICIENT_BUFFER);
    }
    return REAL(WideCharToMultiByte)(codePage, flags, text, textLength, buffer, size, defaultChar,
                                     usedDefault);
}

void *__cdecl HookMalloc(size_t size)
{
    if (Enter(FaultMalloc, CALLER)) {
        errno = ENOMEM;
        return NULL;
    }
    void *block = REAL(malloc)(size);
    if (block) {
        g_control->heapBlocks++;
        memset(block, Unwritten & 0xFF, size);  // as a debug heap hands blocks out
    }
    return block;
}

void __cdecl HookFree(void *block)
{
    if (block)
        g_control->heapBlocks--;
    REAL(free)(block);
}

HRESULT WINAPI HookCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID *out)
{
    if (Enter(FaultCoCreateInstance, CALLER)) {
        *out = NULL;
        return REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = REAL(CoCreateInstance)(clsid, outer, context, iid, out);
    if (SUCCEEDED(hr) && *out)
        Received(*out, 3, (void *)HookCreateClassEnumerator);
    return hr;
}

// An open that ends without reaching Set failed; if its CoInitialize answered
// S_OK, that initialisation stays in force.
void SettleOpen(void)
{
    if (g_openPending && g_openOwnsCom)
        g_control->failedOpensHolding++;
    g_openPending = 0;
}

HRESULT WINAPI HookCoInitialize(LPVOID reserved)
{
    switch (Enter(FaultCoInitialize, CALLER)) {
    case 1:
        return E_OUTOFMEMORY;
    case 2:
        // Another party put the thread into the multithreaded apartment first,
        // so the platform itself gives the answer.
        CoInitializeEx(NULL, COINIT_MULTITHREADED);
        break;
    }
    const HRESULT hr = REAL(CoInitialize)(reserved);
    SettleOpen();
    g_openPending = 1;
    g_openOwnsCom = hr == S_OK;
    if (hr == S_OK)
        g_control->comOwned++;
    return hr;
}

void WINAPI HookCoUninitialize(void)
{
    g_control->comUninitialised++;
    if (g_openPending)
        g_control->uninitialisedByFailedOpen++;
    REAL(CoUninitialize)();
}

HRESULT WINAPI HookVariantClear(VARIANTARG *value)
{
    if (value->vt == VT_BSTR && value->bstrVal)
        g_control->strings--;
    return REAL(VariantClear)(value);
}

BOOLEAN WINAPI HookGetCurrentPowerPolicies(PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy)
{
    if (Enter(FaultGetCurrentPowerPolicies, CALLER))
        return Fail<BOOLEAN>(FALSE, ERROR_ACCESS_DENIED);
    return REAL(GetCurrentPowerPolicies)(global, policy);
}

BOOL WINAPI HookSetupDiEnumDeviceInfo(HDEVINFO devices, DWORD index, PSP_DEVINFO_DATA device)
{
    if (Enter(FaultSetupDiEnumDeviceInfo, CALLER))
        return Fail<BOOL>(FALSE, ERROR_NO_MORE_ITEMS);
    return REAL(SetupDiEnumDeviceInfo)(devices, index, device);
}

HDEVINFO WINAPI HookSetupDiGetClassDevsA(const GUID *setupClass, PCSTR enumerator, HWND parent,
                                         DWORD flags)
{
    if (Enter(FaultSetupDiGetClassDevsA, CALLER))
        return Fail<HDEVINFO>(INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY);
    HDEVINFO devices = REAL(SetupDiGetClassDevsA)(setupClass, enumerator, parent, flags);
    if (devices != INVALID_HANDLE_VALUE)
        g_control->deviceLists++;
    return devices;
}

BOOL WINAPI HookSetupDiDestroyDeviceInfoList(HDEVINFO devices)
{
    const BOOL destroyed = REAL(SetupDiDestroyDeviceInfoList)(devices);
    if (destroyed)
        g_control->deviceLists--;
    return destroyed;
}

long WINAPI HookBroadcastSystemMessageA(DWORD flags, LPDWORD recipients, UINT message, WPARAM wParam,
                                        LPARAM lParam)
{
    if (Enter(FaultBroadcastSystemMessageA, CALLER))
        return Fail<long>(-1, ERROR_NOT_ENOUGH_MEMORY);
    return REAL(BroadcastSystemMessageA)(flags, recipients, message, wParam, lParam);
}

HWND WINAPI HookCreateDialogParamA(HINSTANCE instance, LPCSTR name, HWND parent, DLGPROC procedure,
                                   LPARAM parameter)
{
    if (Enter(FaultCreateDialogParamA, CALLER))
        return Fail<HWND>(NULL, ERROR_NOT_ENOUGH_MEMORY);
    return REAL(CreateDialogParamA)(instance, name, parent, procedure, parameter);
}

BOOL WINAPI HookGetMessageA(LPMSG message, HWND window, UINT first, UINT last)
{
    if (Enter(FaultGetMessageA, CALLER))
        return Fail<BOOL>(-1, ERROR_INVALID_PARAMETER);
    return REAL(GetMessageA)(message, window, first, last);
}

BOOL WINAPI HookKillTimer(HWND window, UINT_PTR id)
{
    if (Enter(FaultKillTimer, CALLER))
        return Fail<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
    return REAL(KillTimer)(window, id);
}

UINT WINAPI HookRegisterWindowMessageA(LPCSTR name)
{
    if (Enter(FaultRegisterWindowMessageA, CALLER))
        return Fail<UINT>(0, ERROR_NOT_ENOUGH_MEMORY);
    return REAL(RegisterWindowMessageA)(name);
}

UINT_PTR WINAPI HookSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure)
{
    if (Enter(FaultSetTimer, CALLER))
        return Fail<UINT_PTR>(0, ERROR_NOT_ENOUGH_MEMORY);
    return REAL(SetTimer)(window, id, period, procedure);
}

// What the process holds as it ends.
void WINAPI HookExitProcess(UINT code)
{
    FaultControl *c = g_control;
    SettleOpen();
    typedef LONG(WINAPI * LiveCount)(void);
    HMODULE camera = GetModuleHandleA(SIM_CAMERA_DLL_NAME);
    LiveCount live = camera ? (LiveCount)GetProcAddress(camera, SIM_CAMERA_LIVE_OBJECTS_EXPORT) : NULL;
    c->liveFilters = live ? live() : 0;
    c->endPhase = c->phase;
    c->ended = 1;
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

struct Import
{
    const char *name;
    void *hook;
};

#define IMPORT(name, hook) {#name, (void *)hook}
const Import g_imports[ImportCount] = {
    IMPORT(RegOpenKeyExA, HookRegOpenKeyExA),
    IMPORT(RegQueryValueExA, HookRegQueryValueExA),
    IMPORT(RegSetValueExA, HookRegSetValueExA),
    IMPORT(RegDeleteValueA, HookRegDeleteValueA),
    IMPORT(RegCloseKey, HookRegCloseKey),
    IMPORT(CM_Get_DevNode_Registry_PropertyA, HookCM_Get_DevNode_Registry_PropertyA),
    IMPORT(CM_Get_DevNode_Status, HookCM_Get_DevNode_Status),
    IMPORT(CM_Get_Device_ID_ListA, HookCM_Get_Device_ID_ListA),
    IMPORT(CM_Get_Device_ID_List_SizeA, HookCM_Get_Device_ID_List_SizeA),
    IMPORT(CM_Locate_DevNodeA, HookCM_Locate_DevNodeA),
    IMPORT(CM_Open_DevNode_Key, HookCM_Open_DevNode_Key),
    IMPORT(GetFullPathNameA, HookGetFullPathNameA),
    IMPORT(GetModuleFileNameA, HookGetModuleFileNameA),
    IMPORT(GetSystemPowerStatus, HookGetSystemPowerStatus),
    IMPORT(GetVersionExA, HookGetVersionExA),
    IMPORT(GetWindowsDirectoryA, HookGetWindowsDirectoryA),
    IMPORT(WideCharToMultiByte, HookWideCharToMultiByte),
    IMPORT(ExitProcess, HookExitProcess),
    IMPORT(malloc, HookMalloc),
    IMPORT(free, HookFree),
    IMPORT(CoCreateInstance, HookCoCreateInstance),
    IMPORT(CoInitialize, HookCoInitialize),
    IMPORT(CoUninitialize, HookCoUninitialize),
    IMPORT(VariantClear, HookVariantClear),
    IMPORT(GetCurrentPowerPolicies, HookGetCurrentPowerPolicies),
    IMPORT(SetupDiEnumDeviceInfo, HookSetupDiEnumDeviceInfo),
    IMPORT(SetupDiGetClassDevsA, HookSetupDiGetClassDevsA),
    IMPORT(SetupDiDestroyDeviceInfoList, HookSetupDiDestroyDeviceInfoList),
    IMPORT(BroadcastSystemMessageA, HookBroadcastSystemMessageA),
    IMPORT(CreateDialogParamA, HookCreateDialogParamA),
    IMPORT(GetMessageA, HookGetMessageA),
    IMPORT(KillTimer, HookKillTimer),
    IMPORT(RegisterWindowMessageA, HookRegisterWindowMessageA),
    IMPORT(SetTimer, HookSetTimer),
};

// Swaps each import of the executable named in g_imports; an entry's original
// goes to g_real at the same index.
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
    g_imageBase = (BYTE *)GetModuleHandleA(NULL);
    SwapImports();
    SetUnhandledExceptionFilter(RecordCrash);
    return TRUE;
}
