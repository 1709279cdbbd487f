// The policy that stops the machine's Run list, read by the report and by the
// package's install; the monitor cannot see past it, since it never starts.
#pragma once

#include <windows.h>

// Reads RunListPolicyValueName in root into *value, 4 bytes, with its type and
// stored size; returns the registry's result: ERROR_FILE_NOT_FOUND when it is
// absent (not set), ERROR_MORE_DATA when it is larger than a DWORD.
LONG ReadRunListPolicy(HKEY root, DWORD *value, DWORD *type, DWORD *size);

// Whether ReadRunListPolicy's result answers: the value read, absent, or
// larger than a DWORD. Any other result is a failed reading.
int IsRunListPolicyAnswer(LONG result);

// Whether what ReadRunListPolicy read stops the Run list: a REG_DWORD not 0.
int StopsRunList(LONG result, DWORD type, DWORD size, DWORD value);
