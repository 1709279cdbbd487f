// When the battery poll tells the camera that the battery is critical, and how
// often it polls. No Windows header: checked by native tests.
#pragma once

#include <stdint.h>

// What the last successful poll read; every field zero-extended to 32 bits.
struct PowerSnapshot
{
    uint32_t acLineStatus;    // 0 offline, 1 online, 255 unknown
    uint32_t batteryPercent;  // 0..100, 255 unknown
    uint32_t criticalLevel;   // critical battery alarm level of the power policy
};

enum
{
    BatteryPeriodUnchanged = 0,
    BatteryPeriodShort = 20000,   // ms; close to the critical level
    BatteryPeriodLong = 120000    // ms; far from it
};

struct BatteryAction
{
    uint32_t period;  // BatteryPeriod*: the new poll period, or unchanged
    uint32_t engage;  // the band verdict: 1 engage, 0 leave
    uint32_t notify;  // 1 when the verdict crosses the band and the camera must hear of it
};

// engaged: whether the camera was last told that the battery is critical.
BatteryAction DecideBatteryAction(const PowerSnapshot *snapshot, uint32_t engaged);
