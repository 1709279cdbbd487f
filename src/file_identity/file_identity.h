// Which file a process runs from, told by the file itself rather than by a
// spelling of its path: another drive letter for the same folder (subst), an
// 8.3 name, a "\\?\" prefix or a hard link all reach one file, and a process's
// owner can rewrite the path text that psapi reads from its memory.
#pragma once

#include <windows.h>

// A file's volume serial number and index on that volume, which together
// "uniquely identify a file on a single computer" (BY_HANDLE_FILE_INFORMATION,
// learn.microsoft.com).
struct FileIdentity
{
    DWORD volumeSerialNumber;
    DWORD indexHigh;
    DWORD indexLow;
};

// 1 with identity filled when path opens as a file, else 0.
int ReadFileIdentity(const char *path, FileIdentity *identity);

enum ImageMatch
{
    ImageOfOtherFile = 0,
    ImageOfFile = 1,
    ImageUnreadable = 2
};

// Whether process (opened with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)
// runs from file: the file that the system maps at the process's image base.
ImageMatch MatchProcessImage(HANDLE process, const FileIdentity *file);
