// The stand-in camera driver: a DirectShow capture filter that the system
// device enumerator creates for every camera the kit registered. It knows its
// device through IPersistPropertyBag::Load (devenum hands it the moniker's
// property bag when binding), accepts the vendor property request whatever
// its event word holds (what the real driver does with each value is not
// known here), and records every Set in the driver log.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <strmif.h>
#include <stdio.h>
#include <string.h>

#include "simkit.h"
#include "sim_shared.h"

namespace {

const CLSID kFilterClsid = {0xf218ca7a, 0x3d39, 0x4989, {0x86, 0x49, 0x06, 0x1b, 0xe4, 0x18, 0x98, 0x67}};
const GUID kVendorSet = {0xcca349da, 0x4fe2, 0x423a, {0xaa, 0x50, 0xe6, 0xf3, 0x52, 0x57, 0x5c, 0xbc}};
const DWORD kVendorProperty = 0x807;
const DWORD kVendorRequestSize = 36;

// What a kernel-streaming proxy answers for requests the driver does not
// implement (winerror.h values of E_PROP_SET_UNSUPPORTED / _ID_).
const HRESULT kSetUnsupported = (HRESULT)0x80070492;
const HRESULT kIdUnsupported = (HRESULT)0x80070490;

// The live count sits in a small mapping named after the process, so that a
// benchmark can read it from outside, the way a driver's object count is
// read; until the mapping exists it is kept here.
LONG g_localLiveFilters = 0;
LONG *g_liveFilters = &g_localLiveFilters;
HANDLE g_liveMapping = NULL;
LONG g_serverLocks = 0;

void PublishLiveFilterCount(void)
{
    char name[64];
    wsprintfA(name, SIM_CAMERA_LIVE_MAPPING_FORMAT, GetCurrentProcessId());
    g_liveMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(LONG), name);
    if (g_liveMapping == NULL)
        return;
    LONG *view = (LONG *)MapViewOfFile(g_liveMapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG));
    if (view == NULL)
    {
        CloseHandle(g_liveMapping);
        g_liveMapping = NULL;
        return;
    }
    *view = g_localLiveFilters;
    g_liveFilters = view;
}

void WithdrawLiveFilterCount(void)
{
    if (g_liveMapping == NULL)
        return;
    UnmapViewOfFile(g_liveFilters);
    g_liveFilters = &g_localLiveFilters;
    CloseHandle(g_liveMapping);
    g_liveMapping = NULL;
}

void AppendDriverLog(int device, REFGUID set, DWORD id, const void *instance, DWORD instanceSize,
                     const void *data, DWORD dataSize, HRESULT result)
{
    uint32_t words[9] = {0};
    if (data != NULL)
        memcpy(words, data, dataSize < sizeof(words) ? dataSize : sizeof(words));

    char line[400];
    int length = _snprintf(line, sizeof(line),
                           "device=%d set={%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X} id=0x%lx "
                           "instance=%lu data=%lu same=%d "
                           "words=%lu,%lu,%lu,%lu,%lu,%lu,%lu,%lu,%lu result=0x%08lx\r\n",
                           device, (unsigned long)set.Data1, set.Data2, set.Data3, set.Data4[0], set.Data4[1],
                           set.Data4[2], set.Data4[3], set.Data4[4], set.Data4[5], set.Data4[6], set.Data4[7],
                           (unsigned long)id, (unsigned long)instanceSize,
                           (unsigned long)dataSize, instance != NULL && instance == data ? 1 : 0,
                           (unsigned long)words[0], (unsigned long)words[1], (unsigned long)words[2],
                           (unsigned long)words[3], (unsigned long)words[4], (unsigned long)words[5],
                           (unsigned long)words[6], (unsigned long)words[7], (unsigned long)words[8],
                           (unsigned long)result);
    if (length < 0)
        return;

    CreateDirectoryA(SIM_DRIVER_LOG_DIR, NULL);
    // Opened per record so that a test reading the log, or a process that
    // dies, never loses a line; FILE_APPEND_DATA keeps concurrent writers whole.
    HANDLE file = CreateFileA(SIM_DRIVER_LOG_PATH, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

class SimCaptureFilter : public IBaseFilter, public IKsPropertySet, public IPersistPropertyBag
{
public:
    SimCaptureFilter() : m_refs(1), m_device(-1), m_flags(0) { InterlockedIncrement(g_liveFilters); }
    virtual ~SimCaptureFilter() { InterlockedDecrement(g_liveFilters); }

    // IUnknown, shared by the three interfaces.
    STDMETHODIMP QueryInterface(REFIID iid, void **out)
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPersist) || IsEqualIID(iid, IID_IMediaFilter) ||
            IsEqualIID(iid, IID_IBaseFilter))
            *out = static_cast<IBaseFilter *>(this);
        else if (IsEqualIID(iid, IID_IKsPropertySet) && (m_flags & SimCameraNoPropertySet) == 0)
            *out = static_cast<IKsPropertySet *>(this);
        else if (IsEqualIID(iid, IID_IPersistPropertyBag))
            *out = static_cast<IPersistPropertyBag *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() { return (ULONG)InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release()
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return (ULONG)refs;
    }

    // IPersist (through both IBaseFilter and IPersistPropertyBag).
    STDMETHODIMP GetClassID(CLSID *clsid)
    {
        if (clsid == NULL)
            return E_POINTER;
        *clsid = kFilterClsid;
        return S_OK;
    }

    // IMediaFilter / IBaseFilter: a filter that is never put into a graph.
    STDMETHODIMP Stop() { return S_OK; }
    STDMETHODIMP Pause() { return S_OK; }
    STDMETHODIMP Run(REFERENCE_TIME) { return S_OK; }
    STDMETHODIMP GetState(DWORD, FILTER_STATE *state)
    {
        if (state == NULL)
            return E_POINTER;
        *state = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock *) { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock **clock)
    {
        if (clock == NULL)
            return E_POINTER;
        *clock = NULL;
        return S_OK;
    }
    STDMETHODIMP EnumPins(IEnumPins **pins)
    {
        if (pins != NULL)
            *pins = NULL;
        return E_NOTIMPL;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin **pin)
    {
        if (pin != NULL)
            *pin = NULL;
        return E_FAIL; // a filter without pins finds none
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *info)
    {
        if (info == NULL)
            return E_POINTER;
        memset(info, 0, sizeof(*info));
        lstrcpynW(info->achName, L"Simulated capture filter", MAX_FILTER_NAME);
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph *, LPCWSTR) { return S_OK; }
    STDMETHODIMP QueryVendorInfo(LPWSTR *info)
    {
        if (info != NULL)
            *info = NULL;
        return E_NOTIMPL;
    }

    // IKsPropertySet: the vendor's power-event property and nothing else.
    STDMETHODIMP Set(REFGUID set, DWORD id, LPVOID instance, DWORD instanceSize, LPVOID data, DWORD dataSize)
    {
        HRESULT result = S_OK;
        if (!IsEqualGUID(set, kVendorSet))
            result = kSetUnsupported;
        else if (id != kVendorProperty)
            result = kIdUnsupported;
        else if (data == NULL || dataSize < kVendorRequestSize)
            result = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        else if (m_flags & SimCameraRejectSet)
            result = kIdUnsupported;
        AppendDriverLog(m_device, set, id, instance, instanceSize, data, dataSize, result);
        return result;
    }
    STDMETHODIMP Get(REFGUID set, DWORD, LPVOID, DWORD, LPVOID, DWORD, DWORD *returned)
    {
        if (returned != NULL)
            *returned = 0;
        return IsEqualGUID(set, kVendorSet) ? kIdUnsupported : kSetUnsupported;
    }
    STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD *support)
    {
        if (support == NULL)
            return E_POINTER;
        *support = 0;
        if (!IsEqualGUID(set, kVendorSet))
            return kSetUnsupported;
        if (id != kVendorProperty)
            return kIdUnsupported;
        *support = KSPROPERTY_SUPPORT_SET;
        return S_OK;
    }

    // IPersistPropertyBag: learn which registered camera this object is.
    STDMETHODIMP InitNew() { return S_OK; }
    STDMETHODIMP Load(IPropertyBag *bag, IErrorLog *log)
    {
        if (bag == NULL)
            return E_POINTER;
        m_device = ReadNumber(bag, SIM_CAMERA_INDEX_VALUE, log, -1);
        m_flags = (unsigned)ReadNumber(bag, SIM_CAMERA_FLAGS_VALUE, log, 0);
        return S_OK;
    }
    STDMETHODIMP Save(IPropertyBag *, BOOL, BOOL) { return E_NOTIMPL; }

private:
    static int ReadNumber(IPropertyBag *bag, const WCHAR *name, IErrorLog *log, int missing)
    {
        VARIANT value;
        VariantInit(&value);
        V_VT(&value) = VT_I4;
        if (FAILED(bag->Read(name, &value, log)))
            return missing;
        int number = V_VT(&value) == VT_I4 ? (int)V_I4(&value) : missing;
        VariantClear(&value);
        return number;
    }

    LONG m_refs;
    int m_device;
    unsigned m_flags;
};

class SimFilterFactory : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out)
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    // The factory is a static object; its references keep the server loaded.
    STDMETHODIMP_(ULONG) AddRef() { return (ULONG)InterlockedIncrement(&g_serverLocks) + 1; }
    STDMETHODIMP_(ULONG) Release() { return (ULONG)InterlockedDecrement(&g_serverLocks) + 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out)
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (outer != NULL)
            return CLASS_E_NOAGGREGATION;
        SimCaptureFilter *filter = new SimCaptureFilter();
        HRESULT hr = filter->QueryInterface(iid, out);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock)
    {
        if (lock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }
};

SimFilterFactory g_factory;

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        PublishLiveFilterCount();
    else if (reason == DLL_PROCESS_DETACH)
        WithdrawLiveFilterCount();
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    if (out == NULL)
        return E_POINTER;
    *out = NULL;
    if (!IsEqualCLSID(clsid, kFilterClsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

HRESULT WINAPI DllCanUnloadNow(void)
{
    return *g_liveFilters == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

LONG WINAPI SimCamLiveObjects(void)
{
    return *g_liveFilters;
}

} // extern "C"
