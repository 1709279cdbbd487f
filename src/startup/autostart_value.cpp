#include "startup/autostart_value.h"

#include <string.h>

const char AutostartRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char AutostartValueName[] = "ZN374Mon";
const char RunListPolicyKeyPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const char RunListPolicyValueName[] = "DisableLocalMachineRun";

int BuildAutostartValue(const char *windowsDirectory, const char *fileName,
                        char *data, unsigned dataSize)
{
    if (!data || dataSize == 0)
        return 0;
    data[0] = '\0';
    if (!windowsDirectory || !fileName || !windowsDirectory[0] || !fileName[0])
        return 0;

    const size_t directoryLength = strlen(windowsDirectory);
    const size_t fileLength = strlen(fileName);
    const int quoted = strchr(windowsDirectory, ' ') || strchr(fileName, ' ');
    // Directory, backslash, file name and terminator, plus the two quotes if
    // any; compared by subtraction so that no sum can wrap.
    const unsigned extra = 2 + (quoted ? 2u : 0u);
    if (extra > dataSize || directoryLength > dataSize - extra ||
        fileLength > dataSize - extra - directoryLength)
        return 0;

    char *cursor = data;
    if (quoted)
        *cursor++ = '"';
    memcpy(cursor, windowsDirectory, directoryLength);
    cursor += directoryLength;
    *cursor++ = '\\';
    memcpy(cursor, fileName, fileLength);
    cursor += fileLength;
    if (quoted)
        *cursor++ = '"';
    *cursor = '\0';
    return 1;
}
