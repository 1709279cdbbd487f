// The battery poll's readings, apart from the window so that a report can
// take the same readings without creating one.
#include <windows.h>
#include <powrprof.h>

#include "monitor/monitor.h"

PowerSnapshot g_PowerSnapshot;

int RefreshPowerState(void)
{
    GLOBAL_POWER_POLICY global;
    POWER_POLICY policy;
    SYSTEM_POWER_STATUS status;

    if (!GetCurrentPowerPolicies(&global, &policy))
        return 0;
    const SYSTEM_POWER_LEVEL &critical = global.user.DischargePolicy[DISCHARGE_POLICY_CRITICAL];
    g_PowerSnapshot.criticalLevel = critical.BatteryLevel;
    if (!GetSystemPowerStatus(&status))
        return 0;
    g_PowerSnapshot.acLineStatus = status.ACLineStatus;
    g_PowerSnapshot.batteryPercent = status.BatteryLifePercent;
    return 1;
}
