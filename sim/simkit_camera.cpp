// Stand-in cameras: devices in DirectShow's video input category, each
// bound by Wine's device enumerator to the stand-in filter, and the request
// log that filter writes.
#include "simkit.h"
#include "sim_shared.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kCategoryInstances[] = "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance";
const char kFilterServerKey[] = "CLSID\\" SIM_CAMERA_CLSID_TEXT "\\InprocServer32";
// Wine lists a category's instance keys in name order, so a zero-padded
// counter makes enumeration order the order of adding.
const char kInstancePrefix[] = "ZnSimCamera";

int DeleteKeyTree(HKEY parent, const char *name)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return 0;
    char child[256];
    int ok = 1;
    for (;;)
    {
        DWORD length = sizeof(child);
        LONG status = RegEnumKeyExA(key, 0, child, &length, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || !DeleteKeyTree(key, child))
        {
            ok = 0;
            break;
        }
    }
    RegCloseKey(key);
    return ok && RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}

int SetString(HKEY key, const wchar_t *name, const wchar_t *text)
{
    DWORD bytes = (DWORD)((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, bytes) == ERROR_SUCCESS;
}

int SetNumber(HKEY key, const wchar_t *name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&number, sizeof(number)) == ERROR_SUCCESS;
}

// The device enumerator creates the filter through COM, so its class must be
// known before the first bind; registering it again is harmless.
int RegisterFilterServer(void)
{
    char path[MAX_PATH + 32];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    lstrcatA(path, "\\" SIM_CAMERA_DLL_NAME);

    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kFilterServerKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    int ok = RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE *)path, lstrlenA(path) + 1) == ERROR_SUCCESS &&
             RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, (const BYTE *)"Both", 5) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

int CountAddedCameras(HKEY instances)
{
    int count = 0;
    char name[256];
    for (DWORD index = 0;; ++index)
    {
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(instances, index, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (strncmp(name, kInstancePrefix, sizeof(kInstancePrefix) - 1) == 0)
            ++count;
    }
    return count;
}

int ParseLogLine(const char *line, SimDriverRequest *request)
{
    unsigned long data1 = 0, id = 0, instanceSize = 0, dataSize = 0, result = 0;
    unsigned data2 = 0, data3 = 0, b[8] = {0};
    unsigned long w[9] = {0};
    int device = 0, same = 0;
    int fields = sscanf(line,
                        "device=%d set={%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x} id=0x%lx instance=%lu data=%lu "
                        "same=%d words=%lu,%lu,%lu,%lu,%lu,%lu,%lu,%lu,%lu result=0x%lx",
                        &device, &data1, &data2, &data3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7],
                        &id, &instanceSize, &dataSize, &same, &w[0], &w[1], &w[2], &w[3], &w[4], &w[5], &w[6],
                        &w[7], &w[8], &result);
    if (fields != 26)
        return 0;
    request->deviceIndex = device;
    request->set.Data1 = data1;
    request->set.Data2 = (unsigned short)data2;
    request->set.Data3 = (unsigned short)data3;
    for (int i = 0; i < 8; ++i)
        request->set.Data4[i] = (unsigned char)b[i];
    request->id = id;
    request->instanceSize = instanceSize;
    request->dataSize = dataSize;
    request->sameBuffer = same;
    for (int i = 0; i < 9; ++i)
        request->words[i] = (uint32_t)w[i];
    request->result = (HRESULT)result;
    return 1;
}

} // namespace

int SimRemoveAllCameras(void)
{
    HKEY instances = NULL;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kCategoryInstances, 0, KEY_READ, &instances) != ERROR_SUCCESS)
        return 1;
    RegCloseKey(instances);
    return DeleteKeyTree(HKEY_CLASSES_ROOT, kCategoryInstances);
}

int SimAddCameraW(const wchar_t *friendlyName, unsigned flags)
{
    if (friendlyName == NULL || !RegisterFilterServer())
        return 0;
    HKEY instances = NULL;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kCategoryInstances, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL, &instances,
                        NULL) != ERROR_SUCCESS)
        return 0;
    int index = CountAddedCameras(instances);
    char name[64];
    wsprintfA(name, "%s%04d", kInstancePrefix, index);

    HKEY device = NULL;
    int ok = RegCreateKeyExA(instances, name, 0, NULL, 0, KEY_WRITE, NULL, &device, NULL) == ERROR_SUCCESS;
    if (ok)
    {
        ok = SetString(device, L"CLSID", L"" SIM_CAMERA_CLSID_TEXT) &&
             SetNumber(device, SIM_CAMERA_INDEX_VALUE, (DWORD)index) &&
             SetNumber(device, SIM_CAMERA_FLAGS_VALUE, flags) &&
             ((flags & SimCameraNoFriendlyName) != 0 || SetString(device, L"FriendlyName", friendlyName));
        RegCloseKey(device);
    }
    RegCloseKey(instances);
    return ok;
}

int SimAddCamera(const char *friendlyName, unsigned flags)
{
    if (friendlyName == NULL)
        return 0;
    int length = MultiByteToWideChar(CP_ACP, 0, friendlyName, -1, NULL, 0);
    if (length <= 0)
        return 0;
    wchar_t *wide = (wchar_t *)malloc(length * sizeof(wchar_t));
    if (wide == NULL)
        return 0;
    int ok = MultiByteToWideChar(CP_ACP, 0, friendlyName, -1, wide, length) == length &&
             SimAddCameraW(wide, flags);
    free(wide);
    return ok;
}

int SimReadDriverLog(SimDriverRequest *requests, int max)
{
    FILE *log = fopen(SIM_DRIVER_LOG_PATH, "r");
    if (log == NULL)
        return 0;
    int count = 0;
    char line[512];
    while (fgets(line, sizeof(line), log) != NULL)
    {
        SimDriverRequest request;
        if (!ParseLogLine(line, &request))
            continue;
        if (requests != NULL && count < max)
            requests[count] = request;
        ++count;
    }
    fclose(log);
    return count;
}

int SimClearDriverLog(void)
{
    return DeleteFileA(SIM_DRIVER_LOG_PATH) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

long SimLiveFilterObjects(void)
{
    HMODULE filterDll = GetModuleHandleA(SIM_CAMERA_DLL_NAME);
    if (filterDll == NULL)
        return 0;
    typedef LONG(WINAPI * LiveObjects)(void);
    LiveObjects liveObjects = (LiveObjects)GetProcAddress(filterDll, SIM_CAMERA_LIVE_OBJECTS_EXPORT);
    return liveObjects != NULL ? liveObjects() : 0;
}

long SimLiveFilterObjectsOf(DWORD processId)
{
    char name[64];
    wsprintfA(name, SIM_CAMERA_LIVE_MAPPING_FORMAT, processId);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping == NULL)
        return 0;
    long live = 0;
    const LONG *view = (const LONG *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(LONG));
    if (view != NULL)
    {
        live = *view;
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return live;
}
