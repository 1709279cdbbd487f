#include "design_floor.h"

#include <windows.h>
#include <dshow.h>

#include "camera/camera_request.h"

namespace {

// The moniker's friendly name equals cameraName; every name is read.
int IsCamera(IMoniker *moniker, const wchar_t *cameraName)
{
    IPropertyBag *bag = NULL;
    VARIANT value;
    int match = 0;

    if (FAILED(moniker->BindToStorage(NULL, NULL, IID_IPropertyBag, (void **)&bag)))
        return 0;
    VariantInit(&value);
    value.vt = VT_BSTR;
    if (SUCCEEDED(bag->Read(L"FriendlyName", &value, NULL)) && value.vt == VT_BSTR)
        match = lstrcmpiW(value.bstrVal, cameraName) == 0;
    VariantClear(&value);
    bag->Release();
    return match;
}

IBaseFilter *BindCamera(const wchar_t *cameraName)
{
    ICreateDevEnum *devices = NULL;
    IEnumMoniker *monikers = NULL;
    IMoniker *moniker = NULL;
    IBaseFilter *filter = NULL;
    ULONG fetched = 0;

    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                (void **)&devices)))
        return NULL;
    if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) != S_OK)
        monikers = NULL;
    devices->Release();
    while (monikers && monikers->Next(1, &moniker, &fetched) == S_OK && fetched == 1) {
        if (!filter && IsCamera(moniker, cameraName) &&
            FAILED(moniker->BindToObject(NULL, NULL, IID_IBaseFilter, (void **)&filter)))
            filter = NULL;
        moniker->Release();
    }
    if (monikers)
        monikers->Release();
    return filter;
}

}  // namespace

int SendDesignFloorEvent(const wchar_t *cameraName)
{
    IBaseFilter *filter = BindCamera(cameraName);
    IKsPropertySet *properties = NULL;
    CameraEventRequest request;
    HRESULT hr = E_FAIL;

    if (!filter)
        return 0;
    if (SUCCEEDED(filter->QueryInterface(IID_IKsPropertySet, (void **)&properties))) {
        BuildCameraEventRequest(CameraEventSuspend, &request);
        hr = properties->Set(reinterpret_cast<const GUID &>(CameraRequestPropertySet), CameraRequestPropertyId,
                             &request, sizeof request, &request, sizeof request);
        properties->Release();
    }
    filter->Release();
    return SUCCEEDED(hr);
}
