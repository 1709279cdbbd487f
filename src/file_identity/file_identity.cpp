#include "file_identity/file_identity.h"

#include <psapi.h>

#include "common/common.h"

namespace {

const char DosDevicesPrefix[] = "\\??\\";
const char DevicePrefix[] = "\\Device\\";
const char GlobalRootPrefix[] = "\\\\?\\GLOBALROOT";
const char LocalDevicePrefix[] = "\\\\?\\";

int StartsWith(const char *text, const char *prefix)
{
    while (*prefix)
        if (*text++ != *prefix++)
            return 0;
    return 1;
}

// Attributes only, everything shared: a file that runs as an image opens, and
// nobody else's open is refused meanwhile. The error is read before
// CloseHandle, after which Windows promises nothing about it.
int ReadIdentityOf(const char *path, FileIdentity *identity)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, share, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION information;
    const BOOL read = GetFileInformationByHandle(file, &information);
    const DWORD error = read ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!read) {
        SetLastError(error);
        return 0;
    }
    identity->volumeSerialNumber = information.dwVolumeSerialNumber;
    identity->indexHigh = information.nFileIndexHigh;
    identity->indexLow = information.nFileIndexLow;
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

// Whether a DOS device spelling ("\??\C:\...", or a subst drive's target)
// names a drive letter: its letter, else 0.
char DriveLetterOf(const char *dosPath)
{
    const int drive = StartsWith(dosPath, DosDevicesPrefix) && dosPath[4] && dosPath[5] == ':';
    return drive ? dosPath[4] : '\0';
}

// The device a drive letter names: a volume's ("\Device\HarddiskVolume1"),
// or, for a subst drive ("\??\C:\WINDOWS"), that of the drive it names.
// 1 when that is a device, else 0.
int DriveDevice(char letter, char *device)
{
    char drive[] = "A:";
    drive[0] = letter;
    // A subst drive may name another subst drive; a loop is cut short.
    for (int hop = 0; hop < 4; hop++) {
        if (!QueryDosDeviceA(drive, device, TextBufferSize))
            return 0;
        drive[0] = DriveLetterOf(device);
        if (!drive[0])
            return StartsWith(device, DevicePrefix);
    }
    return 0;
}

// The volume's device of a path that starts with a drive letter, "\\?\" or
// not; empty for any other path.
void ReadVolumeDevice(const char *path, char *volume)
{
    if (StartsWith(path, LocalDevicePrefix))
        path += lstrlenA(LocalDevicePrefix);
    volume[0] = '\0';
    if (path[0] && path[1] == ':' && !DriveDevice(path[0], volume))
        volume[0] = '\0';
}

// Whether the file a mapped name (GetMappedFileNameA's) names lies on the
// volume whose device is volume, told by the name alone. Windows names the
// file by its volume's device ("\Device\HarddiskVolume1\...", a share as
// "\Device\LanmanRedirector\..." or "\Device\Mup\..."); Wine by the drive
// letter that started the process ("\??\M:\..."), whose device the drive
// names. A drive that names no device (Wine's link in dosdevices) is on the
// volume only when it is a fixed disk, never a network drive; the file's
// identity, volume serial number included, then decides.
int LiesOnVolume(const char *mapped, const char *volume)
{
    char device[TextBufferSize];
    const char letter = DriveLetterOf(mapped);
    if (letter && DriveDevice(letter, device))
        return lstrcmpA(device, volume) == 0;
    if (letter) {
        char root[] = "A:\\";
        root[0] = letter;
        return GetDriveTypeA(root) == DRIVE_FIXED;
    }
    const int length = lstrlenA(volume);
    return length && StartsWith(mapped, volume) && mapped[length] == '\\';
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
    if (ReadIdentityOf(path, identity))
        return 1;
    // Where no drive leads to the device, the open's error tells why.
    const DWORD error = GetLastError();
    if (dosDevice || !DriveLetterPath(mapped, path)) {
        SetLastError(error);
        return 0;
    }
    return ReadIdentityOf(path, identity);
}

}  // namespace

int ReadFileIdentity(const char *path, FileIdentity *identity)
{
    if (!ReadIdentityOf(path, identity))
        return 0;
    ReadVolumeDevice(path, identity->volumeDevice);
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
    if (length == 0 || length >= TextBufferSize - 1)
        return ImageUnreadable;
    if (!LiesOnVolume(mapped, file->volumeDevice))
        return ImageOfOtherFile;
    if (!ReadMappedFileIdentity(mapped, &identity))
        return ImageUnreadable;
    return IsSameFile(&identity, file) ? ImageOfFile : ImageOfOtherFile;
}

int IsSameFile(const FileIdentity *one, const FileIdentity *other)
{
    return one->volumeSerialNumber == other->volumeSerialNumber &&
           one->indexHigh == other->indexHigh && one->indexLow == other->indexLow;
}
