// The probe the fault-injection test loads into a monitor, status report or
// custom-action host process before its first instruction. It swaps the
// executable's (or the custom-action DLL's) own import entries (the
// platform's internal calls stay untouched) and the methods of the COM
// objects it receives for wrappers that trace every call, fail the planned
// ones as the platform documents, and account for what the process acquires
// and releases, all in the control block in the mapping named after the
// process; without one the probe does nothing.

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
#include "import_table.h"
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

// Traces the call with the failure classes its arguments allow (a bit per
// class: an answer that depends on the input, as a size needed only where a
// buffer is given); returns the class planned for it (1 to 3), or 0 to let
// it run.
int Enter(FaultFunction function, void *site, LONG classes = 7)
{
    FaultControl *c = g_control;
    const LONG phase = c->phase;
    const LONG index = c->callCount++;
    if (index < FaultCallCapacity)
        c->calls[index] = FaultCall{function, phase, Relative(site), 0, classes};
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

// Gives the code of the failure being given now, where the platform gives it.
void GiveCode(void)
{
    const FaultClass &failure = FaultFunctions[g_firing->function].failure[g_firing->variant - 1];
    g_firing->code = failure.code;
    if (failure.kind == CodeInLastError && failure.code)
        SetLastError(failure.code);
    if (failure.kind == CodeInErrno)
        errno = failure.code;
}

// The failure's result, as the list gives it, or as the hook makes it.
template <typename T>
T Failed(void)
{
    GiveCode();
    return (T)FaultFunctions[g_firing->function].failure[g_firing->variant - 1].result;
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
// product's calls are counted and may be failed (variant: the class planned),
// everybody else's pass.
#define METHOD(identifier, slot, ...)                                          \
    typedef HRESULT(STDMETHODCALLTYPE * Method)(__VA_ARGS__);                 \
    Method original = (Method)OriginalMethod(self, slot);                     \
    const bool product = FromProduct(CALLER);                                 \
    const int variant = product ? Enter(Fault##identifier, CALLER) : 0

void Received(void *object, REFIID iid);

// A failed call that hands out an interface hands out NULL.
template <typename T>
HRESULT FailedOut(T **out)
{
    *out = NULL;
    return Failed<HRESULT>();
}

// What a call that succeeded handed the product out is watched from then on.
template <typename T>
HRESULT HandedOut(HRESULT hr, bool product, T **out, REFIID iid)
{
    if (product && SUCCEEDED(hr) && *out)
        Received(*out, iid);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookQueryInterface(IUnknown *self, REFIID iid, void **out)
{
    METHOD(QueryInterface, 0, IUnknown *, REFIID, void **);
    if (variant)
        return FailedOut(out);
    return HandedOut(original(self, iid, out), product, out, iid);
}

// AddRef and Release: a reference taken, one given back.
template <int Slot, void (*Account)(HeldKind, void *)>
ULONG STDMETHODCALLTYPE HookReference(IUnknown *self)
{
    typedef ULONG(STDMETHODCALLTYPE * Method)(IUnknown *);
    if (FromProduct(CALLER))
        Account(HeldReferences, self);
    return ((Method)OriginalMethod(self, Slot))(self);
}

HRESULT STDMETHODCALLTYPE HookPropertySetSet(IKsPropertySet *self, REFGUID set, DWORD id,
                                             LPVOID instance, DWORD instanceSize, LPVOID data,
                                             DWORD dataSize)
{
    METHOD(PropertySetSet, 3, IKsPropertySet *, REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD);
    if (variant)
        return Failed<HRESULT>();
    return original(self, set, id, instance, instanceSize, data, dataSize);
}

HRESULT STDMETHODCALLTYPE HookPropertyBagRead(IPropertyBag *self, LPCOLESTR name, VARIANT *value,
                                              IErrorLog *log)
{
    METHOD(PropertyBagRead, 3, IPropertyBag *, LPCOLESTR, VARIANT *, IErrorLog *);
    if (variant)
        return Failed<HRESULT>();
    const HRESULT hr = original(self, name, value, log);
    if (product && SUCCEEDED(hr) && value->vt == VT_BSTR && value->bstrVal)
        Acquired(HeldStrings, value->bstrVal);
    return hr;
}

// IMoniker's binds: the object or storage it names, a reference received.
#define BIND(identifier, slot)                                                         \
    HRESULT STDMETHODCALLTYPE Hook##identifier(IMoniker *self, IBindCtx *context,      \
                                               IMoniker *left, REFIID iid, void **out) \
    {                                                                                  \
        METHOD(identifier, slot, IMoniker *, IBindCtx *, IMoniker *, REFIID, void **); \
        if (variant)                                                                   \
            return FailedOut(out);                                                     \
        return HandedOut(original(self, context, left, iid, out), product, out, iid);  \
    }
BIND(BindToObject, 8)
BIND(BindToStorage, 9)

// S_FALSE: fewer than asked, here none.
HRESULT STDMETHODCALLTYPE HookEnumMonikerNext(IEnumMoniker *self, ULONG count, IMoniker **monikers,
                                              ULONG *fetched)
{
    METHOD(EnumMonikerNext, 3, IEnumMoniker *, ULONG, IMoniker **, ULONG *);
    if (variant && fetched)
        *fetched = 0;
    if (variant)
        return Failed<HRESULT>();
    ULONG got = 0;
    const HRESULT hr = original(self, count, monikers, &got);
    if (fetched)
        *fetched = got;
    for (ULONG i = 0; product && SUCCEEDED(hr) && i < got; i++)
        Received(monikers[i], IID_IMoniker);
    return hr;
}

// S_FALSE: the category is empty, and no enumerator.
HRESULT STDMETHODCALLTYPE HookCreateClassEnumerator(ICreateDevEnum *self, REFCLSID category,
                                                    IEnumMoniker **out, DWORD flags)
{
    METHOD(CreateClassEnumerator, 3, ICreateDevEnum *, REFCLSID, IEnumMoniker **, DWORD);
    if (variant)
        return FailedOut(out);
    return HandedOut(original(self, category, out, flags), product, out, IID_IEnumMoniker);
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
                   {&IID_IEnumMoniker, 3, (void *)HookEnumMonikerNext},
                   {&IID_IMoniker, 8, (void *)HookBindToObject},
                   {&IID_IMoniker, 9, (void *)HookBindToStorage},
                   {&IID_IPropertyBag, 3, (void *)HookPropertyBagRead},
                   {&__uuidof(IKsPropertySet), 3, (void *)HookPropertySetSet}};
    Acquired(HeldReferences, object);
    SwapMethod(object, 0, (void *)HookQueryInterface);
    SwapMethod(object, 1, (void *)HookReference<1, Acquired>);
    SwapMethod(object, 2, (void *)HookReference<2, Released>);
    for (const auto &method : watched) {
        if (IsEqualIID(iid, *method.iid))
            SwapMethod(object, method.slot, method.hook);
    }
}

// ---- Imports

// The original of each import swapped, at its function's index.
void *g_real[FaultFunctionCount];

#define REAL(name) ((decltype(&::name))g_real[Fault##name])

// The hook of an import that fails as the list says, whatever its
// parameters. One that hands out what the process must give back (K, unless
// HeldKindCount) holds it from then on, unless it is the failure's result.
template <FaultFunction F, int K, typename R, typename... A>
R WINAPI Hook(A... arguments)
{
    if (Enter(F, CALLER))
        return Failed<R>();
    const R result = ((R(WINAPI *)(A...))g_real[F])(arguments...);
    if (K < HeldKindCount && result != (R)FaultFunctions[F].failure[0].result)
        Acquired((HeldKind)K, (void *)(ULONG_PTR)result);
    return result;
}

template <FaultFunction F, int K, typename R, typename... A>
void *HookOf(R(WINAPI *)(A...))
{
    return (void *)&Hook<F, K, R, A...>;
}

#define FAILS(name) void *const Hook##name = HookOf<Fault##name, HeldKindCount>(&::name);
#define OPENS(name, kind) void *const Hook##name = HookOf<Fault##name, kind>(&::name);

// An import hooked by hand: classes are those its arguments allow, effect
// what a failure does besides, a statement, which may return an answer of
// the hook's own making (variant is the class planned).
#define FAILABLE(type, name, parameters, arguments, classes, effect) \
    type WINAPI Hook##name parameters                                \
    {                                                                \
        const int variant = Enter(Fault##name, CALLER, classes);     \
        if (variant) {                                               \
            effect;                                                  \
            return Failed<type>();                                   \
        }                                                            \
        return REAL(name) arguments;                                 \
    }

// The answer "size needed", the second class, where a buffer is given: it
// is 40 bytes short.
#define SIZE_NEEDED \
    if (variant == 2) \
    return size + 40
#define SIZED(type, name, parameters, arguments) \
    FAILABLE(type, name, parameters, arguments, size ? 3 : 1, SIZE_NEEDED)

// An import that hands out a key or handle in *out, held from then on: a
// key when the result is 0 (ERROR_SUCCESS, CR_SUCCESS), a handle when it is
// not (TRUE).
#define OPENS_OUT(type, name, parameters, arguments, out, kind) \
    type WINAPI Hook##name parameters                           \
    {                                                           \
        if (Enter(Fault##name, CALLER))                         \
            return Failed<type>();                              \
        const type result = REAL(name) arguments;               \
        if ((result == 0) == (kind == HeldKeys))                \
            Acquired(kind, *out);                               \
        return result;                                          \
    }

// The calls that give back what the process held; what held gives for x is
// given back, NULL (a NULL block, a variant without a BSTR) is nothing.
#define RELEASES(type, convention, name, parameter, kind, held) \
    type convention Hook##name(parameter x)                     \
    {                                                           \
        if (held)                                               \
            Released(kind, (void *)(held));                     \
        return REAL(name)(x);                                   \
    }

FAILS(RegSetValueExA) FAILS(RegDeleteValueA) FAILS(GetSystemPowerStatus)
FAILS(GetCurrentPowerPolicies) FAILS(BroadcastSystemMessageA) FAILS(CreateDialogParamA)
FAILS(GetMessageA) FAILS(RegisterWindowMessageA) FAILS(SetupDiEnumDeviceInfo)
FAILS(CM_Get_Device_ID_ListA) FAILS(GetFileInformationByHandle) FAILS(EnumProcessModules)
FAILS(GetTokenInformation) FAILS(LookupAccountSidA) FAILS(CM_Get_Device_IDA)
FAILS(GetModuleFileNameExA) FAILS(GetFileAttributesA)
FAILS(GetFileVersionInfoSizeA) FAILS(GetFileVersionInfoA) FAILS(VerQueryValueA) FAILS(GetProcAddress)
FAILS(MsiEnumRelatedProductsA) FAILS(MsiGetProductInfoA)
OPENS(SetupDiGetClassDevsA, HeldDeviceLists) OPENS(OpenProcess, HeldHandles)
OPENS(CreateToolhelp32Snapshot, HeldHandles)

OPENS_OUT(LONG, RegOpenKeyExA, (HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key),
          (root, path, options, access, key), key, HeldKeys)
OPENS_OUT(CONFIGRET, CM_Open_DevNode_Key, (DEVINST node, REGSAM access, ULONG profile,
          REGDISPOSITION disposition, PHKEY key, ULONG flags),
          (node, access, profile, disposition, key, flags), key, HeldKeys)
OPENS_OUT(BOOL, OpenProcessToken, (HANDLE process, DWORD access, PHANDLE token), (process, access, token),
          token, HeldHandles)
OPENS_OUT(BOOL, OpenThreadToken, (HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token),
          (thread, access, asSelf, token), token, HeldHandles)
OPENS_OUT(LONG, RegCreateKeyExA, (HKEY root, LPCSTR path, DWORD reserved, LPSTR keyClass,
          DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
          LPDWORD disposition),
          (root, path, reserved, keyClass, options, access, security, key, disposition), key,
          HeldKeys)
OPENS(MsiCreateRecord, HeldInstallerHandles)
RELEASES(UINT, WINAPI, MsiCloseHandle, MSIHANDLE, HeldInstallerHandles, x)
RELEASES(LONG, WINAPI, RegCloseKey, HKEY, HeldKeys, x)
RELEASES(BOOL, WINAPI, SetupDiDestroyDeviceInfoList, HDEVINFO, HeldDeviceLists, x)

// Windows promises nothing about the last error after a call that succeeded:
// here CloseHandle leaves a pattern, so a caller that reads the error of an
// earlier call after it shows the pattern, not the code.
BOOL WINAPI HookCloseHandle(HANDLE x)
{
    if (x)
        Released(HeldHandles, (void *)x);
    const BOOL closed = REAL(CloseHandle)(x);
    if (closed)
        SetLastError(Unwritten);
    return closed;
}
RELEASES(HRESULT, WINAPI, VariantClear, VARIANTARG *, HeldStrings, x->vt == VT_BSTR ? x->bstrVal : NULL)
RELEASES(void, __cdecl, free, void *, HeldHeapBlocks, x)

// The value is larger than the buffer: the buffer's content is undefined
// then, here a pattern without a terminator, and the size is the value's.
void MoreData(LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (data && size)
        memset(data, 0x23, *size);
    if (type)
        *type = REG_SZ;
    if (size)
        *size += 40;
}

// Windows XP fills the whole buffer and leaves it unterminated when it is too short.
DWORD CutShort(LPSTR buffer, DWORD size)
{
    memset(buffer, 'x', size);
    GiveCode();
    return size;
}

FAILABLE(LONG, RegQueryValueExA, (HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
         LPDWORD size), (key, name, reserved, type, data, size), data ? 7 : 5, if (variant == 2) MoreData(type, data, size))
FAILABLE(CONFIGRET, CM_Get_DevNode_Registry_PropertyA, (DEVINST node, ULONG property, PULONG type,
         PVOID buffer, PULONG length, ULONG flags), (node, property, type, buffer, length, flags), 7,
         if (variant == 2) *length += 64)
FAILABLE(CONFIGRET, CM_Get_DevNode_Status, (PULONG status, PULONG problem, DEVINST node, ULONG flags),
         (status, problem, node, flags), 3, *status = *problem = Unwritten)
FAILABLE(CONFIGRET, CM_Get_Device_ID_List_SizeA, (PULONG length, PCSTR filter, ULONG flags),
         (length, filter, flags), 1, *length = Unwritten)
FAILABLE(CONFIGRET, CM_Locate_DevNodeA, (PDEVINST node, DEVINSTID_A id, ULONG flags), (node, id, flags), 3,
         *node = Unwritten)
SIZED(UINT, GetWindowsDirectoryA, (LPSTR buffer, UINT size), (buffer, size))
FAILABLE(DWORD, GetModuleFileNameA, (HMODULE module, LPSTR buffer, DWORD size), (module, buffer, size), 3,
         if (variant == 2) return CutShort(buffer, size))
FAILABLE(int, WideCharToMultiByte, (UINT codePage, DWORD flags, LPCWCH text, int textLength,
         LPSTR buffer, int size, LPCCH defaultChar, LPBOOL usedDefault),
         (codePage, flags, text, textLength, buffer, size, defaultChar, usedDefault), size > 0,
         memset(buffer, 'x', size))
SIZED(DWORD, ExpandEnvironmentStringsA, (LPCSTR source, LPSTR buffer, DWORD size), (source, buffer, size))
SIZED(DWORD, SearchPathA, (LPCSTR path, LPCSTR name, LPCSTR extension, DWORD size, LPSTR buffer,
      LPSTR *part), (path, name, extension, size, buffer, part))

DWORD WINAPI HookGetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR *filePart)
{
    // An ANSI path ends within MAX_PATH characters; reading no further is safe
    // for the product's 260-byte buffers.
    if (strnlen(name, MAX_PATH) == MAX_PATH)
        g_control->unterminatedPaths++;
    const int variant = Enter(FaultGetFullPathNameA, CALLER, size ? 3 : 1);
    SIZE_NEEDED;
    if (variant)
        return Failed<DWORD>();
    return REAL(GetFullPathNameA)(name, size, buffer, filePart);
}

// Windows NT 4.0 before Service Pack 6 refuses the extended record by its
// size ("GetVersionEx": it fails for a dwOSVersionInfoSize it does not take):
// from the failure on, every call with that record fails, the plain one passes
// unless it is failed itself.
BOOL WINAPI HookGetVersionExA(LPOSVERSIONINFOA info)
{
    static FaultPlan *refusing;
    const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA);
    if (Enter(FaultGetVersionExA, CALLER)) {
        refusing = extended ? g_firing : refusing;
        return Failed<BOOL>();
    }
    if (!refusing || !extended)
        return REAL(GetVersionExA)(info);
    g_firing = refusing;
    return Failed<BOOL>();
}

// Windows names a mapped file in the object manager's namespace
// ("\Device\HarddiskVolume1\..."), where Wine gives the DOS device spelling
// that started the process ("\??\C:\..."): the second class answers as Windows,
// the third as Windows does for an image on a share.
DWORD WINAPI HookGetMappedFileNameA(HANDLE process, LPVOID address, LPSTR name, DWORD size)
{
    const int variant = Enter(FaultGetMappedFileNameA, CALLER);
    if (variant == 1)
        return Failed<DWORD>();
    if (variant == 3) {
        lstrcpynA(name, FAULT_SHARE_PATH, size);
        return strlen(name);
    }
    const DWORD length = REAL(GetMappedFileNameA)(process, address, name, size);
    const char drive[] = {length > 6 ? name[4] : '\0', ':', '\0'};
    char device[MAX_PATH], path[2 * MAX_PATH];
    if (!variant || strncmp(name, "\\??\\", 4) != 0 || !QueryDosDeviceA(drive, device, MAX_PATH))
        return length;
    snprintf(path, sizeof path, "%s%s", device, name + 6);
    lstrcpynA(name, path, size);
    return strlen(name);
}

// A heap block the product received, held until it frees it.
void *HeldBlock(void *block)
{
    if (block)
        Acquired(HeldHeapBlocks, block);
    return block;
}

void *__cdecl Hookmalloc(size_t size)
{
    if (Enter(Faultmalloc, CALLER))
        return Failed<void *>();
    void *block = HeldBlock(REAL(malloc)(size));
    if (block)
        memset(block, Unwritten & 0xFF, size);  // as a debug heap hands blocks out
    return block;
}

void *__cdecl Hookcalloc(size_t count, size_t size)
{
    if (Enter(Faultcalloc, CALLER))
        return Failed<void *>();
    return HeldBlock(REAL(calloc)(count, size));
}

// A block that cannot grow stays as it was.
void *__cdecl Hookrealloc(void *block, size_t size)
{
    if (Enter(Faultrealloc, CALLER))
        return Failed<void *>();
    void *grown = REAL(realloc)(block, size);
    if (block && (grown || !size))
        Released(HeldHeapBlocks, block);
    return HeldBlock(grown);
}

HRESULT WINAPI HookCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID *out)
{
    if (Enter(FaultCoCreateInstance, CALLER))
        return FailedOut(out);
    return HandedOut(REAL(CoCreateInstance)(clsid, outer, context, iid, out), true, out, iid);
}

HRESULT WINAPI HookCoInitialize(LPVOID reserved)
{
    const LONG index = g_control->callCount;
    const int variant = Enter(FaultCoInitialize, CALLER);
    // For the other answers another party initialised the thread first, in
    // the multithreaded apartment or in the same one, so that the platform
    // itself gives them.
    if (variant == 2)
        CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (variant == 3)
        REAL(CoInitialize)(NULL);
    HRESULT hr = E_OUTOFMEMORY;
    if (variant == 1)
        hr = Failed<HRESULT>();
    else
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

// The period of the one timer, as the system has it armed, for the test to read.
UINT_PTR WINAPI HookSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure)
{
    if (Enter(FaultSetTimer, CALLER))
        return Failed<UINT_PTR>();
    const UINT_PTR armed = REAL(SetTimer)(window, id, period, procedure);
    if (armed)
        g_control->timerPeriod = period;
    return armed;
}

BOOL WINAPI HookKillTimer(HWND window, UINT_PTR id)
{
    if (Enter(FaultKillTimer, CALLER))
        return Failed<BOOL>();
    const BOOL killed = REAL(KillTimer)(window, id);
    if (killed)
        g_control->timerPeriod = 0;
    return killed;
}

// A file gone, the second class, is swept where a caller acts on it: the
// custom actions' try for writing takes it as free.
HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model)
{
    const size_t length = strlen(name), host = strlen(FAULT_ACTIONS_HOST);
    const bool hostImage = length >= host && lstrcmpiA(name + length - host, FAULT_ACTIONS_HOST) == 0;
    if (strstr(name, FAULT_SHARE_DEVICE) || strstr(name, "\\server\\share\\") || hostImage)
        g_control->offVolumePaths++;
    if (Enter(FaultCreateFileA, CALLER, access & GENERIC_WRITE ? 3 : 1))
        return Failed<HANDLE>();
    HANDLE file = REAL(CreateFileA)(name, access, share, security, disposition, flags, model);
    if (file != INVALID_HANDLE_VALUE)
        Acquired(HeldHandles, file);
    return file;
}

extern DWORD g_clock;
const DWORD ActionDeadline = 10000;

// For a custom action, a snapshot shows only the process the test placed
// there, so that each run sees the same list. The first entry's second class
// comes after the action's deadline, as on a machine too busy to list it.
#define WALKS(name)                                                                       \
    BOOL WINAPI Hook##name(HANDLE snapshot, LPPROCESSENTRY32 entry)                       \
    {                                                                                     \
        const int variant = Enter(Fault##name, CALLER);                                   \
        if (variant == 1)                                                                 \
            return Failed<BOOL>();                                                        \
        g_clock += variant ? ActionDeadline : 0;                                          \
        BOOL more = REAL(name)(snapshot, entry);                                          \
        while (more && g_control->shown && entry->th32ProcessID != g_control->shown)     \
            more = REAL(Process32Next)(snapshot, entry);                                  \
        return more;                                                                      \
    }
WALKS(Process32First)
WALKS(Process32Next)

// ---- The custom actions' own: the session served from the text in the
// control block, the records the platform's, and a clock the test runs.

void AppendLine(const std::string &line)
{
    const std::string session = g_control->session + line + "\n";
    lstrcpynA(g_control->session, session.c_str(), sizeof g_control->session);
}

// A property not set reads as empty, "not an error"; one longer than the
// buffer answers ERROR_MORE_DATA and the size it needs (MsiGetProperty
// function, learn.microsoft.com), here with the buffer holding it cut short.
UINT WINAPI HookMsiGetPropertyA(MSIHANDLE, LPCSTR name, LPSTR value, LPDWORD size)
{
    const int variant = Enter(FaultMsiGetPropertyA, CALLER);
    const std::string key = std::string("\n") + name + "=";
    const char *found = variant == 2 ? NULL : strstr(g_control->session, key.c_str());
    const char *start = found ? found + key.size() : "";
    std::string text(start, strcspn(start, "\n"));
    if (variant == 1)
        text.append(*size, 'x');
    const DWORD room = *size;
    lstrcpynA(value, text.c_str(), room);
    *size = text.size();
    if (variant)
        return Failed<UINT>();
    return text.size() < room ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

UINT WINAPI HookMsiSetPropertyA(MSIHANDLE, LPCSTR name, LPCSTR value)
{
    if (Enter(FaultMsiSetPropertyA, CALLER))
        return Failed<UINT>();
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

BOOL WINAPI HookCreateProcessA(LPCSTR name, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                               LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                               LPVOID environment, LPCSTR folder, LPSTARTUPINFOA startup,
                               LPPROCESS_INFORMATION info)
{
    if (Enter(FaultCreateProcessA, CALLER))
        return Failed<BOOL>();
    const BOOL created = REAL(CreateProcessA)(name, commandLine, process, thread, inherit, flags,
                                              environment, folder, startup, info);
    if (created) {
        Acquired(HeldHandles, info->hProcess);
        Acquired(HeldHandles, info->hThread);
        g_control->started = info->dwProcessId;
    }
    return created;
}

// The clock starts just before it wraps, and a Sleep lets a hundred times
// its interval pass, as on a machine busy enough to take that long: polls
// until a deadline take a few calls.
DWORD g_clock = (DWORD)-500;
HANDLE g_terminated;

DWORD WINAPI HookGetTickCount(void)
{
    return g_clock;
}

void WINAPI HookSleep(DWORD interval)
{
    g_clock += 100 * interval;
}

// "TerminateProcess is asynchronous; it initiates termination and returns
// immediately" (TerminateProcess, learn.microsoft.com): the second class
// begins an end that does not come.
BOOL WINAPI HookTerminateProcess(HANDLE process, UINT code)
{
    const int variant = Enter(FaultTerminateProcess, CALLER);
    if (variant == 2)
        return TRUE;
    if (variant)
        return Failed<BOOL>();
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

#define HOOK_ENTRY(identifier, ...) (void *)Hook##identifier,
void *const g_hooks[FaultFunctionCount] = {FAULT_FUNCTIONS(HOOK_ENTRY)};

// Swaps each import of the executable named in the list; its original goes
// to g_real at its function's index. Every import's name goes to the control
// block.
void SwapImports(void)
{
    IMAGE_NT_HEADERS *headers =
        (IMAGE_NT_HEADERS *)(g_imageBase + ((IMAGE_DOS_HEADER *)g_imageBase)->e_lfanew);
    g_imageSize = headers->OptionalHeader.SizeOfImage;
    ForEachImport(g_imageBase, [](const char *, const char *name, ULONG_PTR *slot) {
        const size_t used = strlen(g_control->imports), length = strlen(name);
        if (used + length + 2 < sizeof g_control->imports)
            sprintf(g_control->imports + used, used ? " %s" : "%s", name);
        for (int i = 0; i < FaultFunctionCount; i++) {
            if (strcmp(name, FaultFunctions[i].name) == 0)
                g_real[i] = SwapImport(slot, g_hooks[i]);
        }
    });
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
