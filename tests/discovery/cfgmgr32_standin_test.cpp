// The stand-in configuration manager against the documented behaviour of the
// calls it replaces, for the calls and arguments the product makes, and the
// device-tree kit that feeds it. If these drift from the platform, the
// probe's tests prove nothing.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "device_tree_test.h"

namespace {

const GUID ImagingClass = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

const char PluggedId[] = "USB\\VID_05CA&PID_180F&MI_00\\6&11&0&0000";
const char StoppedId[] = "USB\\VID_05CA&PID_180F&MI_00\\6&11&0&0001";
const char UnpluggedId[] = "USB\\VID_0AC8&PID_C501&MI_00\\6&22&0&0000";

const char Ids[] = "USB\\VID_05CA&PID_180F&REV_0001&MI_00\0USB\\VID_05CA&PID_180F&MI_00\0";

class CfgMgrStandIn : public DeviceTreeTest
{
protected:
    void SetUp() override
    {
        DeviceTreeTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        AddDevice(PluggedId, Ids, sizeof Ids, SimDevicePresent | SimDeviceDriverLoaded);
        AddDevice(StoppedId, Ids, sizeof Ids, SimDevicePresent);
        AddDevice(UnpluggedId, Ids, sizeof Ids, 0);
    }

    static DEVINST Locate(const char *id)
    {
        DEVINST node = 0;
        CONFIGRET cr = CM_Locate_DevNodeA(&node, const_cast<char *>(id), CM_LOCATE_DEVNODE_PHANTOM);
        EXPECT_EQ((CONFIGRET)CR_SUCCESS, cr) << id;
        return node;
    }
};

TEST_F(CfgMgrStandIn, StatusTellsRunningDriverFromStoppedOneAndUnpluggedDevice)
{
    ULONG status = 0xcccccccc, problem = 0xcccccccc;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_DevNode_Status(&status, &problem, Locate(PluggedId), 0));
    EXPECT_EQ((ULONG)DN_DRIVER_LOADED, status & (DN_DRIVER_LOADED | DN_HAS_PROBLEM)) << std::hex << status;
    EXPECT_EQ(0u, problem);

    ASSERT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_DevNode_Status(&status, &problem, Locate(StoppedId), 0));
    EXPECT_EQ((ULONG)DN_HAS_PROBLEM, status & (DN_DRIVER_LOADED | DN_HAS_PROBLEM)) << std::hex << status;
    EXPECT_NE(0u, problem);

    EXPECT_EQ((CONFIGRET)CR_NO_SUCH_DEVINST,
              CM_Get_DevNode_Status(&status, &problem, Locate(UnpluggedId), 0));
}

TEST_F(CfgMgrStandIn, PropertyGivesStoredBytesOrTheSizeItNeeds)
{
    DEVINST node = Locate(UnpluggedId);
    char buffer[256];
    memset(buffer, 0xcc, sizeof buffer);
    ULONG length = sizeof buffer;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS,
              CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, buffer, &length, 0));
    ASSERT_EQ((ULONG)sizeof Ids, length);
    EXPECT_EQ(0, memcmp(Ids, buffer, sizeof Ids));
    EXPECT_EQ((char)0xcc, buffer[sizeof Ids]) << "wrote past the value";

    memset(buffer, 0xcc, sizeof buffer);
    length = sizeof Ids - 1;
    EXPECT_EQ((CONFIGRET)CR_BUFFER_SMALL,
              CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, NULL, buffer, &length, 0));
    EXPECT_EQ((ULONG)sizeof Ids, length);
    EXPECT_EQ((char)0xcc, buffer[0]) << "a short buffer was written";
}

TEST_F(CfgMgrStandIn, PropertyOfSetupapiNodeReadsTheSameDevice)
{
    AddDevice("USB\\VID_0461&PID_4DB1&MI_00\\6&33&0&0000", Ids, sizeof Ids, SimDeviceImaging);
    HDEVINFO devices = SetupDiGetClassDevsA(&ImagingClass, NULL, NULL, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, devices);
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(devices, 0, &device)) << "the Imaging class is empty";
    char buffer[256];
    ULONG length = sizeof buffer;
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Get_DevNode_Registry_PropertyA(
                                         device.DevInst, CM_DRP_HARDWAREID, NULL, buffer, &length, 0));
    EXPECT_EQ((ULONG)sizeof Ids, length);
    SetupDiDestroyDeviceInfoList(devices);
}

TEST_F(CfgMgrStandIn, IdListOfEnumeratorHoldsEveryInstanceWithItsSize)
{
    const std::string expected = std::string(PluggedId) + '\0' + StoppedId + '\0' + UnpluggedId +
                                 '\0' + '\0';
    ULONG size = 0;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS,
              CM_Get_Device_ID_List_SizeA(&size, "USB", CM_GETIDLIST_FILTER_ENUMERATOR));
    ASSERT_EQ(expected.size(), size);

    std::string list(size + 4, '\xcc');
    ASSERT_EQ((CONFIGRET)CR_SUCCESS,
              CM_Get_Device_ID_ListA("USB", &list[0], size, CM_GETIDLIST_FILTER_ENUMERATOR));
    EXPECT_EQ(expected, list.substr(0, size));
    EXPECT_EQ('\xcc', list[size]) << "wrote past the size";

    EXPECT_EQ((CONFIGRET)CR_BUFFER_SMALL,
              CM_Get_Device_ID_ListA("USB", &list[0], size - 1, CM_GETIDLIST_FILTER_ENUMERATOR));
}

TEST_F(CfgMgrStandIn, SoftwareKeyIsTheDriverKeyAndMissingOneIsReported)
{
    ASSERT_EQ(1, SimSetDriverString(PluggedId, "FriendlyName", "Driver Key Name"));
    HKEY key = NULL;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS,
              CM_Open_DevNode_Key(Locate(PluggedId), KEY_READ, 0, RegDisposition_OpenExisting, &key,
                                  CM_REGISTRY_SOFTWARE));
    char name[64] = "";
    DWORD size = sizeof name;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "FriendlyName", NULL, NULL, (BYTE *)name, &size));
    EXPECT_STREQ("Driver Key Name", name);
    RegCloseKey(key);

    const char bareId[] = "USB\\VID_0461&PID_4DB1&MI_00\\6&44&0&0000";
    AddDevice(bareId, Ids, sizeof Ids, SimDevicePresent | SimDeviceNoDriverKey);
    key = (HKEY)0x1234;
    EXPECT_EQ((CONFIGRET)CR_NO_SUCH_REGISTRY_KEY,
              CM_Open_DevNode_Key(Locate(bareId), KEY_READ, 0, RegDisposition_OpenExisting, &key,
                                  CM_REGISTRY_SOFTWARE));
    EXPECT_EQ(NULL, key);
}

TEST_F(CfgMgrStandIn, KitRemovesEveryDeviceAndDriverKeyItAdded)
{
    char driver[128] = "";
    HKEY instance = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           (std::string("System\\CurrentControlSet\\Enum\\") + PluggedId).c_str(),
                                           0, KEY_READ, &instance));
    DWORD size = sizeof driver;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(instance, "Driver", NULL, NULL, (BYTE *)driver, &size));
    RegCloseKey(instance);

    ASSERT_EQ(1, SimRemoveAllDevices());
    DEVINST node = 0;
    for (const char *id : {PluggedId, StoppedId, UnpluggedId})
        EXPECT_EQ((CONFIGRET)CR_NO_SUCH_DEVNODE,
                  CM_Locate_DevNodeA(&node, (char *)id, CM_LOCATE_DEVNODE_PHANTOM))
            << id;
    HKEY key = NULL;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            (std::string("System\\CurrentControlSet\\Control\\Class\\") + driver).c_str(),
                            0, KEY_READ, &key))
        << "driver key " << driver << " left behind";
    ULONG listSize = 0;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS,
              CM_Get_Device_ID_List_SizeA(&listSize, "USB", CM_GETIDLIST_FILTER_ENUMERATOR));
    EXPECT_EQ(1u, listSize);
}

}  // namespace
