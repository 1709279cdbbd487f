// The camera sections: the probe's walks and the camera channel's name walk,
// run by the monitor's own code and watched through their observers.
#include <windows.h>
#include <cfgmgr32.h>
#include <stdio.h>
#include <string.h>

#include "camera/camera_channel.h"
#include "discovery/camera_probe.h"
#include "discovery/multi_string.h"
#include "status/status_report.h"

namespace {

// What the probe told its observer, for the reason behind its answer.
struct ProbeView
{
    DWORD classListError;
    int classDevices;
    int usbWalkTold;
    int usbFailed;
    int usbListTold;
    int usbDevices;
    int matchedDevices;
    int driverKeyTold;
    LONG suspendResult;
    DWORD suspendValue;
};

const char *const RegistryTypeNames[] = {
    "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN",
    "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
    "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};

const char *RegistryTypeName(DWORD type)
{
    if (type < sizeof RegistryTypeNames / sizeof RegistryTypeNames[0])
        return RegistryTypeNames[type];
    return "unknown type";
}

void ReportInstanceId(const char *name, unsigned long node)
{
    char id[TextBufferSize];
    const CONFIGRET result = CM_Get_Device_IDA(node, id, sizeof id, 0);
    if (result == CR_SUCCESS)
        ReportLine(name, "%s", id);
    else
        ReportLine(name, "node 0x%lx, instance ID unreadable (CONFIGRET 0x%lx)", node, result);
}

void OnProbeStep(void *context, ProbeStep step, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    switch (step) {
    case ProbeStepClassList:
        view->classListError = result;
        if (result != 0)
            ReportLine("Imaging class", "cannot be listed (error %lu)", result);
        else
            ReportLine("Imaging class", "%s", "listed, with devices that are not plugged in");
        break;
    case ProbeStepUsbListSize:
        if (view->classDevices == 0)
            ReportLine("class devices", "%s", "none");
        view->usbWalkTold = 1;
        view->usbFailed = result != CR_SUCCESS;
        ReportLine("USB walk", "%s", "the class walk found no supported camera");
        if (result != CR_SUCCESS)
            ReportLine("USB devices", "cannot be counted (CONFIGRET 0x%lx)", result);
        break;
    case ProbeStepUsbList:
        view->usbListTold = 1;
        view->usbFailed = result != CR_SUCCESS;
        if (result != CR_SUCCESS)
            ReportLine("USB devices", "cannot be listed (CONFIGRET 0x%lx)", result);
        break;
    }
}

void OnLocated(void *context, const char *instanceId, unsigned long result)
{
    static_cast<ProbeView *>(context)->usbDevices++;
    ReportLine("USB device", "%s", instanceId);
    if (result != CR_SUCCESS)
        ReportLine("  located", "no (CONFIGRET 0x%lx)", result);
}

void OnHardwareIds(void *context, unsigned long node, unsigned long result, const char *list,
                   unsigned long length)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    if (!view->usbListTold) {
        view->classDevices++;
        ReportInstanceId("class device", node);
    }
    if (result != CR_SUCCESS) {
        // CR_BUFFER_SMALL reports the size the list needs.
        ReportLine("  hardware IDs", "unreadable (CONFIGRET 0x%lx, %lu bytes)", result, length);
        return;
    }
    unsigned long offset = 0;
    int strings = 0;
    for (const char *id = NextMultiString(list, length, &offset); id;
         id = NextMultiString(list, length, &offset), strings++)
        ReportLine("  hardware ID", "%s", id);
    if (strings == 0)
        ReportLine("  hardware IDs", "none (%lu bytes)", length);
}

void OnMatched(void *context, int matched)
{
    if (matched)
        static_cast<ProbeView *>(context)->matchedDevices++;
    ReportLine("  supported", "%s", matched ? "yes" : "no");
}

void OnStatus(void *, unsigned long result, unsigned long status, unsigned long problem, int taken)
{
    if (result != CR_SUCCESS)
        ReportLine("  driver loaded", "unknown (CONFIGRET 0x%lx)", result);
    else
        ReportLine("  driver loaded", "%s (status 0x%lx, problem %lu)", taken ? "yes" : "no",
                   status, problem);
}

void OnDriverKey(void *context, unsigned long node, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    view->driverKeyTold = 1;
    if (!view->usbWalkTold)
        ReportLine("USB walk", "%s", "not needed: the class walk found the camera");
    ReportInstanceId("camera", node);
    if (result == CR_SUCCESS)
        ReportLine("driver key", "%s", "opened");
    else
        ReportLine("driver key", "cannot be opened (CONFIGRET 0x%lx); the camera counts as found, "
                   "with no name", result);
}

void OnDriverValue(void *context, void *key, const char *name, LONG result, const void *data,
                   unsigned long size)
{
    // The probe reads SelectiveSuspend without asking its type; the stored
    // type and size are asked for here, for the report only.
    DWORD type = REG_NONE;
    DWORD stored = 0;
    const LONG described = RegQueryValueExA(static_cast<HKEY>(key), name, NULL, &type, NULL, &stored);
    const int suspend = strcmp(name, "SelectiveSuspend") == 0;
    if (suspend) {
        ProbeView *view = static_cast<ProbeView *>(context);
        view->suspendResult = result;
        memcpy(&view->suspendValue, data, sizeof view->suspendValue);
    }
    if (described != ERROR_SUCCESS)
        ReportLine(name, "missing (error %ld)", described);
    else if (result != ERROR_SUCCESS)
        ReportLine(name, "%s, %lu bytes, unreadable as the probe reads it (error %ld)",
                   RegistryTypeName(type), stored, result);
    else if (suspend)
        ReportLine(name, "%s, %lu bytes, read as %lu (0x%08lx)", RegistryTypeName(type), stored,
                   *static_cast<const DWORD *>(data), *static_cast<const DWORD *>(data));
    else
        ReportLine(name, "%s, %lu bytes, \"%s\"", RegistryTypeName(type), size,
                   static_cast<const char *>(data));
}

// The first reason, from what the walks told, why the probe said no.
void ExplainNotFound(const ProbeView *view, char *reason)
{
    if (view->classListError != 0)
        FormatText(reason, TextBufferSize, "the Imaging class cannot be listed (error %lu)",
                 view->classListError);
    else if (!view->driverKeyTold && view->matchedDevices > 0)
        FormatText(reason, TextBufferSize, "a supported camera is listed, but not with its driver loaded");
    else if (!view->driverKeyTold)
        FormatText(reason, TextBufferSize, "no supported camera is installed");
    else if (view->suspendResult == ERROR_FILE_NOT_FOUND)
        FormatText(reason, TextBufferSize, "the camera's driver has no SelectiveSuspend value");
    else if (view->suspendResult != ERROR_SUCCESS)
        FormatText(reason, TextBufferSize,
                 "the camera's SelectiveSuspend is not a 4-byte value (error %ld)",
                 view->suspendResult);
    else
        FormatText(reason, TextBufferSize, "selective suspend is off in the camera's driver "
                 "(SelectiveSuspend %lu)", view->suspendValue);
}

// What the name walk told: the devices in order and the one that matched.
struct ChannelView
{
    int print;
    int listed;      // the category answered with devices
    int devices;
    int matchedIndex;
    char matchedName[TextBufferSize];
    HRESULT bind;
    HRESULT propertySet;
};

void OnChannelStep(void *context, CameraChannelStep step, long result)
{
    ChannelView *view = static_cast<ChannelView *>(context);
    if (step == CameraChannelStepCategory)
        view->listed = SUCCEEDED(result) && result != S_FALSE;
    if (step == CameraChannelStepBind)
        view->bind = result;
    else if (step == CameraChannelStepPropertySet)
        view->propertySet = result;
    else if (view->print && step == CameraChannelStepCategory && result == S_FALSE)
        ReportLine("video input devices", "%s", "none (the category is empty)");
    else if (view->print && FAILED(result))
        ReportLine(step == CameraChannelStepCom ? "COM" :
                   step == CameraChannelStepDeviceEnum ? "device enumerator" : "video input devices",
                   "failed (HRESULT 0x%08lx)", (unsigned long)result);
}

void OnChannelDevice(void *context, const char *name, int compared, int matched)
{
    ChannelView *view = static_cast<ChannelView *>(context);
    if (matched) {
        view->matchedIndex = view->devices;
        lstrcpynA(view->matchedName, name, sizeof view->matchedName);
    }
    if (view->print) {
        char label[32];
        FormatText(label, sizeof label, "video input %d", view->devices);
        if (compared)
            ReportLine(label, "\"%s\"", name);
        else
            ReportLine(label, "%s", "not compared (no property bag, or a name of 260 bytes or more)");
    }
    view->devices++;
}

// Runs the camera channel's open for name and closes it again: the walk, the
// bind and the property-set query, never a request.
int WalkCameraChannel(const char *name, ChannelView *view)
{
    const CameraChannelObserver observer = {view, OnChannelStep, OnChannelDevice};
    MonitorContext context;
    ZeroMemory(&context, sizeof context);
    view->listed = 0;
    view->devices = 0;
    view->matchedIndex = -1;
    view->bind = S_OK;
    view->propertySet = E_NOINTERFACE;
    const int opened = OpenCameraChannel(name, &context, &observer);
    // Also after a failed open, which leaves its COM initialisation to close.
    CloseCameraChannel(&context);
    return opened;
}

}  // namespace

void ReportCameraSearch(StatusFacts *facts)
{
    ReportSection("Camera search");
    ProbeView view;
    ZeroMemory(&view, sizeof view);
    const ProbeObserver observer = {&view, OnProbeStep, OnLocated, OnHardwareIds, OnMatched,
                                    OnStatus, OnDriverKey, OnDriverValue};
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];

    char driverDesc[TextBufferSize];
    facts->cameraFound = ProbeCamera(ids, SupportedHardwareIdCount, driverDesc, sizeof driverDesc,
                                     facts->friendlyName, sizeof facts->friendlyName, &observer);

    if (view.classListError != 0)
        ReportLine("USB walk", "%s", "not tried: the probe ends without the class list");
    else if (view.usbWalkTold && !view.usbFailed && view.usbDevices == 0)
        ReportLine("USB devices", "%s", "none");
    if (!view.driverKeyTold)
        ReportLine("camera", "%s", "none");
    ReportLine("probe", "%s", facts->cameraFound ? "found, selective suspend on" : "no camera to monitor");
    if (!facts->cameraFound)
        ExplainNotFound(&view, facts->cameraReason);
}

void ReportDirectShow(StatusFacts *facts)
{
    ReportSection("DirectShow");
    // No device's name can equal a name as long as the walk's whole name
    // buffer, so this walk visits every video input device and binds none.
    char unmatchable[TextBufferSize + 1];
    memset(unmatchable, '?', TextBufferSize);
    unmatchable[TextBufferSize] = '\0';
    ChannelView view;
    view.print = 1;
    WalkCameraChannel(unmatchable, &view);
    if (view.listed && view.devices == 0)
        ReportLine("video input devices", "%s", "none listed");

    if (!facts->cameraFound && !facts->friendlyName[0]) {
        ReportLine("camera event reaches", "%s", "nothing: there is no camera name to look for");
        return;
    }
    view.print = 0;
    facts->propertySet = WalkCameraChannel(facts->friendlyName, &view);
    facts->nameReached = view.matchedIndex >= 0 && SUCCEEDED(view.bind);
    ReportLine("camera name", "\"%s\"", facts->friendlyName);
    if (view.matchedIndex < 0)
        ReportLine("camera event reaches", "%s", "nothing: no video input device has that name");
    else if (FAILED(view.bind))
        ReportLine("camera event reaches", "nothing: video input %d cannot be bound (HRESULT 0x%08lx)",
                   view.matchedIndex, (unsigned long)view.bind);
    else
        ReportLine("camera event reaches", "video input %d \"%s\"", view.matchedIndex,
                   view.matchedName);
    if (facts->nameReached && facts->propertySet)
        ReportLine("property set", "%s", "offered");
    else if (facts->nameReached)
        ReportLine("property set", "not offered (HRESULT 0x%08lx)", (unsigned long)view.propertySet);
}
