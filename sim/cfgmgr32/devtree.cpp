// The device-tree kit: writes simulated devices into the registry as Windows
// keeps installed ones, and the parts of the tree that only a running system
// keeps (presence, a started driver). A batch of thousands takes a moment:
// its parent keys are opened once, and driver keys are numbered on from the
// last one taken, not searched from 0000 for each device. What it adds is
// listed under SIM_DEVTREE_KEY so that any process can take it all away again.
#include <windows.h>
#include <shlwapi.h>
#include <initializer_list>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cfgmgr32/cfgmgr32_shared.h"
#include "devtree.h"

namespace {

// Setup classes as Windows names them in a device's ClassGUID value and in
// its driver key's name.
const char ImagingClass[] = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
const char UsbClass[] = "{36FC9E60-C465-11CF-8056-444553540000}";

// The service a started simulated camera runs under.
const char ActiveServiceName[] = "zn374simcam";

enum { KeyPathSize = 512 };

// The parent keys of a batch, and the driver key number each class tries
// next (USB, Imaging).
struct TreeKeys
{
    HKEY enumKey;
    HKEY classKey;
    HKEY remembered;
    unsigned nextDriver[2];
};

HKEY CreateKey(HKEY parent, const char *path, DWORD *disposition)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(parent, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, disposition) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

int SetString(HKEY key, const char *name, const char *text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1) ==
           ERROR_SUCCESS;
}

int Remember(HKEY remembered, const char *instanceId)
{
    const DWORD one = 1;
    return RegSetValueExA(remembered, instanceId, 0, REG_DWORD, (const BYTE *)&one, sizeof one) ==
           ERROR_SUCCESS;
}

int CountRemembered(void)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIM_DEVTREE_KEY, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return (int)values;
}

int InstancePath(char *path, const char *instanceId)
{
    int written = _snprintf(path, KeyPathSize, "%s\\%s", SIM_ENUM_KEY, instanceId);
    return written > 0 && written < KeyPathSize;
}

// What only a running system keeps: the Control key of a device in the
// running tree, and in it the service of its started driver. Windows makes
// the key volatile; here it must outlive the Wine server between processes.
int MarkRunning(HKEY instance, int driverLoaded)
{
    HKEY control = CreateKey(instance, SIM_PRESENT_SUBKEY, NULL);
    if (!control)
        return 0;
    int ok = !driverLoaded || SetString(control, SIM_ACTIVE_SERVICE_VALUE, ActiveServiceName);
    RegCloseKey(control);
    return ok;
}

// The first driver key of the class not yet taken, from *number on, named in
// the instance's Driver value as Windows does.
int CreateDriverKey(HKEY classKey, HKEY instance, const char *setupClass, unsigned *number)
{
    char name[64];
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    while (disposition != REG_CREATED_NEW_KEY) {
        _snprintf(name, sizeof name, "%s\\%04u", setupClass, (*number)++);
        HKEY driver = CreateKey(classKey, name, &disposition);
        if (!driver)
            return 0;
        RegCloseKey(driver);
    }
    return SetString(instance, "Driver", name);
}

// The path of the device's driver key, from its Driver value; 0 when it has
// none.
int DriverKeyPath(const char *instanceId, char *path)
{
    char driver[256] = "";
    DWORD size = sizeof driver - 1;
    DWORD type = REG_NONE;
    if (!InstancePath(path, instanceId) ||
        SHGetValueA(HKEY_LOCAL_MACHINE, path, "Driver", &type, driver, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size <= 1)
        return 0;
    int written = _snprintf(path, KeyPathSize, "%s\\%s", SIM_CLASS_KEY, driver);
    return written > 0 && written < KeyPathSize;
}

HKEY OpenDriverKey(const char *instanceId)
{
    char path[KeyPathSize];
    HKEY key = NULL;
    if (!DriverKeyPath(instanceId, path) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

// Takes one device away with its driver key, and its device key once no
// instance is left in it (RegDeleteKey leaves a key that has subkeys).
void RemoveDevice(const char *instanceId)
{
    char path[KeyPathSize];
    if (DriverKeyPath(instanceId, path))
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    if (!InstancePath(path, instanceId))
        return;
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    *strrchr(path, '\\') = '\0';
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

// RegSetValueExA, like Windows, counts one more byte for a string whose
// terminator lies just past the given size. The value is written from a copy
// followed by a non-NUL byte, so that exactly size bytes are stored.
LONG SetExactValue(HKEY key, const char *name, DWORD type, const void *data, DWORD size)
{
    BYTE *copy = (BYTE *)malloc(size + 1);
    if (!copy)
        return ERROR_OUTOFMEMORY;
    if (size)
        memcpy(copy, data, size);
    copy[size] = 'x';
    LONG result = RegSetValueExA(key, name, 0, type, copy, size);
    free(copy);
    return result;
}

// One device as Windows keeps an installed one; the hardware-ID bytes are
// stored exactly as given, since a device may store its list any way it
// likes. Fails when the instance exists already.
int WriteDevice(TreeKeys *keys, const SimDevice *spec)
{
    DWORD disposition = 0;
    HKEY instance = CreateKey(keys->enumKey, spec->instanceId, &disposition);
    if (!instance)
        return 0;
    const int imaging = (spec->flags & SimDeviceImaging) != 0;
    const char *setupClass = imaging ? ImagingClass : UsbClass;
    int ok = disposition == REG_CREATED_NEW_KEY && Remember(keys->remembered, spec->instanceId) &&
             SetString(instance, "ClassGUID", setupClass) &&
             SetString(instance, "Class", imaging ? "Image" : "USB");
    if (ok && spec->hardwareIds)
        ok = SetExactValue(instance, "HardwareID", REG_MULTI_SZ, spec->hardwareIds,
                           spec->hardwareIdsSize) == ERROR_SUCCESS;
    if (ok && !(spec->flags & SimDeviceNoDriverKey))
        ok = CreateDriverKey(keys->classKey, instance, setupClass, &keys->nextDriver[imaging]);
    if (ok && (spec->flags & SimDevicePresent))
        ok = MarkRunning(instance, spec->flags & SimDeviceDriverLoaded);
    RegCloseKey(instance);
    return ok;
}

typedef LONG(WINAPI *CallCountExport)(const char *);
typedef void(WINAPI *ResetCountsExport)(void);

}  // namespace

int SimAddDevices(const SimDevice *devices, int count)
{
    TreeKeys keys = {CreateKey(HKEY_LOCAL_MACHINE, SIM_ENUM_KEY, NULL),
                     CreateKey(HKEY_LOCAL_MACHINE, SIM_CLASS_KEY, NULL),
                     CreateKey(HKEY_LOCAL_MACHINE, SIM_DEVTREE_KEY, NULL), {0, 0}};
    int ok = devices && keys.enumKey && keys.classKey && keys.remembered;
    for (int i = 0; ok && i < count; i++)
        ok = devices[i].instanceId && WriteDevice(&keys, &devices[i]);
    for (HKEY key : {keys.enumKey, keys.classKey, keys.remembered}) {
        if (key)
            RegCloseKey(key);
    }
    return ok;
}

int SimAddDevice(const SimDevice *device)
{
    return SimAddDevices(device, 1);
}

int SimScheduleArrivals(DWORD count)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SIM_ARRIVALS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 0;
    LONG result = RegSetValueExA(key, SIM_ARRIVALS_VALUE, 0, REG_DWORD, (const BYTE *)&count,
                                 sizeof count);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

int SimRemoveAllDevices(void)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SIM_ARRIVALS_KEY);
    HKEY key = NULL;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIM_DEVTREE_KEY, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return 1;
    if (opened != ERROR_SUCCESS)
        return 0;
    int ok = 1;
    for (;;) {
        char instanceId[KeyPathSize];
        DWORD length = sizeof instanceId;
        LONG result = RegEnumValueA(key, 0, instanceId, &length, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            ok = 0;
            break;
        }
        RemoveDevice(instanceId);
        if (RegDeleteValueA(key, instanceId) != ERROR_SUCCESS) {
            ok = 0;
            break;
        }
    }
    RegCloseKey(key);
    return ok;
}

int SimSetDriverValue(const char *instanceId, const char *name, DWORD type, const void *data,
                      DWORD size)
{
    HKEY key = OpenDriverKey(instanceId);
    if (!key)
        return 0;
    LONG result = SetExactValue(key, name, type, data, size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

int SimSetDriverDword(const char *instanceId, const char *name, DWORD value)
{
    return SimSetDriverValue(instanceId, name, REG_DWORD, &value, sizeof value);
}

int SimSetDriverString(const char *instanceId, const char *name, const char *text)
{
    return SimSetDriverValue(instanceId, name, REG_SZ, text, (DWORD)strlen(text) + 1);
}

int SimDeleteDriverValue(const char *instanceId, const char *name)
{
    HKEY key = OpenDriverKey(instanceId);
    if (!key)
        return 0;
    LONG result = RegDeleteValueA(key, name);
    RegCloseKey(key);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

int SimAddSupportedCamera(const char *friendlyName, long selectiveSuspend, unsigned flags)
{
    static const char hardwareIds[] =
        "USB\\VID_05CA&PID_1814&REV_0100&MI_00\0USB\\VID_05CA&PID_1814&MI_00\0";
    char instanceId[KeyPathSize];
    _snprintf(instanceId, sizeof instanceId, "USB\\VID_05CA&PID_1814&MI_00\\7&ZN374&0&%04d",
              CountRemembered());
    instanceId[sizeof instanceId - 1] = '\0';

    SimDevice camera = {instanceId, hardwareIds, sizeof hardwareIds, flags};
    if (!SimAddDevice(&camera) ||
        !SimSetDriverString(instanceId, "FriendlyName", friendlyName) ||
        !SimSetDriverString(instanceId, "DriverDesc", friendlyName))
        return 0;
    if (selectiveSuspend >= 0)
        return SimSetDriverDword(instanceId, "SelectiveSuspend", (DWORD)selectiveSuspend);
    return 1;
}

long SimCfgMgrCalls(const char *functionName)
{
    HMODULE standIn = GetModuleHandleA(SIM_CFGMGR_DLL_NAME);
    CallCountExport callCount = standIn ? (CallCountExport)(void (*)(void))GetProcAddress(
                                              standIn, SIM_CFGMGR_CALL_COUNT_EXPORT)
                                        : NULL;
    return callCount ? callCount(functionName) : -1;
}

int SimResetCfgMgrCalls(void)
{
    HMODULE standIn = GetModuleHandleA(SIM_CFGMGR_DLL_NAME);
    ResetCountsExport reset = standIn ? (ResetCountsExport)(void (*)(void))GetProcAddress(
                                            standIn, SIM_CFGMGR_RESET_COUNTS_EXPORT)
                                      : NULL;
    if (!reset)
        return 0;
    reset();
    return 1;
}
