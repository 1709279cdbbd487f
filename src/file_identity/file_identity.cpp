#include "file_identity/file_identity.h"

#include <psapi.h>

#include "common/common.h"

namespace {

const char DosDevicesPrefix[] = "\\??\\";
const char GlobalRootPrefix[] = "\\\\?\\GLOBALROOT";

int StartsWith(const char *text, const char *prefix)
{
    while (*prefix)
        if (*text++ != *prefix++)
            return 0;
    return 1;
}

// "\Device\HarddiskVolume1\WINDOWS\x.exe" as "C:\WINDOWS\x.exe", through the
// drive letter whose device the path lies on, as "Obtaining a File Name From
// a File Handle" (learn.microsoft.com) does on Windows before Vista; used
// where "\\?\GLOBALROOT" does not open the name. Compared exactly: both are
// the object manager's own name for the volume's device.
int DriveLetterPath(const char *devicePath, char *path)
{
    char drive[] = "A:";
    char device[TextBufferSize];
    for (; drive[0] <= 'Z'; drive[0]++) {
        if (!QueryDosDeviceA(drive, device, TextBufferSize))
            continue;
        const int length = lstrlenA(device);
        if (StartsWith(devicePath, device) && devicePath[length] == '\\') {
            lstrcpynA(path, drive, TextBufferSize);
            lstrcpynA(path + 2, devicePath + length, TextBufferSize - 2);
            return 1;
        }
    }
    return 0;
}

// The file a name that GetMappedFileNameA gave belongs to. Windows gives a
// path in the object manager's namespace ("\Device\HarddiskVolume1\..."),
// which "\\?\GLOBALROOT" leads into; Wine gives the DOS device spelling that
// started the process ("\??\M:\ZN374Mon.exe"), which is "\\?\M:\..." in Win32:
// the same text but for its second character.
int ReadMappedFileIdentity(const char *mapped, FileIdentity *identity)
{
    char path[sizeof GlobalRootPrefix + TextBufferSize];
    const int dosDevice = StartsWith(mapped, DosDevicesPrefix);
    lstrcpynA(path, dosDevice ? "" : GlobalRootPrefix, sizeof path);
    lstrcatA(path, mapped);
    if (dosDevice)
        path[1] = '\\';
    return ReadFileIdentity(path, identity) ||
           (!dosDevice && DriveLetterPath(mapped, path) && ReadFileIdentity(path, identity));
}

}  // namespace

// Attributes only, everything shared: a file that runs as an image opens, and
// nobody else's open is refused meanwhile.
int ReadFileIdentity(const char *path, FileIdentity *identity)
{
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION information;
    const BOOL read = GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    if (!read)
        return 0;
    identity->volumeSerialNumber = information.dwVolumeSerialNumber;
    identity->indexHigh = information.nFileIndexHigh;
    identity->indexLow = information.nFileIndexLow;
    return 1;
}

// EnumProcessModules names the executable's module first; its handle is the
// image base. That list lives in the process's memory, but the file mapped at
// the base is the system's own record, whatever path text the process holds.
ImageMatch MatchProcessImage(HANDLE process, const FileIdentity *file)
{
    HMODULE image;
    DWORD needed;
    char mapped[TextBufferSize];
    FileIdentity identity;
    if (!EnumProcessModules(process, &image, sizeof image, &needed) || needed < sizeof image)
        return ImageUnreadable;
    const DWORD length = GetMappedFileNameA(process, image, mapped, TextBufferSize);
    if (length == 0 || length >= TextBufferSize - 1 || !ReadMappedFileIdentity(mapped, &identity))
        return ImageUnreadable;
    return identity.volumeSerialNumber == file->volumeSerialNumber && identity.indexHigh == file->indexHigh &&
                   identity.indexLow == file->indexLow
               ? ImageOfFile : ImageOfOtherFile;
}
