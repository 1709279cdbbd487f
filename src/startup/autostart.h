// The autostart value under the machine-wide Run key.
#pragma once

#include <windows.h>

// Non-zero writes the value "ZN374Mon" (the Windows directory, a backslash and
// this executable's file name); zero deletes it. Failures are not reported:
// without write access to the key nothing happens.
void SetAutostart(int enable);

// Reads the policy that stops the machine's Run list (RunListPolicyValueName)
// in root into *value, 4 bytes, with its type and stored size; returns the
// registry's result: ERROR_FILE_NOT_FOUND when it is absent (not set),
// ERROR_MORE_DATA when it is larger than a DWORD. Set means a REG_DWORD not 0.
LONG ReadRunListPolicy(HKEY root, DWORD *value, DWORD *type, DWORD *size);
