// The stand-in configuration manager: the CM_* calls that find device nodes,
// read their registry properties and status and open their keys, answered
// from the device tree as Windows keeps it in the registry. Wine's own
// cfgmgr32 hands most of these to setupapi, which stubs them; the rest of the
// DLL's names are forwarded to setupapi as Wine does (see the .def file).
//
// Device node handles come from two places. SetupDiEnumDeviceInfo hands out
// setupapi's own, which setupapi's CM_Get_Device_IDA turns into device IDs;
// CM_Locate_DevNodeA here hands out handles of its own, tagged so that the two
// never meet, which stay valid for the life of the process.
// Defines the CM_* functions rather than importing them.
#define _CFGMGR32_
#include <windows.h>
#include <cfgmgr32.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cfgmgr32_shared.h"

namespace {

enum
{
    LocatedNodeTag = 0x40000000,
    LocatedNodeLimit = 8192,
    // Twice the limit: a probe for a free slot always ends.
    LocatedSlotCount = 2 * LocatedNodeLimit,
    KeyPathSize = 512,
    DriverValueSize = 256
};

enum CountedCall
{
    CallLocate,
    CallStatus,
    CallProperty,
    CallListSize,
    CallList,
    CallOpenKey,
    CallDeviceId,
    CallDeviceIdSize,
    CountedCallCount
};

const char *const CountedCallNames[CountedCallCount] = {
    "CM_Locate_DevNodeA", "CM_Get_DevNode_Status", "CM_Get_DevNode_Registry_PropertyA",
    "CM_Get_Device_ID_List_SizeA", "CM_Get_Device_ID_ListA", "CM_Open_DevNode_Key",
    "CM_Get_Device_IDA", "CM_Get_Device_ID_Size"};

LONG g_callCounts[CountedCallCount];

// Device IDs of the nodes handed out by CM_Locate_DevNodeA, by handle, and
// the handles by a hash of the ID, so that locating stays as cheap among
// thousands of devices as among a few (slot: handle + 1, 0 when free).
char *g_locatedIds[LocatedNodeLimit];
LONG g_locatedCount;
USHORT g_locatedSlots[LocatedSlotCount];
CRITICAL_SECTION g_locatedLock;

// Registry value behind each CM_DRP_* property, by property number.
const char *PropertyValueName(ULONG property)
{
    switch (property) {
    case CM_DRP_DEVICEDESC: return "DeviceDesc";
    case CM_DRP_HARDWAREID: return "HardwareID";
    case CM_DRP_COMPATIBLEIDS: return "CompatibleIDs";
    case CM_DRP_SERVICE: return "Service";
    case CM_DRP_CLASS: return "Class";
    case CM_DRP_CLASSGUID: return "ClassGUID";
    case CM_DRP_DRIVER: return "Driver";
    case CM_DRP_CONFIGFLAGS: return "ConfigFlags";
    case CM_DRP_MFG: return "Mfg";
    case CM_DRP_FRIENDLYNAME: return "FriendlyName";
    case CM_DRP_LOCATION_INFORMATION: return "LocationInformation";
    case CM_DRP_CAPABILITIES: return "Capabilities";
    case CM_DRP_UI_NUMBER: return "UINumber";
    case CM_DRP_UPPERFILTERS: return "UpperFilters";
    case CM_DRP_LOWERFILTERS: return "LowerFilters";
    default: return NULL;  // kept by the kernel, not in the registry
    }
}

void Count(CountedCall call)
{
    InterlockedIncrement(&g_callCounts[call]);
}

// "Enumerator\Device\Instance": three non-empty parts, as every device
// instance ID is, short enough for the documented limit.
int IsDeviceInstanceId(const char *id)
{
    size_t length = strlen(id);
    if (length == 0 || length >= MAX_DEVICE_ID_LEN)
        return 0;
    int separators = 0;
    for (size_t i = 0; i < length; i++) {
        if (id[i] != '\\')
            continue;
        if (i == 0 || id[i - 1] == '\\' || i + 1 == length)
            return 0;
        separators++;
    }
    return separators == 2;
}

int JoinPath(char *path, const char *base, const char *tail)
{
    size_t baseLength = strlen(base);
    size_t tailLength = strlen(tail);
    if (baseLength + 1 + tailLength >= KeyPathSize)
        return 0;
    memcpy(path, base, baseLength);
    path[baseLength] = '\\';
    memcpy(path + baseLength + 1, tail, tailLength + 1);
    return 1;
}

int OpenInstanceKey(const char *id, REGSAM access, HKEY *key)
{
    char path[KeyPathSize];
    if (!JoinPath(path, SIM_ENUM_KEY, id))
        return 0;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key) == ERROR_SUCCESS;
}

int IsPresent(HKEY instance)
{
    HKEY control = NULL;
    if (RegOpenKeyExA(instance, SIM_PRESENT_SUBKEY, 0, KEY_QUERY_VALUE, &control) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(control);
    return 1;
}

int IsDriverLoaded(HKEY instance)
{
    HKEY control = NULL;
    if (RegOpenKeyExA(instance, SIM_PRESENT_SUBKEY, 0, KEY_QUERY_VALUE, &control) != ERROR_SUCCESS)
        return 0;
    LONG result = RegQueryValueExA(control, SIM_ACTIVE_SERVICE_VALUE, NULL, NULL, NULL, NULL);
    RegCloseKey(control);
    return result == ERROR_SUCCESS;
}

int HasValue(HKEY key, const char *name)
{
    return RegQueryValueExA(key, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

// Device IDs compare without case: the hash folds ASCII letters.
unsigned SlotOfId(const char *id)
{
    unsigned hash = 2166136261u;
    for (; *id; id++)
        hash = (hash ^ (unsigned char)toupper((unsigned char)*id)) * 16777619u;
    return hash % LocatedSlotCount;
}

// A handle for id, the same one each time the same device is located.
CONFIGRET RememberLocatedNode(const char *id, DEVINST *node)
{
    EnterCriticalSection(&g_locatedLock);
    unsigned slot = SlotOfId(id);
    while (g_locatedSlots[slot] && lstrcmpiA(g_locatedIds[g_locatedSlots[slot] - 1], id) != 0)
        slot = (slot + 1) % LocatedSlotCount;
    if (!g_locatedSlots[slot] && g_locatedCount < LocatedNodeLimit) {
        char *copy = _strdup(id);
        if (copy) {
            g_locatedIds[g_locatedCount] = copy;
            g_locatedSlots[slot] = (USHORT)++g_locatedCount;
        }
    }
    const USHORT handle = g_locatedSlots[slot];
    LeaveCriticalSection(&g_locatedLock);
    if (!handle)
        return CR_OUT_OF_MEMORY;
    *node = LocatedNodeTag | (DEVINST)(handle - 1);
    return CR_SUCCESS;
}

// The device ID behind a node handle from either source, into id
// (MAX_DEVICE_ID_LEN bytes). Returns 1 when the handle is known.
int DeviceIdOfNode(DEVINST node, char *id)
{
    if (node & LocatedNodeTag) {
        LONG index = (LONG)(node & ~(DEVINST)LocatedNodeTag);
        int known = 0;
        EnterCriticalSection(&g_locatedLock);
        if (index >= 0 && index < g_locatedCount) {
            lstrcpynA(id, g_locatedIds[index], MAX_DEVICE_ID_LEN);
            known = 1;
        }
        LeaveCriticalSection(&g_locatedLock);
        return known;
    }
    // setupapi's nodes only exist while setupapi is loaded in this process.
    HMODULE setupapi = GetModuleHandleA("setupapi.dll");
    if (!setupapi)
        return 0;
    typedef CONFIGRET(WINAPI * GetDeviceId)(DEVINST, PSTR, ULONG, ULONG);
    GetDeviceId getDeviceId = reinterpret_cast<GetDeviceId>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(setupapi, "CM_Get_Device_IDA")));
    if (!getDeviceId)
        return 0;
    id[0] = '\0';
    if (getDeviceId(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return 0;
    id[MAX_DEVICE_ID_LEN - 1] = '\0';
    return id[0] != '\0';
}

// Reads a whole value; the caller frees *data. Returns a registry result.
LONG ReadWholeValue(HKEY key, const char *name, DWORD *type, BYTE **data, DWORD *size)
{
    *data = NULL;
    *size = 0;
    DWORD needed = 0;
    LONG result = RegQueryValueExA(key, name, NULL, type, NULL, &needed);
    // The size first reported may be that of the stored UTF-16; asking again
    // with a buffer gives the ANSI length, which can only be shorter.
    for (int attempt = 0; result == ERROR_SUCCESS || result == ERROR_MORE_DATA; attempt++) {
        if (attempt == 3)
            return ERROR_MORE_DATA;
        BYTE *buffer = static_cast<BYTE *>(malloc(needed ? needed : 1));
        if (!buffer)
            return ERROR_OUTOFMEMORY;
        DWORD got = needed;
        result = RegQueryValueExA(key, name, NULL, type, buffer, &got);
        if (result == ERROR_SUCCESS) {
            *data = buffer;
            *size = got;
            return ERROR_SUCCESS;
        }
        free(buffer);
        needed = got;
    }
    return result;
}

// Collects device instance IDs as a multi-string into list (capacity bytes;
// list may be NULL to only measure), whole IDs only.
class IdListWriter
{
public:
    IdListWriter(char *list, ULONG capacity) : list_(list), capacity_(capacity), needed_(0) {}

    void Add(const char *id)
    {
        ULONG size = (ULONG)strlen(id) + 1;
        if (list_ && needed_ + size + 1 <= capacity_)
            memcpy(list_ + needed_, id, size);
        needed_ += size;
    }

    // The size in bytes with the closing empty string.
    ULONG Finish()
    {
        if (list_ && needed_ < capacity_)
            list_[needed_] = '\0';
        return needed_ + 1;
    }

private:
    char *list_;
    ULONG capacity_;
    ULONG needed_;
};

// Adds the IDs of the keys levels below key, each under prefix ("" at the top
// of the Enum key, "USB" for an enumerator, "USB\VID_..." for a device).
void AddIdsBelow(HKEY key, const char *prefix, int levels, IdListWriter *writer)
{
    char name[MAX_DEVICE_ID_LEN];
    char id[MAX_DEVICE_ID_LEN];
    for (DWORD i = 0;; i++) {
        DWORD length = sizeof name;
        LONG result = RegEnumKeyExA(key, i, name, &length, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            return;
        int written = prefix[0] ? _snprintf(id, sizeof id, "%s\\%s", prefix, name)
                                : _snprintf(id, sizeof id, "%s", name);
        if (result != ERROR_SUCCESS || written < 0 || written >= (int)sizeof id)
            continue;
        if (levels == 1) {
            writer->Add(id);
            continue;
        }
        HKEY child = NULL;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            AddIdsBelow(child, id, levels - 1, writer);
            RegCloseKey(child);
        }
    }
}

// The device instance IDs of the enumerator (or enumerator\device) named by
// filter, or of every device when there is no filter.
CONFIGRET BuildIdList(const char *filter, ULONG flags, char *list, ULONG capacity, ULONG *needed)
{
    if (flags & ~(ULONG)CM_GETIDLIST_FILTER_BITS)
        return CR_INVALID_FLAG;
    // Relations, services and classes need the running kernel's tree, which
    // this stand-in does not have.
    if (flags & ~(ULONG)CM_GETIDLIST_FILTER_ENUMERATOR)
        return CR_CALL_NOT_IMPLEMENTED;
    if (!(flags & CM_GETIDLIST_FILTER_ENUMERATOR) || !filter)
        filter = "";
    if (strlen(filter) >= MAX_DEVICE_ID_LEN)
        return CR_INVALID_DATA;
    const char *separator = strchr(filter, '\\');
    if (separator && strchr(separator + 1, '\\'))
        return CR_INVALID_DEVICE_ID;  // a whole instance ID is no filter

    HKEY enumKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIM_ENUM_KEY, 0, KEY_READ, &enumKey) != ERROR_SUCCESS)
        return CR_REGISTRY_ERROR;
    IdListWriter writer(list, capacity);
    if (!filter[0]) {
        AddIdsBelow(enumKey, "", 3, &writer);
    } else {
        // An enumerator with no key simply has no devices.
        HKEY filterKey = NULL;
        if (RegOpenKeyExA(enumKey, filter, 0, KEY_READ, &filterKey) == ERROR_SUCCESS) {
            AddIdsBelow(filterKey, filter, separator ? 1 : 2, &writer);
            RegCloseKey(filterKey);
        }
    }
    RegCloseKey(enumKey);
    *needed = writer.Finish();
    return CR_SUCCESS;
}

// Lists a device with the kit's own, so that SimRemoveAllDevices takes it
// away again.
void ListForRemoval(const char *id)
{
    HKEY list = NULL;
    const DWORD one = 1;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SIM_DEVTREE_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &list,
                        NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExA(list, id, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one);
    RegCloseKey(list);
}

// A USB device that arrives now, plugged in, under the first instance ID not
// yet taken.
void AddArrivedDevice(void)
{
    static const char hardwareIds[] = "USB\\VID_FFFE&PID_0001\0";  // and the closing NUL
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    for (int n = 0; disposition != REG_CREATED_NEW_KEY && n < 10000; n++) {
        char id[MAX_DEVICE_ID_LEN];
        char path[KeyPathSize];
        HKEY instance = NULL;
        _snprintf(id, sizeof id, "USB\\VID_FFFE&PID_0001\\7&ARRIVED&0&%04d", n);
        id[sizeof id - 1] = '\0';
        if (!JoinPath(path, SIM_ENUM_KEY, id) ||
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &instance,
                            &disposition) != ERROR_SUCCESS)
            return;
        if (disposition == REG_CREATED_NEW_KEY) {
            ListForRemoval(id);
            RegSetValueExA(instance, "HardwareID", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE *>(hardwareIds), sizeof hardwareIds);
            HKEY control = NULL;
            if (RegCreateKeyExA(instance, SIM_PRESENT_SUBKEY, 0, NULL, 0, KEY_SET_VALUE, NULL,
                                &control, NULL) == ERROR_SUCCESS)
                RegCloseKey(control);
        }
        RegCloseKey(instance);
    }
}

// One of the arrivals the kit has scheduled (SIM_ARRIVALS_KEY) happens now,
// when any are left.
void ArriveIfScheduled(void)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIM_ARRIVALS_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    DWORD left = 0;
    DWORD size = sizeof left;
    if (RegQueryValueExA(key, SIM_ARRIVALS_VALUE, NULL, NULL, reinterpret_cast<BYTE *>(&left),
                         &size) == ERROR_SUCCESS &&
        size == sizeof left && left > 0) {
        left--;
        RegSetValueExA(key, SIM_ARRIVALS_VALUE, 0, REG_DWORD, reinterpret_cast<BYTE *>(&left),
                       sizeof left);
        AddArrivedDevice();
    }
    RegCloseKey(key);
}

CONFIGRET OpenSoftwareKey(HKEY instance, REGSAM access, REGDISPOSITION disposition, HKEY *key)
{
    char driver[DriverValueSize];
    DWORD type = REG_NONE;
    DWORD size = sizeof driver - 1;
    if (RegQueryValueExA(instance, "Driver", NULL, &type, reinterpret_cast<BYTE *>(driver),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return CR_NO_SUCH_REGISTRY_KEY;
    driver[size] = '\0';
    if (driver[0] == '\0')
        return CR_NO_SUCH_REGISTRY_KEY;

    char path[KeyPathSize];
    if (!JoinPath(path, SIM_CLASS_KEY, driver))
        return CR_NO_SUCH_REGISTRY_KEY;
    if (disposition == RegDisposition_OpenExisting)
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key) == ERROR_SUCCESS
                   ? CR_SUCCESS
                   : CR_NO_SUCH_REGISTRY_KEY;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, access, NULL, key, NULL) ==
                   ERROR_SUCCESS
               ? CR_SUCCESS
               : CR_REGISTRY_ERROR;
}

CONFIGRET OpenHardwareKey(HKEY instance, REGSAM access, REGDISPOSITION disposition, HKEY *key)
{
    if (disposition == RegDisposition_OpenExisting)
        return RegOpenKeyExA(instance, "Device Parameters", 0, access, key) == ERROR_SUCCESS
                   ? CR_SUCCESS
                   : CR_NO_SUCH_REGISTRY_KEY;
    return RegCreateKeyExA(instance, "Device Parameters", 0, NULL, 0, access, NULL, key, NULL) ==
                   ERROR_SUCCESS
               ? CR_SUCCESS
               : CR_REGISTRY_ERROR;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_locatedLock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL) {
        // Unloaded by FreeLibrary: give the located IDs back. At process
        // exit the system reclaims everything anyway.
        for (LONG i = 0; i < g_locatedCount; i++)
            free(g_locatedIds[i]);
        g_locatedCount = 0;
        ZeroMemory(g_locatedSlots, sizeof g_locatedSlots);
        DeleteCriticalSection(&g_locatedLock);
    }
    return TRUE;
}

LONG WINAPI SimCfgMgrCallCount(const char *functionName)
{
    for (int i = 0; i < CountedCallCount; i++) {
        if (functionName && strcmp(functionName, CountedCallNames[i]) == 0)
            return g_callCounts[i];
    }
    return -1;
}

void WINAPI SimCfgMgrResetCallCounts(void)
{
    for (int i = 0; i < CountedCallCount; i++)
        InterlockedExchange(&g_callCounts[i], 0);
}

CONFIGRET WINAPI CM_Locate_DevNode_ExA(PDEVINST node, DEVINSTID_A id, ULONG flags, HMACHINE machine)
{
    Count(CallLocate);
    if (!node)
        return CR_INVALID_POINTER;
    *node = 0;
    if (flags & ~(ULONG)CM_LOCATE_DEVNODE_BITS)
        return CR_INVALID_FLAG;
    if (machine)
        return CR_INVALID_MACHINENAME;
    // The root of the tree: always there, with no registry key of its own.
    if (!id || !id[0])
        return RememberLocatedNode("HTREE\\ROOT\\0", node);
    if (!IsDeviceInstanceId(id))
        return CR_INVALID_DEVICE_ID;

    HKEY instance = NULL;
    if (!OpenInstanceKey(id, KEY_READ, &instance))
        return CR_NO_SUCH_DEVNODE;
    // Without CM_LOCATE_DEVNODE_PHANTOM only devices that are plugged in are
    // found; with it, any device that was ever installed.
    const int usable = (flags & CM_LOCATE_DEVNODE_PHANTOM) || IsPresent(instance);
    RegCloseKey(instance);
    if (!usable)
        return CR_NO_SUCH_DEVNODE;
    return RememberLocatedNode(id, node);
}

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags)
{
    return CM_Locate_DevNode_ExA(node, id, flags, NULL);
}

CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG status, PULONG problem, DEVINST node, ULONG flags,
                                          HMACHINE machine)
{
    Count(CallStatus);
    if (!status || !problem)
        return CR_INVALID_POINTER;
    if (flags)
        return CR_INVALID_FLAG;
    if (machine)
        return CR_INVALID_MACHINENAME;
    char id[MAX_DEVICE_ID_LEN];
    if (!DeviceIdOfNode(node, id))
        return CR_INVALID_DEVNODE;
    if (lstrcmpiA(id, "HTREE\\ROOT\\0") == 0) {
        *status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
        *problem = 0;
        return CR_SUCCESS;
    }

    HKEY instance = NULL;
    if (!OpenInstanceKey(id, KEY_READ, &instance))
        return CR_NO_SUCH_DEVINST;
    CONFIGRET result = CR_SUCCESS;
    if (!IsPresent(instance)) {
        // A device that is not plugged in has no node in the running tree.
        result = CR_NO_SUCH_DEVINST;
    } else if (IsDriverLoaded(instance)) {
        *status = DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;
        *problem = 0;
    } else {
        *status = DN_HAS_PROBLEM | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;
        *problem = HasValue(instance, "Driver") ? CM_PROB_FAILED_START : CM_PROB_FAILED_INSTALL;
    }
    RegCloseKey(instance);
    return result;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags)
{
    return CM_Get_DevNode_Status_Ex(status, problem, node, flags, NULL);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_Property_ExA(DEVINST node, ULONG property, PULONG type,
                                                      PVOID buffer, PULONG length, ULONG flags,
                                                      HMACHINE machine)
{
    Count(CallProperty);
    if (!length || (!buffer && *length))
        return CR_INVALID_POINTER;
    if (flags)
        return CR_INVALID_FLAG;
    if (machine)
        return CR_INVALID_MACHINENAME;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX)
        return CR_INVALID_PROPERTY;
    char id[MAX_DEVICE_ID_LEN];
    if (!DeviceIdOfNode(node, id))
        return CR_INVALID_DEVNODE;
    const char *name = PropertyValueName(property);
    if (!name)
        return CR_NO_SUCH_VALUE;

    HKEY instance = NULL;
    if (!OpenInstanceKey(id, KEY_READ, &instance))
        return CR_NO_SUCH_DEVINST;
    DWORD valueType = REG_NONE;
    BYTE *data = NULL;
    DWORD size = 0;
    LONG read = ReadWholeValue(instance, name, &valueType, &data, &size);
    RegCloseKey(instance);
    if (read == ERROR_FILE_NOT_FOUND)
        return CR_NO_SUCH_VALUE;
    if (read == ERROR_OUTOFMEMORY)
        return CR_OUT_OF_MEMORY;
    if (read != ERROR_SUCCESS)
        return CR_REGISTRY_ERROR;

    CONFIGRET result = CR_SUCCESS;
    if (type)
        *type = valueType;
    if (*length < size) {
        // The buffer is left as it was; the caller learns the size it needs.
        result = CR_BUFFER_SMALL;
    } else {
        memcpy(buffer, data, size);
    }
    *length = size;
    free(data);
    return result;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type,
                                                   PVOID buffer, PULONG length, ULONG flags)
{
    return CM_Get_DevNode_Registry_Property_ExA(node, property, type, buffer, length, flags, NULL);
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG length, PCSTR filter, ULONG flags)
{
    Count(CallListSize);
    if (!length)
        return CR_INVALID_POINTER;
    *length = 0;
    return BuildIdList(filter, flags, NULL, 0, length);
}

CONFIGRET WINAPI CM_Get_Device_ID_ListA(PCSTR filter, PCHAR list, ULONG capacity, ULONG flags)
{
    Count(CallList);
    if (!list || capacity == 0)
        return CR_INVALID_POINTER;
    // The caller asked for the size before this call: a device scheduled to
    // arrive does so in between, and the list may no longer fit.
    ArriveIfScheduled();
    ULONG needed = 0;
    CONFIGRET result = BuildIdList(filter, flags, list, capacity, &needed);
    if (result != CR_SUCCESS)
        return result;
    if (needed > capacity) {
        // Whole IDs only: the caller never meets a cut-off one.
        list[0] = '\0';
        return CR_BUFFER_SMALL;
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Open_DevNode_Key(DEVINST node, REGSAM access, ULONG hardwareProfile,
                                     REGDISPOSITION disposition, PHKEY key, ULONG flags)
{
    Count(CallOpenKey);
    (void)hardwareProfile;  // only CM_REGISTRY_CONFIG keys depend on it
    if (!key)
        return CR_INVALID_POINTER;
    *key = NULL;
    if (flags & ~(ULONG)CM_REGISTRY_BITS)
        return CR_INVALID_FLAG;
    if (disposition > RegDisposition_Bits)
        return CR_INVALID_DATA;
    char id[MAX_DEVICE_ID_LEN];
    if (!DeviceIdOfNode(node, id))
        return CR_INVALID_DEVNODE;
    // Per-user and per-profile keys are not part of this machine's tree.
    if (flags & (CM_REGISTRY_USER | CM_REGISTRY_CONFIG))
        return CR_NO_SUCH_REGISTRY_KEY;

    HKEY instance = NULL;
    if (!OpenInstanceKey(id, KEY_READ | KEY_WRITE, &instance) &&
        !OpenInstanceKey(id, KEY_READ, &instance))
        return CR_NO_SUCH_DEVINST;
    CONFIGRET result = (flags & CM_REGISTRY_SOFTWARE)
                           ? OpenSoftwareKey(instance, access, disposition, key)
                           : OpenHardwareKey(instance, access, disposition, key);
    RegCloseKey(instance);
    return result;
}

CONFIGRET WINAPI CM_Get_Device_ID_ExA(DEVINST node, PSTR buffer, ULONG length, ULONG flags,
                                      HMACHINE machine)
{
    Count(CallDeviceId);
    if (!buffer || length == 0)
        return CR_INVALID_POINTER;
    if (flags)
        return CR_INVALID_FLAG;
    if (machine)
        return CR_INVALID_MACHINENAME;
    char id[MAX_DEVICE_ID_LEN];
    if (!DeviceIdOfNode(node, id))
        return CR_INVALID_DEVNODE;
    // As documented: the terminator is added only where it fits.
    ULONG idLength = (ULONG)strlen(id);
    if (length < idLength)
        return CR_BUFFER_SMALL;
    memcpy(buffer, id, idLength);
    if (idLength < length)
        buffer[idLength] = '\0';
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG length, ULONG flags)
{
    return CM_Get_Device_ID_ExA(node, buffer, length, flags, NULL);
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG length, DEVINST node, ULONG flags)
{
    Count(CallDeviceIdSize);
    if (!length)
        return CR_INVALID_POINTER;
    *length = 0;
    if (flags)
        return CR_INVALID_FLAG;
    char id[MAX_DEVICE_ID_LEN];
    if (!DeviceIdOfNode(node, id))
        return CR_INVALID_DEVNODE;
    *length = (ULONG)strlen(id);
    return CR_SUCCESS;
}

}  // extern "C"
