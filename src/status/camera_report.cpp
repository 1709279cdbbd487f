// The camera sections: the probe's walks and the camera channel's walk for the
// camera's name, run by the monitor's own code. Their observers record facts.
#include <windows.h>
#include <cfgmgr32.h>
#include <stdlib.h>
#include <string.h>

#include "camera/camera_channel.h"
#include "discovery/camera_probe.h"
#include "discovery/hardware_id_match.h"
#include "discovery/multi_string.h"
#include "status/status_report.h"

namespace {

struct ProbeView
{
    const char *const *ids;
    DWORD classList;                 // 0, or the error that ended the probe
    int usbWalked, devices;          // devices the walks read, numbered from 0
    int usbSizeTold, usbRetries;     // a size not yet shown; lists asked for again
    ULONG usbSize, usbError;         // the last size call's result; the walk's failure
    int unloaded;                    // the USB walk passed over a supported camera
    int beyond;                      // a device with a supported ID beyond the read, or -1
    ULONG beyondLength;
    char firstId[TextBufferSize];    // the first hardware ID of the list just read
    char matchedId[TextBufferSize];  // that of the last device matched
    int keyOpened, valuesTold;
    LONG suspendResult;
    DWORD suspend;
};

const char *InstanceId(DEVINST node, char *id)
{
    const CONFIGRET result = CM_Get_Device_IDA(node, id, TextBufferSize, 0);
    if (result != CR_SUCCESS)
        FormatText(id, TextBufferSize, "unreadable (CONFIGRET 0x%lx)", result);
    return id;
}

// The strings of a list of size bytes (NULL: read it whole), closed as the
// matching closes it, so that they are the strings the matching sees.
// Returns whether the list holds a supported ID.
int HardwareIdFacts(const ProbeView *view, DEVINST node, ULONG size, const char *list)
{
    char *closed = static_cast<char *>(calloc(size + MultiStringGuardBytes, 1));
    if (!closed)
        LoseFact();
    unsigned long offset = 0, read = size;
    CONFIGRET result;
    // A list that cannot be read shows as one ID, its error, which matches none.
    if (closed && list)
        memcpy(closed, list, size);
    else if (closed && (result = CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, closed, &read, 0)))
        FormatText(closed, size, "unreadable (CONFIGRET 0x%lx)", result);
    for (int count = 0; const char *id = closed ? NextMultiString(closed, size, &offset) : NULL; count++)
        Fact("search.%d.hardware_id.%d=%s", view->devices - 1, count, id);
    const int supported = closed && MatchHardwareIdList(closed, size, size + MultiStringGuardBytes, view->ids,
                                                        SupportedHardwareIdCount);
    free(closed);
    return supported;
}

// The USB walk's size and list are shown once the walk has settled on a list
// (or ended without one), as its last attempt answered them.
void UsbListFacts(ProbeView *view, int listTold, unsigned long listResult)
{
    if (!view->usbSizeTold)
        return;
    view->usbSizeTold = 0;
    Fact("search.usb_count_error=0x%lx", view->usbSize);
    if (listTold)
        Fact("search.usb_list_error=0x%lx", listResult);
    if (view->usbRetries)
        Fact("search.usb_list_retries=%d", view->usbRetries);
    view->usbError = view->usbSize ? view->usbSize : listTold ? listResult : 0;
}

void OnProbeStep(void *context, ProbeStep step, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    if (step == ProbeStepClassList)
        Fact("search.class_list_error=%lu", view->classList = result);
    if (step == ProbeStepClassEnd && result != ERROR_NO_MORE_ITEMS)
        Fact("search.class_walk_error=%lu", result);
    if (step == ProbeStepClassList || step == ProbeStepClassEnd)
        return;
    if (!view->usbWalked)
        Fact("search.usb_walk=run: the class walk found no supported camera");
    view->usbWalked = 1;
    view->usbRetries += step == ProbeStepUsbListGrew;
    if (step == ProbeStepUsbListSize)
        view->usbSize = result, view->usbSizeTold = 1;
    else if (step == ProbeStepUsbList)
        UsbListFacts(view, 1, result);
}

void OnLocated(void *context, const char *instanceId, unsigned long result)
{
    const int device = static_cast<ProbeView *>(context)->devices++;
    Fact("search.%d.walk=usb", device);
    Fact("search.%d.instance=%s", device, instanceId);
    Fact("search.%d.locate_error=0x%lx", device, result);
}

void OnHardwareIds(void *context, ProbeWalk walk, unsigned long node, unsigned long result,
                   const char *list, unsigned long length, unsigned long readSize)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    char id[TextBufferSize];
    if (walk == ProbeWalkClass) {
        Fact("search.%d.walk=class", view->devices);
        Fact("search.%d.instance=%s", view->devices++, InstanceId(node, id));
    }
    const int device = view->devices - 1;
    if (result && result != CR_BUFFER_SMALL)
        Fact("search.%d.hardware_ids=unreadable (CONFIGRET 0x%lx)", device, result);
    else
        Fact("search.%d.hardware_ids=%lu bytes, the walk reads %lu", device, length, readSize);
    lstrcpynA(view->firstId, result ? "" : list, (int)(length < TextBufferSize ? length + 1 : +TextBufferSize));
    if (result == CR_SUCCESS)
        HardwareIdFacts(view, node, length, list);
    if (result == CR_BUFFER_SMALL && HardwareIdFacts(view, node, length, NULL)) {
        Fact("search.%d.supported=yes, beyond what the walk reads: the monitor does not find it", device);
        view->beyond = view->beyond < 0 ? device : view->beyond;
        view->beyondLength = view->beyond == device ? length : view->beyondLength;
    }
}

void OnMatched(void *context, ProbeWalk, int matched)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    Fact("search.%d.supported=%s", view->devices - 1, matched ? "yes" : "no");
    if (matched)
        memcpy(view->matchedId, view->firstId, TextBufferSize);
}

void OnStatus(void *context, unsigned long result, unsigned long status, unsigned long problem, int taken)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    view->unloaded |= !taken;
    Fact("search.%d.driver_loaded=%s (CONFIGRET 0x%lx, status 0x%lx, problem %lu)", view->devices - 1,
         taken ? "yes" : result ? "unknown" : "no", result, status, problem);
}

void OnDriverKey(void *context, unsigned long node, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    char id[TextBufferSize];
    view->keyOpened = 1;
    if (!view->usbWalked)
        Fact("search.usb_walk=not needed: the class walk found the camera");
    Fact("camera.instance=%s", InstanceId(node, id));
    Fact("camera.hardware_id=%s", view->matchedId);
    Fact("camera.driver_key_error=0x%lx", result);
}

// The keys of the driver key's DriverDesc, FriendlyName and SelectiveSuspend.
const char *const DriverValueKeys[] = {"driver_desc", "friendly_name", "selective_suspend"};

// The type is known and the size is the stored one also when the value did
// not fit.
void OnDriverValue(void *context, const char *name, long result, unsigned long type,
                   const void *data, unsigned long size)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    view->valuesTold = 1;
    const char *key = name[0] == 'D' ? "driver_desc" : name[0] == 'F' ? "friendly_name" : "selective_suspend";
    if (name[0] != 'S')
        Fact("camera.%s=%s", key, static_cast<const char *>(data));
    else if ((view->suspendResult = result) == ERROR_SUCCESS)
        Fact("camera.%s=%lu", key, view->suspend = *static_cast<const DWORD *>(data));
    else
        Fact("camera.%s=", key);
    if (result && result != ERROR_MORE_DATA)
        Fact("camera.%s_read=error %ld", key, result);
    else
        Fact(result ? "camera.%s_read=%s, %lu bytes, error %ld" : "camera.%s_read=%s, %lu bytes", key,
             RegistryTypeName(type), size, result);
}

// What the camera channel's walk told: each step's HRESULT, and the match.
struct ChannelView
{
    HRESULT results[CameraChannelStepNext + 1];
    unsigned told;  // a bit per step
    int devices, match;
    char matchName[TextBufferSize];
};

void OnChannelStep(void *context, CameraChannelStep step, long result)
{
    ChannelView *view = static_cast<ChannelView *>(context);
    view->results[step] = result;
    view->told |= 1u << step;
}

// A name that cannot be read is compared as the one before it.
void OnChannelDevice(void *context, const char *name, int compared, int matched)
{
    ChannelView *view = static_cast<ChannelView *>(context);
    const HRESULT read = view->results[CameraChannelStepName];
    if (FAILED(read))
        Fact("directshow.input.%d=name unreadable (HRESULT 0x%08lx)", view->devices, (unsigned long)read);
    else if (!compared)
        Fact("directshow.input.%d=name not converted (error %lu)", view->devices,
             (unsigned long)view->results[CameraChannelStepConvert]);
    else
        Fact("directshow.input.%d=%s", view->devices, name);
    if (matched)
        view->match = view->devices, lstrcpynA(view->matchName, name, TextBufferSize);
    view->devices++;
}

}  // namespace

void ReportCameraSearch(StatusFacts *facts)
{
    static const Reason reasons[] = {{"class-list", "the Imaging class cannot be listed (error %lu)"},
        {"driver-not-loaded", "a supported camera is listed, but not with its driver loaded"},
        {"ids-too-long", "the hardware-ID list of search device %lu is %lu bytes, longer than the monitor "
         "reads, so the monitor does not find it"},
        {"usb-list", "the USB devices cannot be listed (CONFIGRET 0x%lx)"},
        {"no-camera", "no supported camera is installed"},
        {"no-suspend-value", "the camera's driver has no SelectiveSuspend value"},
        {"suspend-size", "the camera's SelectiveSuspend is not a 4-byte value (error %lu)"},
        {"suspend-off", "selective suspend is off in the camera's driver (SelectiveSuspend %lu)"}};
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];
    ProbeView view;
    ZeroMemory(&view, sizeof view);
    view.ids = ids;
    view.beyond = -1;
    const ProbeObserver observer = {&view, OnProbeStep, OnLocated, OnHardwareIds, OnMatched,
                                    OnStatus, OnDriverKey, OnDriverValue};
    char driverDesc[TextBufferSize];
    facts->cameraFound = ProbeCamera(ids, SupportedHardwareIdCount, driverDesc, sizeof driverDesc,
                                     facts->friendlyName, sizeof facts->friendlyName, &observer);
    UsbListFacts(&view, 0, 0);
    if (view.classList)
        Fact("search.usb_walk=not tried: the probe ends without the class list");
    if (!view.keyOpened)
        Fact("camera.instance=%s", ""), Fact("camera.hardware_id=%s", "");
    if (!view.valuesTold) {
        for (const char *key : DriverValueKeys)
            Fact("camera.%s=", key);
    }
    YesNoFact("camera.found", facts->cameraFound);
    // The first reason, from what the walks told, why the probe said no.
    const int reason = view.classList ? 0 : !view.keyOpened ? (view.unloaded ? 1 : view.beyond >= 0 ? 2
                       : view.usbError ? 3 : 4) : view.suspendResult == ERROR_FILE_NOT_FOUND ? 5
                       : view.suspendResult ? 6 : 7;
    const ULONG detail = reason == 0 ? view.classList : reason == 2 ? (ULONG)view.beyond : reason == 3
                         ? view.usbError : reason == 6 ? (ULONG)view.suspendResult : view.suspend;
    if (!facts->cameraFound) {
        FormatText(facts->reason, TextBufferSize, reasons[reason].text, detail, view.beyondLength);
        facts->reasonCode = reasons[reason].code;
    }
}

// One walk of the camera channel for the camera's name: the walk an event
// takes, with its bind and property-set query, never a request.
void ReportDirectShow(StatusFacts *facts)
{
    // A failed step's row is at its CameraChannelStep; the last row is an
    // event that reaches the driver.
    static const Reason reasons[] = {{"com", "COM initialisation"}, {"enumerator", "system device enumerator"},
        {"category", "video input category"}, {"bind", "capture filter's bind"},
        {"property-set", "capture filter's property-set query"},
        {"no-device", "no DirectShow video input device has that name"},
        {"no-name", "there is no camera name to look for"}, {"", ""}};
    ChannelView view;
    ZeroMemory(&view, sizeof view);
    view.match = -1;
    const CameraChannelObserver observer = {&view, OnChannelStep, OnChannelDevice};
    MonitorContext context;
    ZeroMemory(&context, sizeof context);
    const int named = facts->cameraFound || facts->friendlyName[0];
    const int opened = named && OpenCameraChannel(facts->friendlyName, &context, &observer);
    // Also after a failed open, which leaves its COM initialisation to close.
    CloseCameraChannel(&context);
    // In another apartment (RPC_E_CHANGED_MODE) the walk goes on.
    int failed = CameraChannelStepCom;
    while (failed <= CameraChannelStepPropertySet && !((view.told & (1u << failed)) &&
           FAILED(view.results[failed]) && view.results[failed] != RPC_E_CHANGED_MODE))
        failed++;
    const int reason = !named ? 6 : failed <= CameraChannelStepPropertySet ? failed : view.match < 0 ? 5 : 7;
    FormatText(facts->eventReaches, TextBufferSize, reason <= CameraChannelStepPropertySet
               ? "the %s fails (HRESULT 0x%08lx)" : "%s", reasons[reason].text, (unsigned long)view.results[failed]);
    const HRESULT next = view.results[CameraChannelStepNext];
    if (FAILED(next))
        Fact("directshow.inputs=%d, then HRESULT 0x%08lx", view.devices, (unsigned long)next);
    else
        Fact("directshow.inputs=%d%s", view.devices, view.results[CameraChannelStepCategory] == S_FALSE
                                                     ? " (the category is empty)" : "");
    Fact("directshow.index=%d", view.match);
    Fact("directshow.device=%s", opened ? view.matchName : "");
    YesNoFact("directshow.property_set", opened);
    Fact("directshow.reason=%s", facts->eventReaches);
    Fact("directshow.reason.code=%s", reasons[reason].code);
}
