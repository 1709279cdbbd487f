#include "startup/autostart.h"

#include <windows.h>

#include "common/common.h"
#include "startup/autostart_value.h"

namespace {

// Fills data with the command the next log-on runs; leaves it empty when this
// executable's path cannot be obtained or the command would not fit.
void ReadAutostartCommand(char *data)
{
    char path[TextBufferSize];
    char windowsDirectory[TextBufferSize];
    char *fileName = NULL;

    data[0] = '\0';
    // A result of the full size means the path was cut short, and Windows XP
    // does not terminate it then.
    DWORD length = GetModuleFileNameA(NULL, path, TextBufferSize);
    if (length == 0 || length >= TextBufferSize)
        return;
    length = GetFullPathNameA(path, TextBufferSize, path, &fileName);
    if (length == 0 || length >= TextBufferSize || !fileName)
        return;
    length = GetWindowsDirectoryA(windowsDirectory, TextBufferSize);
    if (length == 0 || length >= TextBufferSize)
        return;
    BuildAutostartValue(windowsDirectory, fileName, data, TextBufferSize);
}

}  // namespace

void SetAutostart(int enable)
{
    HKEY key = NULL;
    const REGSAM access = KEY_READ | KEY_WRITE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, access, &key) != ERROR_SUCCESS)
        return;

    if (enable) {
        char data[TextBufferSize];
        ReadAutostartCommand(data);
        RegSetValueExA(key, AutostartValueName, 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(data), lstrlenA(data) + 1);
    } else {
        RegDeleteValueA(key, AutostartValueName);
    }
    RegCloseKey(key);
}
