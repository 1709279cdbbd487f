// The stand-in power policy's settings and the simulated battery.
#include "simkit.h"
#include "sim_shared.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Wine rereads these at every GetSystemPowerStatus, with plain Unix file
// calls in the calling process, so it sees the private tmpfs of the mount
// namespace that in-sim.sh made for this run. Wine's own file functions
// would not do: the wineserver opens files for its clients, and a server
// that outlives a run lives in another namespace (or none). So the kit
// writes them the way Wine reads them, with Linux system calls (this is a
// 32-bit Linux process under its Win32 face).
const char kMainsOnline[] = "/sys/class/power_supply/AC/online";
const char kBatteryType[] = "/sys/class/power_supply/BAT0/type";
const char kBatteryStatus[] = "/sys/class/power_supply/BAT0/status";
const char kBatteryCharge[] = "/sys/class/power_supply/BAT0/charge_now";

const long kLinuxWrite = 4, kLinuxOpen = 5, kLinuxClose = 6, kLinuxAccess = 33;
const long kLinuxWriteOnlyTruncate = 01 | 01000; // O_WRONLY | O_TRUNC

long LinuxCall(long number, long a, long b, long c)
{
    long result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

int SetPowerNumber(const char *name, DWORD number)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, SIM_POWER_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    int ok = RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&number, sizeof(number)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

int WriteSysfsText(const char *path, const char *text)
{
    long fd = LinuxCall(kLinuxOpen, (long)path, kLinuxWriteOnlyTruncate, 0);
    if (fd < 0)
        return 0;
    long length = (long)strlen(text);
    int ok = LinuxCall(kLinuxWrite, fd, (long)text, length) == length;
    LinuxCall(kLinuxClose, fd, 0, 0);
    return ok;
}

int EnvironmentSays(const char *name, const char *value)
{
    const char *actual = getenv(name);
    return actual != NULL && strcmp(actual, value) == 0;
}

} // namespace

int SimSetCriticalLevel(unsigned percent)
{
    return SetPowerNumber(SIM_POWER_CRITICAL_VALUE, percent);
}

int SimSetPowerPoliciesFail(int fail)
{
    return SetPowerNumber(SIM_POWER_FAIL_VALUE, fail != 0 ? 1 : 0);
}

int SimBatteryAvailable(void)
{
    return EnvironmentSays("ZN374_SIM_INSIDE", "1") && !EnvironmentSays("ZN374_SIM_NO_BATTERY", "1") &&
           LinuxCall(kLinuxAccess, (long)kMainsOnline, 2 /* W_OK */, 0) == 0;
}

int SimSetBattery(int acLineStatus, int percent)
{
    if (acLineStatus != 0 && acLineStatus != 1 && acLineStatus != 255)
        return 0;
    if ((percent < 0 || percent > 100) && percent != 255)
        return 0;
    if (!SimBatteryAvailable())
        return 0;

    char text[32];
    sprintf(text, "%d\n", acLineStatus);
    if (!WriteSysfsText(kMainsOnline, text))
        return 0;
    // Wine reports 255 when it finds no battery at all; a supply of another
    // type is skipped just like a missing one.
    if (percent == 255)
        return WriteSysfsText(kBatteryType, "Unknown\n");

    const char *status = acLineStatus == 0 ? "Discharging\n" : percent == 100 ? "Full\n" : "Charging\n";
    // 1 V and a full charge of 100000 make the percentage charge_now / 1000.
    sprintf(text, "%d\n", percent * 1000);
    return WriteSysfsText(kBatteryCharge, text) && WriteSysfsText(kBatteryStatus, status) &&
           WriteSysfsText(kBatteryType, "Battery\n");
}
