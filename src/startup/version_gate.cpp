#include <windows.h>

#include "startup/startup.h"

static_assert(sizeof(OSVERSIONINFOEXA) == 156, "extended version record");
static_assert(sizeof(OSVERSIONINFOA) == 148, "plain version record");

// "GetVersionExA" (learn.microsoft.com) documents no answer among its
// failures: both records refused is a failed reading.
WindowsVersion CheckWindowsVersion(void)
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
            return WindowsVersion::Unreadable;
    }
    return info.dwMajorVersion == 5 ? WindowsVersion::Nt5 : WindowsVersion::OtherThanNt5;
}
