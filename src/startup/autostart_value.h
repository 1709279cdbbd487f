// The text stored in the autostart value. No Windows header: built natively too.
#pragma once

// The value lives under HKEY_LOCAL_MACHINE\<AutostartRunKeyPath>.
extern const char AutostartRunKeyPath[];
extern const char AutostartValueName[];

// "Do not process the legacy run list" (Group Policy, Administrative
// Templates > System > Logon): while this REG_DWORD is not 0 under
// <RunListPolicyKeyPath> in HKEY_LOCAL_MACHINE, or in the user's
// HKEY_CURRENT_USER, Windows starts none of the machine's Run programs at
// log-on, the monitor included.
extern const char RunListPolicyKeyPath[];
extern const char RunListPolicyValueName[];

// Writes the Windows directory, a backslash and the executable's file name into
// data (dataSize bytes, terminator included). Because the stored value is a
// command line, the whole path is put in double quotes when it contains a
// space. Returns 1 when it fits; otherwise, or when either part is missing,
// returns 0 and leaves data an empty string (if dataSize allows one).
int BuildAutostartValue(const char *windowsDirectory, const char *fileName,
                        char *data, unsigned dataSize);
