// The simulated machine against the platform it stands in for, where the
// product's tests rely on it: the stand-in cameras' filter behaves like a
// kernel-streaming driver and refuses what the driver refuses, the real
// powrprof import reaches the stand-in policy and GetSystemPowerStatus
// reports the simulated battery. The camera channel's tests show the
// enumerator listing the stand-in cameras in order with their names; the
// process tests, monitoring without a version set, that the machine is XP.
#include <windows.h>
#include <ole2.h>
#include <strmif.h>
#include <uuids.h>
#include <powrprof.h>
#include <string.h>

#include <gtest/gtest.h>

#include "cannot_run.h"
#include "simkit.h"

namespace {

const GUID kVendorSet = {0xcca349da, 0x4fe2, 0x423a, {0xaa, 0x50, 0xe6, 0xf3, 0x52, 0x57, 0x5c, 0xbc}};
const DWORD kVendorProperty = 0x807;

class SimMachine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SimRemoveAllCameras());
        ASSERT_EQ(1, SimClearDriverLog());
        ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
    }
    void TearDown() override
    {
        CoUninitialize();
        SimRemoveAllCameras();
        SimClearDriverLog();
        SimSetPowerPoliciesFail(0);
        SimSetCriticalLevel(5);
    }

    // A null result means an empty category (S_FALSE and no enumerator).
    static IEnumMoniker *EnumerateCameras(HRESULT *hr)
    {
        ICreateDevEnum *devices = NULL;
        IEnumMoniker *monikers = NULL;
        *hr = CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               (void **)&devices);
        if (FAILED(*hr))
            return NULL;
        *hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
        devices->Release();
        return monikers;
    }

    // The filter of the index-th enumerated camera, as a capture application
    // binds it.
    static IBaseFilter *BindCamera(int index)
    {
        HRESULT hr = S_OK;
        IEnumMoniker *monikers = EnumerateCameras(&hr);
        if (monikers == NULL)
            return NULL;
        IBaseFilter *filter = NULL;
        IMoniker *moniker = NULL;
        for (int i = 0; filter == NULL && monikers->Next(1, &moniker, NULL) == S_OK; ++i)
        {
            if (i == index)
                moniker->BindToObject(NULL, NULL, IID_IBaseFilter, (void **)&filter);
            moniker->Release();
        }
        monikers->Release();
        return filter;
    }

    static IKsPropertySet *PropertySetOf(IBaseFilter *filter)
    {
        IKsPropertySet *properties = NULL;
        if (filter == NULL || FAILED(filter->QueryInterface(IID_IKsPropertySet, (void **)&properties)))
            return NULL;
        return properties;
    }
};

TEST_F(SimMachine, EmptyCategoryGivesFalseAndNoEnumerator)
{
    HRESULT hr = E_FAIL;
    IEnumMoniker *monikers = EnumerateCameras(&hr);
    EXPECT_EQ(S_FALSE, hr) << "got 0x" << std::hex << hr;
    EXPECT_TRUE(monikers == NULL);
    if (monikers != NULL)
        monikers->Release();
}

TEST_F(SimMachine, SetOnBoundFilterIsLoggedWithSizesWordsAndSameBuffer)
{
    ASSERT_EQ(1, SimAddCamera("first", 0));
    ASSERT_EQ(1, SimAddCamera("second", 0));
    EXPECT_EQ(0, SimLiveFilterObjects());

    IBaseFilter *filter = BindCamera(1);
    ASSERT_TRUE(filter != NULL);
    EXPECT_EQ(1, SimLiveFilterObjects());
    EXPECT_EQ(1, SimLiveFilterObjectsOf(GetCurrentProcessId())) << "the count other processes read";
    IKsPropertySet *properties = PropertySetOf(filter);
    ASSERT_TRUE(properties != NULL);

    uint32_t request[9];
    memset(request, 0, sizeof(request));
    request[7] = 4;
    uint32_t other[9];
    memset(other, 0xcc, sizeof(other));
    HRESULT same = properties->Set(kVendorSet, kVendorProperty, request, 36, request, 36);
    HRESULT apart = properties->Set(kVendorSet, kVendorProperty, other, 8, request, 36);
    HRESULT wrongId = properties->Set(kVendorSet, 0x806, request, 36, request, 36);
    // The camera channel's tests rely on a request to another set failing.
    GUID otherSet = kVendorSet;
    otherSet.Data4[7] ^= 1;
    HRESULT wrongSet = properties->Set(otherSet, kVendorProperty, request, 36, request, 36);
    properties->Release();
    filter->Release();
    EXPECT_EQ(S_OK, same) << "got 0x" << std::hex << same;
    EXPECT_EQ(S_OK, apart) << "got 0x" << std::hex << apart;
    EXPECT_TRUE(FAILED(wrongId)) << "got 0x" << std::hex << wrongId;
    EXPECT_TRUE(FAILED(wrongSet)) << "got 0x" << std::hex << wrongSet;
    EXPECT_EQ(0, SimLiveFilterObjects());

    SimDriverRequest log[4];
    memset(log, 0xcc, sizeof(log));
    ASSERT_EQ(4, SimReadDriverLog(log, 4));
    EXPECT_EQ(1, log[0].deviceIndex);
    EXPECT_EQ(0x807ul, log[0].id);
    EXPECT_EQ(36ul, log[0].instanceSize);
    EXPECT_EQ(36ul, log[0].dataSize);
    EXPECT_EQ(1, log[0].sameBuffer);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(i == 7 ? 4u : 0u, log[0].words[i]) << "word " << i;
    EXPECT_EQ(S_OK, log[0].result);
    EXPECT_EQ(8ul, log[1].instanceSize);
    EXPECT_EQ(0, log[1].sameBuffer);
    EXPECT_EQ(0x806ul, log[2].id);
    EXPECT_EQ(wrongId, log[2].result);
    EXPECT_EQ(4, SimReadDriverLog(NULL, 0));

    ASSERT_EQ(1, SimClearDriverLog());
    EXPECT_EQ(0, SimReadDriverLog(log, 4));
}

TEST_F(SimMachine, CameraFlagsRejectSetOrRefusePropertySet)
{
    ASSERT_EQ(1, SimAddCamera("rejecting", SimCameraRejectSet));
    ASSERT_EQ(1, SimAddCamera("plain filter", SimCameraNoPropertySet));

    IBaseFilter *rejecting = BindCamera(0);
    IKsPropertySet *properties = PropertySetOf(rejecting);
    ASSERT_TRUE(properties != NULL);
    uint32_t request[9] = {0, 0, 0, 0, 0, 0, 0, 2, 0};
    HRESULT hr = properties->Set(kVendorSet, kVendorProperty, request, 36, request, 36);
    properties->Release();
    rejecting->Release();
    EXPECT_TRUE(FAILED(hr)) << "got 0x" << std::hex << hr;

    IBaseFilter *plain = BindCamera(1);
    ASSERT_TRUE(plain != NULL);
    void *refused = (void *)1;
    HRESULT qi = plain->QueryInterface(IID_IKsPropertySet, &refused);
    plain->Release();
    EXPECT_EQ(E_NOINTERFACE, qi) << "got 0x" << std::hex << qi;
    EXPECT_TRUE(refused == NULL);
    EXPECT_EQ(0, SimLiveFilterObjects());

    SimDriverRequest log[2];
    memset(log, 0xcc, sizeof(log));
    ASSERT_EQ(1, SimReadDriverLog(log, 2));
    EXPECT_EQ(0, log[0].deviceIndex);
    EXPECT_EQ(2u, log[0].words[7]);
    EXPECT_EQ(hr, log[0].result);
}

TEST_F(SimMachine, PowerPoliciesThroughImportReportCriticalLevelOrFail)
{
    GLOBAL_POWER_POLICY global;
    POWER_POLICY power;
    for (unsigned level : {17u, 0u})
    {
        ASSERT_EQ(1, SimSetCriticalLevel(level));
        memset(&global, 0xcc, sizeof(global));
        memset(&power, 0xcc, sizeof(power));
        ASSERT_TRUE(GetCurrentPowerPolicies(&global, &power)) << "error " << GetLastError();
        EXPECT_EQ(level, global.user.DischargePolicy[DISCHARGE_POLICY_CRITICAL].BatteryLevel);
    }

    ASSERT_EQ(1, SimSetPowerPoliciesFail(1));
    EXPECT_FALSE(GetCurrentPowerPolicies(&global, &power));
    ASSERT_EQ(1, SimSetPowerPoliciesFail(0));
    EXPECT_TRUE(GetCurrentPowerPolicies(&global, &power));
}

TEST_F(SimMachine, SystemPowerStatusReportsSimulatedBattery)
{
    if (!SimBatteryAvailable())
        CANNOT_RUN_HERE() << "no private mount namespace here (ZN374_SIM_NO_BATTERY), no simulated battery";

    const int cases[][2] = {{0, 7}, {1, 100}, {255, 255}, {0, 0}, {1, 5}, {0, 255}, {255, 1}, {1, 100}};
    for (const auto &c : cases)
    {
        ASSERT_EQ(1, SimSetBattery(c[0], c[1]));
        SYSTEM_POWER_STATUS status;
        memset(&status, 0x23, sizeof(status));
        ASSERT_TRUE(GetSystemPowerStatus(&status));
        EXPECT_EQ(c[0], status.ACLineStatus) << "set AC " << c[0] << " percent " << c[1];
        EXPECT_EQ(c[1], status.BatteryLifePercent) << "set AC " << c[0] << " percent " << c[1];
    }
}

} // namespace
