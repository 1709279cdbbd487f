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
    int usbWalked;
    int devices;                     // devices the walks read, numbered from 0
    int usbSizeTold;                 // a size not yet shown
    int usbRetries;                  // lists asked for again
    ULONG usbSizeResult;             // the last size call's CONFIGRET
    ULONG usbError;                  // the walk's failure
    ULONG unallocatedSize;           // a block the probe found no memory for, or 0
    int unloaded;                    // the USB walk passed over a supported camera
    int beyond;                      // a device with a supported ID beyond the read, or -1
    ULONG beyondLength;
    char firstId[TextBufferSize];    // the first hardware ID of the list just read
    char matchedId[TextBufferSize];  // that of the last device matched
    int driverKeyTold;               // the probe tried the driver key, opened or not
    int valuesTold;
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
    if (!closed) {
        LoseFact();
        return 0;
    }
    unsigned long offset = 0;
    unsigned long read = size;
    CONFIGRET result = CR_SUCCESS;
    if (list)
        memcpy(closed, list, size);
    else
        result = CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, closed, &read, 0);
    // A list that cannot be read shows as one ID, its error, which matches none.
    if (result != CR_SUCCESS)
        FormatText(closed, size, "unreadable (CONFIGRET 0x%lx)", result);
    const char *id = NextMultiString(closed, size, &offset);
    for (int count = 0; id; count++) {
        Fact("search.%d.hardware_id.%d=%s", view->devices - 1, count, id);
        id = NextMultiString(closed, size, &offset);
    }
    const int supported = MatchHardwareIdList(closed, size, size + MultiStringGuardBytes,
                                              view->ids, SupportedHardwareIdCount);
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
    Fact("search.usb_count_error=0x%lx", view->usbSizeResult);
    if (listTold)
        Fact("search.usb_list_error=0x%lx", listResult);
    if (view->usbRetries)
        Fact("search.usb_list_retries=%d", view->usbRetries);
    // listResult is 0 when no list was told; a failed size call asks for none.
    view->usbError = view->usbSizeResult ? view->usbSizeResult : listResult;
}

void OnProbeStep(void *context, ProbeStep step, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    if (step == ProbeStepNoMemory) {
        view->unallocatedSize = result;
        Fact("search.no_memory=%lu bytes", result);
        return;
    }
    if (step == ProbeStepClassList) {
        view->classList = result;
        Fact("search.class_list_error=%lu", result);
    }
    if (step == ProbeStepClassEnd && result != ERROR_NO_MORE_ITEMS)
        Fact("search.class_walk_error=%lu", result);
    if (step == ProbeStepClassList || step == ProbeStepClassEnd)
        return;
    if (!view->usbWalked)
        Fact("search.usb_walk=run: the class walk found no supported camera");
    view->usbWalked = 1;
    if (step == ProbeStepUsbListGrew)
        view->usbRetries++;
    if (step == ProbeStepUsbList)
        UsbListFacts(view, 1, result);
    if (step != ProbeStepUsbListSize)
        return;
    view->usbSizeResult = result;
    view->usbSizeTold = 1;
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
        Fact("search.%d.instance=%s", view->devices, InstanceId(node, id));
        view->devices++;
    }
    const int device = view->devices - 1;
    if (result && result != CR_BUFFER_SMALL)
        Fact("search.%d.hardware_ids=unreadable (CONFIGRET 0x%lx)", device, result);
    else
        Fact("search.%d.hardware_ids=%lu bytes, the walk reads %lu", device, length, readSize);
    // The first ID: lstrcpynA stops at the list's first NUL.
    const int firstIdSize = length < TextBufferSize ? (int)length + 1 : TextBufferSize;
    lstrcpynA(view->firstId, result ? "" : list, firstIdSize);
    if (result == CR_SUCCESS)
        HardwareIdFacts(view, node, length, list);
    if (result != CR_BUFFER_SMALL || !HardwareIdFacts(view, node, length, NULL))
        return;
    Fact("search.%d.supported=yes, beyond what the walk reads: the monitor does not find it",
         device);
    // The reason names the first such device.
    if (view->beyond < 0) {
        view->beyond = device;
        view->beyondLength = length;
    }
}

void OnMatched(void *context, ProbeWalk, int matched)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    Fact("search.%d.supported=%s", view->devices - 1, matched ? "yes" : "no");
    if (matched)
        memcpy(view->matchedId, view->firstId, TextBufferSize);
}

void OnStatus(void *context, unsigned long result, unsigned long status, unsigned long problem,
              int taken)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    if (!taken)
        view->unloaded = 1;
    // Without the device's status, whether its driver is loaded is not known.
    const char *notTaken = result ? "unknown" : "no";
    Fact("search.%d.driver_loaded=%s (CONFIGRET 0x%lx, status 0x%lx, problem %lu)",
         view->devices - 1, taken ? "yes" : notTaken, result, status, problem);
}

void OnDriverKey(void *context, unsigned long node, unsigned long result)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    char id[TextBufferSize];
    view->driverKeyTold = 1;
    if (!view->usbWalked)
        Fact("search.usb_walk=not needed: the class walk found the camera");
    Fact("camera.instance=%s", InstanceId(node, id));
    Fact("camera.hardware_id=%s", view->matchedId);
    Fact("camera.driver_key_error=0x%lx", result);
}

// The driver key's values that the probe reads, and their keys.
enum { DriverDescValue, FriendlyNameValue, SuspendValue, DriverValueCount };
const struct
{
    const char *name;
    const char *key;
} DriverValues[] = {
    {"DriverDesc", "driver_desc"}, {"FriendlyName", "friendly_name"},
    {"SelectiveSuspend", "selective_suspend"}};
static_assert(sizeof DriverValues / sizeof DriverValues[0] == DriverValueCount, "a row per value");

// The type is known and the size is the stored one also when the value did
// not fit.
void OnDriverValue(void *context, const char *name, long result, unsigned long type,
                   const void *data, unsigned long size)
{
    ProbeView *view = static_cast<ProbeView *>(context);
    view->valuesTold = 1;
    const char *key = "";
    for (const auto &value : DriverValues) {
        if (lstrcmpiA(name, value.name) == 0)
            key = value.key;
    }
    const int suspend = key == DriverValues[SuspendValue].key;
    if (suspend)
        view->suspendResult = result;
    if (suspend && result == ERROR_SUCCESS)
        view->suspend = *static_cast<const DWORD *>(data);
    if (!suspend)
        Fact("camera.%s=%s", key, static_cast<const char *>(data));
    else if (result == ERROR_SUCCESS)
        Fact("camera.%s=%lu", key, view->suspend);
    else
        Fact("camera.%s=", key);
    if (result == ERROR_SUCCESS)
        Fact("camera.%s_read=%s, %lu bytes", key, RegistryTypeName(type), size);
    else if (result == ERROR_MORE_DATA)
        Fact("camera.%s_read=%s, %lu bytes, error %ld", key, RegistryTypeName(type), size, result);
    else
        Fact("camera.%s_read=error %ld", key, result);
}

// Why the probe said no: the first reason that what the walks told shows, in
// the probe's order (once it opens the driver key, SelectiveSuspend decides).
// The two lists that cannot be read and a block the probe finds no memory
// for have codes of their own; every other failed reading shares one, so
// that no answer's code stands for it. A USB enumerator that does not exist
// is an answer.
const char *ProbeRefusal(const ProbeView *view, int readingFailed, char *text)
{
    if (view->classList)
        return Refusal(text, "class-list", "the Imaging class cannot be listed (error %lu)",
                       view->classList);
    if (view->unallocatedSize)
        return Refusal(text, "no-memory", "the camera search finds no memory for %lu bytes, so "
                       "it has no answer", view->unallocatedSize);
    const int answered = view->driverKeyTold || view->unloaded || view->beyond >= 0;
    if (readingFailed && (answered || !view->usbError))
        return Refusal(text, "reading-failed",
                       "a reading the camera search needs failed, so the search has no answer");
    if (view->driverKeyTold && view->suspendResult == ERROR_FILE_NOT_FOUND)
        return Refusal(text, "no-suspend-value",
                       "the camera's driver has no SelectiveSuspend value");
    if (view->driverKeyTold && view->suspendResult)
        return Refusal(text, "suspend-size",
                       "the camera's SelectiveSuspend is not a 4-byte value (error %ld)",
                       view->suspendResult);
    if (view->driverKeyTold)
        return Refusal(text, "suspend-off", "selective suspend is off in the camera's driver "
                       "(SelectiveSuspend %lu)", view->suspend);
    if (view->unloaded)
        return Refusal(text, "driver-not-loaded",
                       "a supported camera is listed, but not with its driver loaded");
    if (view->beyond >= 0)
        return Refusal(text, "ids-too-long", "the hardware-ID list of search device %d is %lu "
                       "bytes, longer than the monitor reads, so the monitor does not find it",
                       view->beyond, view->beyondLength);
    if (view->usbError && readingFailed)
        return Refusal(text, "usb-list", "the USB devices cannot be listed (CONFIGRET 0x%lx)",
                       view->usbError);
    return Refusal(text, "no-camera", "no supported camera is installed");
}

struct ChannelView
{
    HRESULT results[CameraChannelStepNext + 1];
    unsigned told;  // a bit per step
    int devices;
    int match;
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
    const unsigned long converted = (unsigned long)view->results[CameraChannelStepConvert];
    if (FAILED(read))
        Fact("directshow.input.%d=name unreadable (HRESULT 0x%08lx)", view->devices,
             (unsigned long)read);
    else if (!compared)
        Fact("directshow.input.%d=name not converted (error %lu)", view->devices, converted);
    else
        Fact("directshow.input.%d=%s", view->devices, name);
    if (matched) {
        view->match = view->devices;
        lstrcpynA(view->matchName, name, TextBufferSize);
    }
    view->devices++;
}

// The first step that the walk took and failed at, or the one after the
// property-set query when none did. In another apartment (RPC_E_CHANGED_MODE)
// the walk goes on.
int FirstFailedStep(const ChannelView *view)
{
    int step = CameraChannelStepCom;
    for (; step <= CameraChannelStepPropertySet; step++) {
        const HRESULT result = view->results[step];
        if ((view->told & (1u << step)) && FAILED(result) && result != RPC_E_CHANGED_MODE)
            break;
    }
    return step;
}

// Why no event would reach the driver, by name: a failed step's row is at its
// CameraChannelStep, the others after them.
enum { NoDevice = CameraChannelStepPropertySet + 1, NoName, EventReaches, EventReasonCount };
const Reason EventReasons[] = {
    {"com", "COM initialisation"}, {"enumerator", "system device enumerator"},
    {"category", "video input category"}, {"bind", "capture filter's bind"},
    {"property-set", "capture filter's property-set query"},
    {"no-device", "no DirectShow video input device has that name"},
    {"no-name", "there is no camera name to look for"}, {"", ""}};
static_assert(sizeof EventReasons / sizeof EventReasons[0] == EventReasonCount, "a row per reason");

int EventReason(const ChannelView *view, int named, int failed)
{
    if (!named)
        return NoName;
    if (failed <= CameraChannelStepPropertySet)
        return failed;
    return view->match < 0 ? NoDevice : EventReaches;
}

}  // namespace

void ReportCameraSearch(StatusFacts *facts)
{
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];
    ProbeView view = {};
    view.ids = ids;
    view.beyond = -1;
    const ProbeObserver observer = {&view,     OnProbeStep, OnLocated,   OnHardwareIds,
                                    OnMatched, OnStatus,    OnDriverKey, OnDriverValue};
    char driverDesc[TextBufferSize];
    const ProbeResult probe =
        ProbeCamera(ids, SupportedHardwareIdCount, driverDesc, sizeof driverDesc,
                    facts->friendlyName, sizeof facts->friendlyName, &observer);
    facts->cameraFound = probe == ProbeResult::Found;
    facts->readingFailed = probe == ProbeResult::ReadingFailed;
    UsbListFacts(&view, 0, 0);
    if (view.classList)
        Fact("search.usb_walk=not tried: the probe ends without the class list");
    if (!view.driverKeyTold) {
        Fact("camera.instance=");
        Fact("camera.hardware_id=");
    }
    if (!view.valuesTold) {
        for (const auto &value : DriverValues)
            Fact("camera.%s=", value.key);
    }
    YesNoFact("camera.found", facts->cameraFound);
    if (facts->cameraFound)
        return;
    facts->reasonCode = ProbeRefusal(&view, facts->readingFailed, facts->reason);
}

// One walk of the camera channel for the camera's name: the walk an event
// takes, with its bind and property-set query, never a request.
void ReportDirectShow(StatusFacts *facts)
{
    ChannelView view = {};
    view.match = -1;
    const CameraChannelObserver observer = {&view, OnChannelStep, OnChannelDevice};
    MonitorContext context = {};
    const int named = facts->cameraFound || facts->friendlyName[0];
    const int opened = named && OpenCameraChannel(facts->friendlyName, &context, &observer);
    // Also after a failed open, which leaves its COM initialisation to close.
    CloseCameraChannel(&context);
    const int failed = FirstFailedStep(&view);
    const int reason = EventReason(&view, named, failed);
    const char *text = EventReasons[reason].text;
    if (reason <= CameraChannelStepPropertySet)
        FormatText(facts->noEventReason, TextBufferSize, "the %s fails (HRESULT 0x%08lx)", text,
                   (unsigned long)view.results[failed]);
    else
        FormatText(facts->noEventReason, TextBufferSize, "%s", text);
    const HRESULT next = view.results[CameraChannelStepNext];
    if (FAILED(next))
        Fact("directshow.inputs=%d, then HRESULT 0x%08lx", view.devices, (unsigned long)next);
    else if (view.results[CameraChannelStepCategory] == S_FALSE)
        Fact("directshow.inputs=%d (the category is empty)", view.devices);
    else
        Fact("directshow.inputs=%d", view.devices);
    Fact("directshow.index=%d", view.match);
    Fact("directshow.device=%s", opened ? view.matchName : "");
    YesNoFact("directshow.property_set", opened);
    Fact("directshow.reason=%s", facts->noEventReason);
    Fact("directshow.reason.code=%s", EventReasons[reason].code);
}
