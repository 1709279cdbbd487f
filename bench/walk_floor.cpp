// The walk floor's walk, the calls the design's probe must make: every Imaging
// class device's hardware IDs (4096 bytes); if none is supported, each USB
// instance located (phantoms too) with its hardware IDs (260 bytes) and only a
// supported one's status. The bench's IDs have no commas, so a string compare
// stands in for the matching.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <stdlib.h>
#include <string.h>

#include "discovery/camera_probe.h"

namespace {

const GUID ImagingClass = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

char *g_Buffer;  // from the heap as the design's, with room to close a list

int IsSupported(DEVINST node, ULONG length)
{
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, g_Buffer, &length, 0))
        return 0;
    memset(g_Buffer + length, 0, 2);
    for (const char *id = g_Buffer; *id; id += strlen(id) + 1) {
        for (unsigned i = 0; i < SupportedHardwareIdCount; i++) {
            if (_stricmp(id, SupportedHardwareIds[i]) == 0)
                return 1;
        }
    }
    return 0;
}

int FindInImagingClass(HDEVINFO devices, DEVINST *node)
{
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
        *node = device.DevInst;
        if (IsSupported(*node, 4096))
            return 1;
    }
    return 0;
}

int FindAmongUsb(DEVINST *node)
{
    ULONG size = 0, status = 0, problem = 0;
    if (CM_Get_Device_ID_List_SizeA(&size, "USB", CM_GETIDLIST_FILTER_ENUMERATOR) || !size)
        return 0;
    char *list = static_cast<char *>(malloc(size));
    int found = 0;
    if (list && !CM_Get_Device_ID_ListA("USB", list, size, CM_GETIDLIST_FILTER_ENUMERATOR)) {
        for (char *id = list; *id && !found; id += strlen(id) + 1)
            found = !CM_Locate_DevNodeA(node, id, CM_LOCATE_DEVNODE_PHANTOM) &&
                    IsSupported(*node, 260) &&
                    !CM_Get_DevNode_Status(&status, &problem, *node, 0) &&
                    (status & DN_DRIVER_LOADED);
    }
    free(list);
    return found;
}

}  // namespace

void WalkDeviceTree(void)
{
    DEVINST node = 0;
    HDEVINFO devices = SetupDiGetClassDevsA(&ImagingClass, NULL, NULL, 0);
    if (devices == INVALID_HANDLE_VALUE)
        return;
    g_Buffer = static_cast<char *>(malloc(4096 + 2));
    if (g_Buffer && !FindInImagingClass(devices, &node))
        FindAmongUsb(&node);
    free(g_Buffer);
    SetupDiDestroyDeviceInfoList(devices);
}
