// The text stored in the autostart value. No Windows header: built natively too.
#pragma once

// The value lives under HKEY_LOCAL_MACHINE\<AutostartRunKeyPath>.
extern const char AutostartRunKeyPath[];
extern const char AutostartValueName[];

// Writes the Windows directory, a backslash and the executable's file name into
// data (dataSize bytes, terminator included). Because the stored value is a
// command line, the whole path is put in double quotes when it contains a
// space. Returns 1 when it fits; otherwise, or when either part is missing,
// returns 0 and leaves data an empty string (if dataSize allows one).
int BuildAutostartValue(const char *windowsDirectory, const char *fileName,
                        char *data, unsigned dataSize);
