#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <stdlib.h>

#include "discovery/camera_probe.h"
#include "discovery/hardware_id_match.h"
#include "discovery/multi_string.h"
#include "discovery/registry_string.h"
#include "common/walk_observer.h"

namespace {

enum
{
    WorkingBufferSize = 4096,
    // The USB walk reads at most this much of each list; a longer list is
    // not recognised there.
    FallbackHardwareIdSize = 260,
    // Passed when opening the driver key; only per-profile keys depend on it.
    DriverKeyHardwareProfile = 2
};

// The class walk hands setupapi the record Windows 2000 and XP know.
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");

// GUID_DEVCLASS_IMAGE, spelled out so that no GUID library is needed.
const GUID ImagingClass = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

// The working buffer holds a read of up to WorkingBufferSize bytes plus room to
// close it, so that reads keep their sizes and the matching stays inside.
enum { WorkingBufferCapacity = WorkingBufferSize + MultiStringGuardBytes };

// Whether a configuration manager result leaves the question unanswered.
// CR_NO_SUCH_DEVNODE (which is CR_NO_SUCH_DEVINST: a device that does not
// exist, or is not present) and CR_NO_SUCH_VALUE (a property the device does
// not have) are answers; CR_BUFFER_SMALL is one only where the caller says so.
// The functions' pages ("CM_Locate_DevNodeA", "CM_Get_DevNode_Status",
// "CM_Get_DevNode_Registry_PropertyA", learn.microsoft.com) return these
// CR_ codes of cfgmgr32.h; any other is a failed reading.
int FailedReading(CONFIGRET result)
{
    return result != CR_SUCCESS && result != CR_NO_SUCH_DEVNODE && result != CR_NO_SUCH_VALUE;
}

// Out of line, as it was before it told an observer anything: the compiler
// would now inline it into both walks, which costs the monitor 32 bytes.
// A list longer than readSize is an answer by design: neither walk
// recognises it.
__attribute__((noinline))
int ReadHardwareIdsAndMatch(DEVINST node, char *buffer, ULONG readSize,
                            const char *const *ids, unsigned count, int *failed,
                            const ProbeObserver *observer)
{
    ULONG length = readSize;
    const CONFIGRET result =
        CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, buffer, &length, 0);
    // Only the USB walk reads lists of FallbackHardwareIdSize.
    [[maybe_unused]] const ProbeWalk walk =
        readSize == FallbackHardwareIdSize ? ProbeWalkUsb : ProbeWalkClass;
    TellObserver(observer, HardwareIds, walk, node, result, buffer, length, readSize);
    if (result != CR_SUCCESS) {
        *failed |= result != CR_BUFFER_SMALL && FailedReading(result);
        return 0;
    }
    const int matched = MatchHardwareIdList(buffer, length, WorkingBufferCapacity, ids, count);
    TellObserver(observer, Matched, walk, matched);
    return matched;
}

// Walks the Imaging class, present devices or not. Returns 1 with *node set
// on the first device whose hardware IDs match. The list ends with
// ERROR_NO_MORE_ITEMS ("SetupDiEnumDeviceInfo", learn.microsoft.com); any
// other error cuts the walk short.
int FindInImagingClass(HDEVINFO devices, char *buffer, const char *const *ids, unsigned count,
                       DEVINST *node, int *failed, const ProbeObserver *observer)
{
    SP_DEVINFO_DATA device;
    for (DWORD index = 0;; index++) {
        ZeroMemory(&device, sizeof device);
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(devices, index, &device)) {
            const DWORD error = GetLastError();
            TellObserver(observer, Step, ProbeStepClassEnd, error);
            *failed |= error != ERROR_NO_MORE_ITEMS;
            return 0;
        }
        ZeroMemory(buffer, WorkingBufferCapacity);
        if (ReadHardwareIdsAndMatch(device.DevInst, buffer, WorkingBufferSize, ids, count,
                                    failed, observer)) {
            *node = device.DevInst;
            return 1;
        }
    }
}

// Walks a list of device instance IDs (present or not), and accepts only a
// matching device whose driver is loaded. A device that cannot be located or
// whose hardware IDs or status cannot be read is passed over, as a failed
// reading unless the answer was that it does not exist or is not present.
int FindInIdList(const char *list, ULONG size, char *buffer, const char *const *ids,
                 unsigned count, DEVINST *node, int *failed, const ProbeObserver *observer)
{
    unsigned long offset = 0;
    for (const char *id = NextMultiString(list, size, &offset); id;
         id = NextMultiString(list, size, &offset)) {
        DEVINST candidate = 0;
        CONFIGRET result =
            CM_Locate_DevNodeA(&candidate, const_cast<char *>(id), CM_LOCATE_DEVNODE_PHANTOM);
        TellObserver(observer, Located, id, result);
        *failed |= FailedReading(result);
        if (result != CR_SUCCESS)
            continue;
        if (!ReadHardwareIdsAndMatch(candidate, buffer, FallbackHardwareIdSize, ids, count,
                                     failed, observer))
            continue;
        ULONG status = 0;
        ULONG problem = 0;
        result = CM_Get_DevNode_Status(&status, &problem, candidate, 0);
        const int taken = result == CR_SUCCESS && (status & DN_DRIVER_LOADED);
        TellObserver(observer, Status, result, status, problem, taken);
        *failed |= FailedReading(result);
        if (taken) {
            *node = candidate;
            return 1;
        }
    }
    return 0;
}

// Walks the device instances of the USB enumerator. A device that arrives
// between the size call and the list call makes the list outgrow the size,
// and the list call answers CR_BUFFER_SMALL. Microsoft documents that race
// for the device interface list, which is sized and read in the same two
// calls, and tells the caller to ask for the size and the list again
// ("CM_Get_Device_Interface_ListA function (cfgmgr32.h)", Remarks). Three
// attempts ride out arrivals in two windows in a row, as a dock or hub that
// brings up its own devices at log-on can cause; the bound keeps a device that
// keeps coming and going from holding up the start-up, and the last answer
// then counts as a failed reading, as any failure to list does.
int FindAmongEnumerated(const char *enumerator, char *buffer, const char *const *ids,
                        unsigned count, DEVINST *node, int *failed, const ProbeObserver *observer)
{
    enum { ListAttempts = 3 };
    for (int attempt = 1;; attempt++) {
        ULONG size = 0;
        CONFIGRET result =
            CM_Get_Device_ID_List_SizeA(&size, enumerator, CM_GETIDLIST_FILTER_ENUMERATOR);
        TellObserver(observer, Step, ProbeStepUsbListSize, result);
        *failed |= FailedReading(result);
        if (result != CR_SUCCESS || size == 0)
            return 0;
        char *list = static_cast<char *>(malloc(size));
        *failed |= !list;
        if (!list) {
            TellObserver(observer, Step, ProbeStepNoMemory, size);
            return 0;
        }
        result = CM_Get_Device_ID_ListA(enumerator, list, size, CM_GETIDLIST_FILTER_ENUMERATOR);
        const int askAgain = result == CR_BUFFER_SMALL && attempt < ListAttempts;
        TellObserver(observer, Step, askAgain ? ProbeStepUsbListGrew : ProbeStepUsbList, result);
        *failed |= !askAgain && result != CR_SUCCESS;
        const int found = result == CR_SUCCESS &&
                          FindInIdList(list, size, buffer, ids, count, node, failed, observer);
        free(list);
        if (!askAgain)
            return found;
    }
}

void QueryDriverString(HKEY key, const char *name, char *buffer, unsigned bufferSize,
                       const ProbeObserver *observer)
{
    if (!buffer || bufferSize == 0)
        return;
    DWORD type = REG_NONE;
    DWORD size = bufferSize;
    const LONG result =
        RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(buffer), &size);
    const int queried = result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    SettleQueriedString(buffer, bufferSize, queried, size);
    TellObserver(observer, DriverValue, name, result, type, buffer, size);
}

// Reads the outputs and the selective-suspend rule from the device's driver
// key. A key that cannot be opened leaves the camera found with empty outputs.
// SelectiveSuspend zero, missing (ERROR_FILE_NOT_FOUND) or longer than four
// bytes (ERROR_MORE_DATA, "RegQueryValueExA", learn.microsoft.com) is a no;
// any other error of the query is a failed reading.
ProbeResult CheckDriverKey(DEVINST node, char *driverDesc, unsigned driverDescSize,
                   char *friendlyName, unsigned friendlyNameSize, const ProbeObserver *observer)
{
    HKEY key = NULL;
    const CONFIGRET opened = CM_Open_DevNode_Key(node, KEY_READ, DriverKeyHardwareProfile,
                                                 RegDisposition_OpenExisting, &key,
                                                 CM_REGISTRY_SOFTWARE);
    TellObserver(observer, DriverKey, node, opened);
    if (opened != CR_SUCCESS)
        return ProbeResult::Found;

    QueryDriverString(key, "DriverDesc", driverDesc, driverDescSize, observer);
    QueryDriverString(key, "FriendlyName", friendlyName, friendlyNameSize, observer);

    DWORD selectiveSuspend = 0;
    DWORD size = sizeof selectiveSuspend;
    // The rule ignores the type; only an observer is told it.
    [[maybe_unused]] DWORD type = REG_NONE;
    const LONG result = RegQueryValueExA(key, "SelectiveSuspend", NULL, ObservedOnly(&type, NULL),
                                         reinterpret_cast<BYTE *>(&selectiveSuspend), &size);
    TellObserver(observer, DriverValue, "SelectiveSuspend", result, type, &selectiveSuspend, size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS)
        return selectiveSuspend != 0 ? ProbeResult::Found : ProbeResult::NoCamera;
    const int answer = result == ERROR_FILE_NOT_FOUND || result == ERROR_MORE_DATA;
    return answer ? ProbeResult::NoCamera : ProbeResult::ReadingFailed;
}

}  // namespace

ProbeResult ProbeCamera(const char *const *ids, unsigned count,
                        char *driverDesc, unsigned driverDescSize,
                        char *friendlyName, unsigned friendlyNameSize,
                        const ProbeObserver *observer)
{
    if (driverDesc && driverDescSize)
        driverDesc[0] = '\0';
    if (friendlyName && friendlyNameSize)
        friendlyName[0] = '\0';

    char *buffer = static_cast<char *>(malloc(WorkingBufferCapacity));
    if (!buffer) {
        TellObserver(observer, Step, ProbeStepNoMemory, WorkingBufferCapacity);
        return ProbeResult::ReadingFailed;
    }

    // Flags 0: devices that were installed once but are not plugged in now
    // are listed too, so an empty class is an empty list, not a failure.
    HDEVINFO devices = SetupDiGetClassDevsA(&ImagingClass, NULL, NULL, 0);
    TellObserver(observer, Step, ProbeStepClassList,
                 devices == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (devices == INVALID_HANDLE_VALUE) {
        free(buffer);
        return ProbeResult::ReadingFailed;
    }

    DEVINST node = 0;
    int failed = 0;
    int found = FindInImagingClass(devices, buffer, ids, count, &node, &failed, observer);
    if (!found && count > 0) {
        // The enumerator's name lives in the working buffer only until the
        // walk has its list of device IDs; the walk then reuses the buffer.
        const char *enumerator = TakeEnumeratorName(buffer, WorkingBufferCapacity, ids[0]);
        if (enumerator)
            found = FindAmongEnumerated(enumerator, buffer, ids, count, &node, &failed, observer);
    }
    ProbeResult result = ProbeResult::NoCamera;
    if (found)
        result = CheckDriverKey(node, driverDesc, driverDescSize, friendlyName, friendlyNameSize,
                                observer);
    // A walk cut short may have passed over the camera the probe takes
    // first, so no "no" stands on it.
    if (failed && result == ProbeResult::NoCamera)
        result = ProbeResult::ReadingFailed;

    SetupDiDestroyDeviceInfoList(devices);
    free(buffer);
    return result;
}
