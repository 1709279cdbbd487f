// The supported-camera probe on the simulated machine: device trees built
// through setupapi, read back through the stand-in configuration manager.
#include <windows.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_tree_test.h"
#include "discovery/camera_probe.h"

namespace {

const char *const Wanted[] = {
    SupportedHardwareIds[0], SupportedHardwareIds[1], SupportedHardwareIds[2],
    SupportedHardwareIds[3]};

const char CameraId[] = "USB\\VID_0461&PID_4DB1&MI_00\\6&2F1C&0&0000";
const char OtherCameraId[] = "USB\\VID_0461&PID_4DB1&MI_00\\6&2F1C&0&0001";
// Sorts after CameraId's device among the USB enumerator's devices.
const char LaterDeviceId[] = "USB\\VID_FFFF&PID_0001&MI_00\\6&77&0&0000";

// A HardwareID multi-string from its strings, with its closing empty string.
std::string HardwareIds(std::initializer_list<const char *> strings)
{
    std::string list;
    for (const char *s : strings) {
        list += s;
        list += '\0';
    }
    list += '\0';
    return list;
}

const std::string CameraIds =
    HardwareIds({"USB\\VID_0461&PID_4DB1&REV_0100&MI_00", "USB\\VID_0461&PID_4DB1&MI_00"});

// Output buffers: the size the probe is given, then a guard it must not touch.
enum { OutputCapacity = 260 + 8 };

struct ProbeResult
{
    int found;  // 1 found, 0 a definite no, 2 a reading failed
    char driverDesc[OutputCapacity];
    char friendlyName[OutputCapacity];
};

// A device: its HardwareID value ("": none) and, unless it has no driver
// key, FriendlyName name, DriverDesc name + " Driver" and SelectiveSuspend 1.
struct Device
{
    const char *id;
    std::string hardwareIds;
    unsigned flags;  // SimDeviceFlags
    const char *name;
};

const unsigned Running = SimDevicePresent | SimDeviceDriverLoaded;
const unsigned Imaging = SimDeviceImaging | Running;

class CameraProbe : public DeviceTreeTest
{
protected:
    static void AddCamera(const Device &device)
    {
        const std::string &ids = device.hardwareIds;
        AddDevice(device.id, ids.empty() ? NULL : ids.data(), (DWORD)ids.size(), device.flags);
        if (device.flags & SimDeviceNoDriverKey)
            return;
        ASSERT_EQ(1, SimSetDriverString(device.id, "FriendlyName", device.name));
        const std::string desc = device.name + std::string(" Driver");
        ASSERT_EQ(1, SimSetDriverString(device.id, "DriverDesc", desc.c_str()));
        ASSERT_EQ(1, SimSetDriverDword(device.id, "SelectiveSuspend", 1));
    }

    // Outputs are filled with a pattern first; sizes leave a guard behind.
    static ProbeResult Probe(unsigned outputSize = 260)
    {
        ProbeResult result;
        memset(&result, 0xcc, sizeof result);
        const ::ProbeResult probe = ProbeCamera(Wanted, 4, result.driverDesc, outputSize,
                                                result.friendlyName, outputSize);
        result.found = probe == ::ProbeResult::Found ? 1 : probe == ::ProbeResult::NoCamera ? 0 : 2;
        return result;
    }

    static long UsbWalkCalls()
    {
        return SimCfgMgrCalls("CM_Get_Device_ID_List_SizeA") + SimCfgMgrCalls("CM_Locate_DevNodeA");
    }
};

// Which camera the probe finds on a device tree, and whether the USB walk ran
// (CM_Locate_DevNodeA calls: at least usbWalk, or none for 0).
struct Tree
{
    const char *behaviour;
    std::vector<Device> devices;
    const char *found;  // the name found, NULL for none
    long usbWalk;
};

void PrintTo(const Tree &tree, std::ostream *out) { *out << tree.behaviour; }

const Tree Trees[] = {
    {"ImagingCameraWithSuspendOneNeverWalksUsb", {{CameraId, CameraIds, Imaging, "Sim Camera"}},
     "Sim Camera", 0},
    {"ClassWalkFindsCameraThatIsNotPluggedIn",
     {{CameraId, CameraIds, SimDeviceImaging, "Sim Camera"}}, "Sim Camera", 0},
    // How the IDs match is the native match test's; here, that only the
    // bytes read count: the list ends where the read ended.
    {"MatchesListStoredWithoutAnyTerminator",
     {{CameraId, "USB\\VID_0461&PID_4DB1&MI_00", Imaging, "Cam"}}, "Cam", 0},
    {"NeverMatchesCutOffId", {{CameraId, "USB\\VID_0461&PID_4DB1&MI_0", Imaging, "Cam"}}, NULL, -1},
    {"IgnoresImagingDevicesWithOtherIds",
     {{CameraId, HardwareIds({"USB\\VID_0461&PID_4DB1&MI_01", "USB\\Class_0E,"}), Imaging, "Cam"},
      {LaterDeviceId, HardwareIds({"USB\\VID_0461&PID_4DB1,&MI_00"}), Imaging, "Cam"}},
     NULL, -1},
    {"CameraWithoutDriverKeyCountsAsFoundWithEmptyName",
     {{CameraId, CameraIds, Imaging | SimDeviceNoDriverKey, NULL}}, "", 0},
    {"UsbWalkFindsUsbOnlyCameraWhoseDriverIsLoaded",
     {{CameraId, CameraIds, Running, "Usb Camera"}}, "Usb Camera", 1},
    {"UsbWalkRefusesCamerasWhoseDriverIsNotLoaded",
     {{CameraId, CameraIds, SimDevicePresent, "Stopped"}, {OtherCameraId, CameraIds, 0, "Gone"}}, NULL,
     2},
    {"UsbWalkGoesOnPastStoppedCameraToFirstRunningOne",
     {{CameraId, CameraIds, SimDevicePresent, "Stopped"},
      {OtherCameraId, CameraIds, Running, "Running"}, {LaterDeviceId, CameraIds, Running, "Later"}},
     "Running", 2},
    // The stopped camera leaves its list in the working buffer; the running
    // device after it has no HardwareID value at all.
    {"UsbWalkNeverMatchesDeviceWithoutIdsAgainstEarlierList",
     {{CameraId, CameraIds, SimDevicePresent, "Stopped"}, {LaterDeviceId, "", Running, "Bare"}},
     NULL, 2},
};

class CameraProbeTrees : public CameraProbe, public ::testing::WithParamInterface<Tree>
{
};

TEST_P(CameraProbeTrees, FindsTheFirstRunningSupportedCamera)
{
    for (const Device &device : GetParam().devices)
        AddCamera(device);
    const ProbeResult result = Probe();
    const char *found = GetParam().found;
    EXPECT_EQ(found ? 1 : 0, result.found);
    EXPECT_STREQ(found ? found : "", result.friendlyName);
    const std::string desc = found && *found ? std::string(found) + " Driver" : "";
    EXPECT_STREQ(desc.c_str(), result.driverDesc);
    const bool named = found && *found;
    EXPECT_TRUE(!named || SimCfgMgrCalls("CM_Open_DevNode_Key") > 0) << "driver key not read by cfgmgr32";
    const long usbWalk = SimCfgMgrCalls("CM_Locate_DevNodeA"), expected = GetParam().usbWalk;
    EXPECT_TRUE(expected < 0 || (expected ? usbWalk >= expected : UsbWalkCalls() == 0))
        << "USB walk: expected " << expected << " devices located, got " << usbWalk;
}

INSTANTIATE_TEST_SUITE_P(Trees, CameraProbeTrees, ::testing::ValuesIn(Trees),
                         [](const ::testing::TestParamInfo<Tree> &info) {
                             return std::string(info.param.behaviour);
                         });

TEST_F(CameraProbe, RefusesCameraWhoseSelectiveSuspendIsZeroMissingOrTooLong)
{
    struct Case
    {
        const char *what;
        DWORD type;
        BYTE data[8];
        DWORD size;   // 0: no value at all
        int expected;
    } cases[] = {
        {"DWORD 1", REG_DWORD, {1}, 4, 1},
        {"DWORD 0", REG_DWORD, {0}, 4, 0},
        {"missing", REG_DWORD, {0}, 0, 0},
        {"8 bytes", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, 8, 0},
        {"QWORD 1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 8, 0},
        {"2 bytes non-zero", REG_BINARY, {1, 0}, 2, 1},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, SimRemoveAllDevices());
        AddCamera({CameraId, CameraIds, Imaging, "Sim Camera"});
        if (c.size)
            ASSERT_EQ(1, SimSetDriverValue(CameraId, "SelectiveSuspend", c.type, c.data, c.size));
        else
            ASSERT_EQ(1, SimDeleteDriverValue(CameraId, "SelectiveSuspend"));
        EXPECT_EQ(c.expected, Probe().found) << "SelectiveSuspend " << c.what;
    }
}

TEST_F(CameraProbe, UsbWalkReadsIdListsOf260BytesOnlyClassWalkLongerOnes)
{
    // The wanted ID last, after a filler string that makes the list, with
    // every terminator, exactly that long.
    const std::string wanted = HardwareIds({"USB\\VID_0461&PID_4DB1&MI_00"});
    for (size_t size : {260u, 261u}) {
        const std::string list = std::string(size - wanted.size() - 1, 'X') + '\0' + wanted;
        ASSERT_EQ(size, list.size());
        ASSERT_EQ(1, SimRemoveAllDevices());
        AddCamera({CameraId, list, Imaging, "Sim Camera"});
        EXPECT_EQ(1, Probe().found) << "class walk, list of " << size << " bytes";

        ASSERT_EQ(1, SimRemoveAllDevices());
        AddCamera({CameraId, list, Running, "Sim Camera"});
        ASSERT_EQ(1, SimResetCfgMgrCalls());
        EXPECT_EQ(size == 260 ? 1 : 0, Probe().found) << "USB walk, list of " << size << " bytes";
        EXPECT_GT(SimCfgMgrCalls("CM_Locate_DevNodeA"), 0) << "the USB walk did not run";
    }
}

TEST_F(CameraProbe, DecidesWithOutputsNullOrOfSizeZeroAndWritesNeither)
{
    AddCamera({CameraId, CameraIds, Imaging, "Sim Camera"});
    char driverDesc = 'x', friendlyName = 'x';
    EXPECT_EQ(::ProbeResult::Found, ProbeCamera(Wanted, 4, NULL, 0, NULL, 0));
    EXPECT_EQ(::ProbeResult::Found, ProbeCamera(Wanted, 4, &driverDesc, 0, &friendlyName, 0));
    EXPECT_EQ('x', driverDesc);
    EXPECT_EQ('x', friendlyName);
    EXPECT_EQ(::ProbeResult::NoCamera, ProbeCamera(Wanted, 0, NULL, 0, NULL, 0)) << "no wanted IDs";
    ASSERT_EQ(1, SimSetDriverDword(CameraId, "SelectiveSuspend", 0));
    EXPECT_EQ(::ProbeResult::NoCamera, ProbeCamera(Wanted, 4, NULL, 0, NULL, 0));
}

TEST_F(CameraProbe, UsbWalkAsksAgainWhileDevicesArriveAndGivesUpAfterThreeLists)
{
    // Each arrival comes between a size call and its list call.
    const struct
    {
        DWORD arrivals;
        int found;
        long lists;  // list calls, each after a size call of its own
    } cases[] = {{0, 1, 1}, {1, 1, 2}, {2, 1, 3}, {3, 2, 3}};
    for (const auto &c : cases) {
        ASSERT_EQ(1, SimRemoveAllDevices());
        AddCamera({CameraId, CameraIds, Running, "Usb Camera"});
        ASSERT_EQ(1, SimScheduleArrivals(c.arrivals));
        ASSERT_EQ(1, SimResetCfgMgrCalls());
        ProbeResult result = Probe();
        EXPECT_EQ(c.found, result.found) << c.arrivals << " arrivals";
        EXPECT_STREQ(c.found == 1 ? "Usb Camera" : "", result.friendlyName) << c.arrivals << " arrivals";
        EXPECT_EQ(c.lists, SimCfgMgrCalls("CM_Get_Device_ID_ListA")) << c.arrivals << " arrivals";
        EXPECT_EQ(c.lists, SimCfgMgrCalls("CM_Get_Device_ID_List_SizeA")) << c.arrivals << " arrivals";
    }
}

TEST_F(CameraProbe, OutputsAreAlwaysTerminatedInsideTheirBuffers)
{
    const unsigned size = 16;
    struct Case
    {
        const char *what;
        DWORD type;
        const char *data;
        DWORD dataSize;   // 0: no value
        const char *expected;
    } cases[] = {
        {"terminated", REG_SZ, "Cam", 4, "Cam"},
        {"expandable string", REG_EXPAND_SZ, "Cam", 4, "Cam"},
        {"fits without terminator", REG_SZ, "Camera", 6, "Camera"},
        {"fills buffer without terminator", REG_SZ, "0123456789ABCDEF", 16, ""},
        {"too large", REG_SZ, "0123456789ABCDEFGHIJ", 21, ""},
        {"not a string", REG_BINARY, "Cam", 4, ""},
        {"missing", REG_SZ, "", 0, ""},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(1, SimRemoveAllDevices());
        AddCamera({CameraId, CameraIds, Imaging, "Sim Camera"});
        for (const char *name : {"FriendlyName", "DriverDesc"}) {
            if (c.dataSize)
                ASSERT_EQ(1, SimSetDriverValue(CameraId, name, c.type, c.data, c.dataSize));
            else
                ASSERT_EQ(1, SimDeleteDriverValue(CameraId, name));
        }
        ProbeResult result = Probe(size);
        EXPECT_EQ(1, result.found) << c.what;
        EXPECT_STREQ(c.expected, result.friendlyName) << "FriendlyName " << c.what;
        EXPECT_STREQ(c.expected, result.driverDesc) << "DriverDesc " << c.what;
        for (unsigned i = size; i < sizeof result.friendlyName; i++) {
            EXPECT_EQ((char)0xcc, result.friendlyName[i]) << c.what << ": wrote past byte " << i;
            EXPECT_EQ((char)0xcc, result.driverDesc[i]) << c.what << ": wrote past byte " << i;
        }
    }
}

}  // namespace
