// Which file a process runs from, told by the file itself rather than by a
// spelling of its path: another drive letter for the same folder (subst), an
// 8.3 name, a "\\?\" prefix or a hard link all reach one file, and a process's
// owner can rewrite the path text that psapi reads from its memory.
//
// Every spelling of a file stays on its volume, so only the images on the
// installed file's volume are opened: LocalSystem, which runs the package's
// actions and may run the report, never follows a user's program to a share
// or a WebDAV folder, which would connect the machine's account to that server
// and cost a network time-out for a share that has gone dead.
#pragma once

#include <windows.h>

#include "common/common.h"

// A file's volume serial number and index on that volume, which together
// "uniquely identify a file on a single computer" (BY_HANDLE_FILE_INFORMATION,
// learn.microsoft.com).
struct FileIdentity
{
    DWORD volumeSerialNumber;
    DWORD indexHigh;
    DWORD indexLow;
    // The object manager's name of the volume's device ("\Device\HarddiskVolume1"),
    // which the names GetMappedFileNameA gives on Windows begin with; empty
    // when the path's drive names no device.
    char volumeDevice[TextBufferSize];
};

// 1 with identity filled when path (a drive-letter path, "\\?\" or not) opens
// as a file, else 0 with the error of the call that failed.
int ReadFileIdentity(const char *path, FileIdentity *identity);

// 1 when both identities name one file: the volume's device is only where the
// name was read, and differs between spellings (another drive letter).
int IsSameFile(const FileIdentity *one, const FileIdentity *other);

enum ImageMatch
{
    ImageOfOtherFile = 0,
    ImageOfFile = 1,
    ImageUnreadable = 2
};

// Whether process (opened with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)
// runs from file: the file that the system maps at the process's image base.
// An image on another volume is another file, and is not opened. On
// ImageUnreadable the error of the call that failed is set.
ImageMatch MatchProcessImage(HANDLE process, const FileIdentity *file);
