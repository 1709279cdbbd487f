#include <windows.h>

#include "startup/startup.h"

static_assert(sizeof(OSVERSIONINFOEXA) == 156, "extended version record");
static_assert(sizeof(OSVERSIONINFOA) == 148, "plain version record");

int IsSupportedWindowsVersion(void)
{
    OSVERSIONINFOEXA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    OSVERSIONINFOA *plain = reinterpret_cast<OSVERSIONINFOA *>(&info);
    // Windows NT 4.0 before Service Pack 6 refuses the extended record; the plain one
    // still carries the major version.
    if (!GetVersionExA(plain)) {
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!GetVersionExA(plain))
            return 0;
    }
    return info.dwMajorVersion == 5 ? 1 : 0;
}
