#include "camera/camera_channel.h"

#include <windows.h>
#include <dshow.h>
#include <string.h>

#include "camera/camera_request.h"
#include "common/walk_observer.h"

static_assert(sizeof(CameraPropertySetId) == sizeof(GUID), "property set id must be a GUID");

namespace {

// Returns 1 when the device's name is to be compared: its property bag opened.
// The buffer keeps its content when the name cannot be read, and is emptied
// (returning 0) when the name does not fit, so it always ends in a terminator.
int ReadFriendlyName(IMoniker *moniker, char *name, const CameraChannelObserver *observer)
{
    IPropertyBag *bag = NULL;
    VARIANT value;
    int compare = 1;

    HRESULT hr = moniker->BindToStorage(NULL, NULL, IID_IPropertyBag, (void **)&bag);
    if (FAILED(hr)) {
        TellObserver(observer, Step, CameraChannelStepName, hr);
        return 0;
    }
    // The bag may answer with another type than the one asked for: only a
    // string is converted, and whatever came back is freed.
    value.vt = VT_BSTR;
    value.bstrVal = NULL;
    hr = bag->Read(L"FriendlyName", &value, NULL);
    TellObserver(observer, Step, CameraChannelStepName,
                 SUCCEEDED(hr) && value.vt != VT_BSTR ? DISP_E_TYPEMISMATCH : hr);
    if (SUCCEEDED(hr) && value.vt == VT_BSTR &&
        !WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, name, TextBufferSize, NULL, NULL)) {
        // Too long for the buffer: the partial copy has no terminator.
        TellObserver(observer, Step, CameraChannelStepConvert, (long)GetLastError());
        name[0] = '\0';
        compare = 0;
    }
    VariantClear(&value);
    bag->Release();
    bag = NULL;
    return compare;
}

}  // namespace

int OpenCameraChannel(const char *name, MonitorContext *context,
                      const CameraChannelObserver *observer)
{
    char found[TextBufferSize];
    ICreateDevEnum *devices = NULL;
    IEnumMoniker *monikers = NULL;
    IMoniker *moniker = NULL;
    ULONG fetched;
    int compared;
    int matched;
    HRESULT hr;

    // S_FALSE: already initialised here; RPC_E_CHANGED_MODE: the thread is in
    // another apartment, which serves in-process objects just as well.
    hr = CoInitialize(NULL);
    TellObserver(observer, Step, CameraChannelStepCom, hr);
    if (hr == S_OK)
        context->comInitialised = 1;
    else if (hr != S_FALSE && hr != RPC_E_CHANGED_MODE)
        return 0;

    found[0] = '\0';
    hr = CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                          (void **)&devices);
    TellObserver(observer, Step, CameraChannelStepDeviceEnum, hr);
    if (FAILED(hr))
        return 0;
    hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
    devices->Release();
    devices = NULL;
    TellObserver(observer, Step, CameraChannelStepCategory, hr);
    // An empty category answers S_FALSE and no enumerator.
    if (FAILED(hr) || !monikers)
        return 0;

    monikers->Reset();
    for (;;) {
        // Next answers S_FALSE at the end: what counts is what it fetched.
        fetched = 0;
        const HRESULT next = monikers->Next(1, &moniker, &fetched);
        TellObserver(observer, Step, CameraChannelStepNext, next);
        if (FAILED(next) || fetched != 1 || !moniker)
            break;
        compared = ReadFriendlyName(moniker, found, observer);
        matched = compared && _stricmp(found, name) == 0;
        TellObserver(observer, Device, found, compared, matched);
        if (matched) {
            hr = moniker->BindToObject(NULL, NULL, IID_IBaseFilter, (void **)&context->filter);
            TellObserver(observer, Step, CameraChannelStepBind, hr);
        }
        moniker->Release();
        moniker = NULL;
        if (matched)
            break;
    }
    monikers->Release();
    monikers = NULL;
    if (FAILED(hr))
        context->filter = NULL;
    if (!context->filter)
        return 0;

    hr = context->filter->QueryInterface(IID_IKsPropertySet, (void **)&context->propertySet);
    TellObserver(observer, Step, CameraChannelStepPropertySet, hr);
    if (SUCCEEDED(hr))
        return 1;
    context->propertySet = NULL;
    context->filter->Release();
    context->filter = NULL;
    return 0;
}

int CloseCameraChannel(MonitorContext *context)
{
    if (context->propertySet) {
        context->propertySet->Release();
        context->propertySet = NULL;
    }
    if (context->filter) {
        context->filter->Release();
        context->filter = NULL;
    }
    if (context->comInitialised == 1) {
        CoUninitialize();
        context->comInitialised = 0;
    }
    return 1;
}

int SendCameraEvent(MonitorContext *context, CameraEvent code)
{
    CameraEventRequest request;
    HRESULT hr;

    if (!OpenCameraChannel(context->friendlyName, context))
        return 0;
    BuildCameraEventRequest(code, &request);
    hr = context->propertySet->Set(reinterpret_cast<const GUID &>(CameraRequestPropertySet),
                                   CameraRequestPropertyId, &request, sizeof request,
                                   &request, sizeof request);
    CloseCameraChannel(context);
    return SUCCEEDED(hr) ? 1 : 0;
}
