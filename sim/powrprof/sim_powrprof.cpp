// The stand-in power policy DLL: GetCurrentPowerPolicies as the simulated
// machine's user has configured it through the kit, which controls the
// critical battery alarm level and whether the call fails.
#include <windows.h>
#include <powrprof.h>
#include <string.h>

#include "sim_shared.h"

namespace {

DWORD ReadSetting(const char *name, DWORD missing)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SIM_POWER_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return missing;
    DWORD value = 0, type = 0, size = sizeof(value);
    LONG status = RegQueryValueExA(key, name, NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) ? value : missing;
}

} // namespace

extern "C" BOOLEAN WINAPI GetCurrentPowerPolicies(PGLOBAL_POWER_POLICY global, PPOWER_POLICY power)
{
    if (ReadSetting(SIM_POWER_FAIL_VALUE, 0) != 0)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (global == NULL || power == NULL)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memset(global, 0, sizeof(*global));
    memset(power, 0, sizeof(*power));
    global->user.DischargePolicy[DISCHARGE_POLICY_CRITICAL].BatteryLevel =
        ReadSetting(SIM_POWER_CRITICAL_VALUE, SIM_POWER_DEFAULT_CRITICAL);
    return TRUE;
}
