// The device-tree kit: installs and removes simulated devices through
// setupapi, as a driver package's installer would, and adds the parts of the
// tree that only a running system keeps (presence, a started driver) straight
// to the registry. What it adds is listed under SIM_DEVTREE_KEY so that any
// process can take it all away again.
#include <windows.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cfgmgr32/cfgmgr32_shared.h"
#include "devtree.h"

namespace {

const GUID ImagingClass = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
const GUID UsbClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// The service a started simulated camera runs under.
const char ActiveServiceName[] = "zn374simcam";

enum { KeyPathSize = 512 };

int Remember(const char *instanceId)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SIM_DEVTREE_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return 0;
    const DWORD one = 1;
    LONG result = RegSetValueExA(key, instanceId, 0, REG_DWORD, (const BYTE *)&one, sizeof one);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
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

int InstancePath(char *path, const char *instanceId, const char *subkey)
{
    int written = subkey
        ? _snprintf(path, KeyPathSize, "%s\\%s\\%s", SIM_ENUM_KEY, instanceId, subkey)
        : _snprintf(path, KeyPathSize, "%s\\%s", SIM_ENUM_KEY, instanceId);
    return written > 0 && written < KeyPathSize;
}

// What only a running system keeps: the Control key of a device in the
// running tree, and in it the service of its started driver. Windows makes
// the key volatile; here it must outlive the Wine server between processes.
int MarkRunning(const char *instanceId, int driverLoaded)
{
    char path[KeyPathSize];
    if (!InstancePath(path, instanceId, SIM_PRESENT_SUBKEY))
        return 0;
    HKEY control = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE,
                        NULL, &control, NULL) != ERROR_SUCCESS)
        return 0;
    LONG result = ERROR_SUCCESS;
    if (driverLoaded)
        result = RegSetValueExA(control, SIM_ACTIVE_SERVICE_VALUE, 0, REG_SZ,
                                (const BYTE *)ActiveServiceName, sizeof ActiveServiceName);
    RegCloseKey(control);
    return result == ERROR_SUCCESS;
}

// The device's driver key, opened through setupapi as an installer would.
HKEY OpenDriverKey(const char *instanceId)
{
    HKEY key = (HKEY)INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return NULL;
    SP_DEVINFO_DATA device;
    ZeroMemory(&device, sizeof device);
    device.cbSize = sizeof device;
    if (SetupDiOpenDeviceInfoA(set, instanceId, NULL, 0, &device))
        key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    SetupDiDestroyDeviceInfoList(set);
    return key == (HKEY)INVALID_HANDLE_VALUE ? NULL : key;
}

// Takes one device away with its driver key; the registry is cleaned after
// setupapi in case it left anything (or did not know the device).
void RemoveDevice(const char *instanceId)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device;
        ZeroMemory(&device, sizeof device);
        device.cbSize = sizeof device;
        if (SetupDiOpenDeviceInfoA(set, instanceId, NULL, 0, &device)) {
            HKEY driver = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                               KEY_ALL_ACCESS);
            if (driver != (HKEY)INVALID_HANDLE_VALUE) {
                SHDeleteKeyA(driver, "");
                RegCloseKey(driver);
            }
            SetupDiRemoveDevice(set, &device);
        }
        SetupDiDestroyDeviceInfoList(set);
    }

    char path[KeyPathSize];
    if (InstancePath(path, instanceId, NULL)) {
        HKEY instance = NULL;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &instance) ==
            ERROR_SUCCESS) {
            char driver[256];
            DWORD size = sizeof driver - 1;
            DWORD type = REG_NONE;
            if (RegQueryValueExA(instance, "Driver", NULL, &type, (BYTE *)driver, &size) ==
                    ERROR_SUCCESS &&
                type == REG_SZ && size > 1) {
                driver[size] = '\0';
                char classPath[KeyPathSize];
                if (_snprintf(classPath, KeyPathSize, "%s\\%s", SIM_CLASS_KEY, driver) > 0) {
                    classPath[KeyPathSize - 1] = '\0';
                    SHDeleteKeyA(HKEY_LOCAL_MACHINE, classPath);
                }
            }
            RegCloseKey(instance);
            SHDeleteKeyA(HKEY_LOCAL_MACHINE, path);
        }
        // The device's own key, once no instance is left in it (RegDeleteKey
        // leaves a key that has subkeys).
        *strrchr(path, '\\') = '\0';
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    }
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

// setupapi closes a multi-string that lacks its terminators; a device may
// store its list any way it likes, so the bytes are put back as given.
int KeepExactBytes(const char *instanceId, const char *name, const char *data, DWORD size)
{
    char path[KeyPathSize];
    HKEY instance = NULL;
    if (!InstancePath(path, instanceId, NULL) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &instance) !=
            ERROR_SUCCESS)
        return 0;
    char stored[4096];
    DWORD storedSize = sizeof stored;
    LONG result = RegQueryValueExA(instance, name, NULL, NULL, (BYTE *)stored, &storedSize);
    if (result != ERROR_SUCCESS || storedSize != size || memcmp(stored, data, size) != 0)
        result = SetExactValue(instance, name, REG_MULTI_SZ, data, size);
    RegCloseKey(instance);
    return result == ERROR_SUCCESS;
}

typedef LONG(WINAPI *CallCountExport)(const char *);
typedef void(WINAPI *ResetCountsExport)(void);

}  // namespace

int SimAddDevice(const SimDevice *spec)
{
    if (!spec || !spec->instanceId || !Remember(spec->instanceId))
        return 0;

    const GUID *setupClass = (spec->flags & SimDeviceImaging) ? &ImagingClass : &UsbClass;
    HDEVINFO set = SetupDiCreateDeviceInfoList(setupClass, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVINFO_DATA device;
    ZeroMemory(&device, sizeof device);
    device.cbSize = sizeof device;
    int ok = SetupDiCreateDeviceInfoA(set, spec->instanceId, setupClass, NULL, NULL, 0, &device);
    if (ok && spec->hardwareIds)
        ok = SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                               (const BYTE *)spec->hardwareIds,
                                               spec->hardwareIdsSize);
    if (ok)
        ok = SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL);
    if (ok && !(spec->flags & SimDeviceNoDriverKey)) {
        HKEY driver = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, NULL,
                                              NULL);
        ok = driver != (HKEY)INVALID_HANDLE_VALUE;
        if (ok)
            RegCloseKey(driver);
    }
    // An unregistered device would be taken away again with the list.
    SetupDiDestroyDeviceInfoList(set);

    if (ok && spec->hardwareIds)
        ok = KeepExactBytes(spec->instanceId, "HardwareID", spec->hardwareIds,
                            spec->hardwareIdsSize);
    if (ok && (spec->flags & SimDevicePresent))
        ok = MarkRunning(spec->instanceId, spec->flags & SimDeviceDriverLoaded);
    return ok;
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

int SimAddSupportedCamera(const char *friendlyName, long selectiveSuspend)
{
    static const char hardwareIds[] =
        "USB\\VID_05CA&PID_1814&REV_0100&MI_00\0USB\\VID_05CA&PID_1814&MI_00\0";
    char instanceId[KeyPathSize];
    _snprintf(instanceId, sizeof instanceId, "USB\\VID_05CA&PID_1814&MI_00\\7&ZN374&0&%04d",
              CountRemembered());
    instanceId[sizeof instanceId - 1] = '\0';

    SimDevice camera = {instanceId, hardwareIds, sizeof hardwareIds,
                        SimDeviceImaging | SimDevicePresent | SimDeviceDriverLoaded};
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
