// A test on the simulated device tree. Without the stand-in configuration
// manager every call would reach Wine's own, which knows none of the kit's
// devices, so such a run is skipped rather than passed.
#pragma once

#include <gtest/gtest.h>

#include "cannot_run.h"
#include "devtree.h"

class DeviceTreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (SimCfgMgrCalls("CM_Locate_DevNodeA") < 0)
            CANNOT_RUN_HERE() << "the stand-in cfgmgr32.dll is not loaded; run through sim/run-wine.sh";
        ASSERT_EQ(1, SimRemoveAllDevices());
        ASSERT_EQ(1, SimResetCfgMgrCalls());
    }
    void TearDown() override { SimRemoveAllDevices(); }

    // hardwareIds: the HardwareID value's bytes as stored; NULL for no value.
    static void AddDevice(const char *id, const char *hardwareIds, DWORD size, unsigned flags)
    {
        SimDevice device = {id, hardwareIds, size, flags};
        ASSERT_EQ(1, SimAddDevice(&device)) << id;
    }
};
