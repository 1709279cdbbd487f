// Custom actions of the Windows Installer package. Windows Installer loads
// this DLL during an install, an upgrade or an uninstall; the monitor never
// does.
#include <windows.h>
#include <tlhelp32.h>
#include <psapi.h>
#include <msi.h>
#include <msiquery.h>

#include "common/common.h"
#include "startup/autostart_value.h"

namespace {

// The bound on the /u run and on the file becoming free: it only keeps a hung
// process from holding up the installer.
const DWORD MonitorExitTimeout = 10000;
const DWORD RetryInterval = 100;
// A monitor that got the quit message ends within a message-loop turn, once
// any event it is handling has reached the driver. One still running this
// long after the search for remaining monitors began was out of the
// message's reach (another session or desktop) or is hung, and is ended;
// that loses nothing, since the monitor keeps no state.
const DWORD QuitGracePeriod = 1000;
// The exit code of a monitor ended by the installer; the monitor's own exit
// code is always 0.
const UINT EndedMonitorExitCode = 1;

int ReadProperty(MSIHANDLE install, const char *name, char *value)
{
    DWORD size = TextBufferSize;
    return MsiGetPropertyA(install, name, value, &size) == ERROR_SUCCESS && value[0];
}

// Writes text to the installation log; "[1]" in it stands for number.
void LogLine(MSIHANDLE install, const char *text, int number = 0)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringA(record, 0, text);
    MsiRecordSetInteger(record, 1, number);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// Runs "path" /u and waits, bounded, until that run has ended. A missing
// file is no failure: nothing of ours is running then.
void RunUninstallSwitch(const char *path)
{
    char commandLine[TextBufferSize + 8];
    commandLine[0] = '"';
    lstrcpynA(commandLine + 1, path, TextBufferSize);
    lstrcatA(commandLine, "\" /u");

    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(path, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, MonitorExitTimeout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// While a process runs from the file, the loader keeps its image open and
// denies write access, and a file in use would be left behind or replaced
// only at the next restart. Returns 1 once the file can be opened for writing
// by us alone, or is gone.
int WaitUntilUnused(const char *path)
{
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return 1;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return GetLastError() == ERROR_FILE_NOT_FOUND;
        if (GetTickCount() - start >= MonitorExitTimeout)
            return 0;
        Sleep(RetryInterval);
    }
}

const char *FileNamePart(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; p++)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    return name;
}

// The process's image is path when its executable was loaded from path.
// psapi reads that from the process's memory; a Toolhelp module snapshot
// would instead start a thread in the process, which a hung one may never
// run. Windows file names ignore case.
int IsProcessImage(HANDLE process, const char *path)
{
    char image[TextBufferSize];
    const DWORD length = GetModuleFileNameExA(process, NULL, image, TextBufferSize);
    return length > 0 && length < TextBufferSize && lstrcmpiA(image, path) == 0;
}

// When the process runs from path: gives it what is left of the grace period
// (counted from start) to end by itself, then ends it and waits, bounded,
// until it has. The one handle both checks and ends, so a process ID used
// again in between cannot mislead it.
void EndProcessOfImage(MSIHANDLE install, DWORD processId, const char *path, DWORD start)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                                 FALSE, processId);
    if (!process) {
        // ERROR_INVALID_PARAMETER: it has ended since the snapshot.
        if (GetLastError() != ERROR_INVALID_PARAMETER)
            LogLine(install, "EndRemainingMonitors: cannot open process [1]", (int)processId);
        return;
    }
    if (IsProcessImage(process, path)) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD grace = elapsed < QuitGracePeriod ? QuitGracePeriod - elapsed : 0;
        if (WaitForSingleObject(process, grace) == WAIT_TIMEOUT) {
            if (TerminateProcess(process, EndedMonitorExitCode))
                WaitForSingleObject(process, MonitorExitTimeout);
            LogLine(install, "EndRemainingMonitors: ended process [1]", (int)processId);
        }
    }
    CloseHandle(process);
}

}  // namespace

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

// Immediate. Sets MonitorRunCommand to the text that "ZN374Mon.exe /i" stores
// in its Run value on this machine, so that the package writes the same value
// and its removal finds it.
extern "C" UINT WINAPI SetRunCommand(MSIHANDLE install)
{
    char fileName[TextBufferSize];
    char windowsDirectory[TextBufferSize];
    char command[TextBufferSize];
    if (!ReadProperty(install, "MonitorFileName", fileName))
        return ERROR_INSTALL_FAILURE;
    const UINT length = GetWindowsDirectoryA(windowsDirectory, TextBufferSize);
    if (length == 0 || length >= TextBufferSize ||
        !BuildAutostartValue(windowsDirectory, fileName, command, TextBufferSize))
        return ERROR_INSTALL_FAILURE;
    return MsiSetPropertyA(install, "MonitorRunCommand", command) == ERROR_SUCCESS
               ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deferred, as the installing user: the quit message only reaches windows on
// that user's desktop, and the monitors there end politely. Those it cannot
// reach are left to EndRemainingMonitors. CustomActionData is the installed
// monitor's path.
extern "C" UINT WINAPI EndMonitor(MSIHANDLE install)
{
    char path[TextBufferSize];
    if (ReadProperty(install, "CustomActionData", path))
        RunUninstallSwitch(path);
    return ERROR_SUCCESS;
}

// Deferred and not impersonated, so LocalSystem on Windows, which may end any
// user's process in any session or desktop. Ends every process whose image is
// the installed monitor (CustomActionData), so that the file can be removed
// or replaced at once instead of at the next restart. The full path decides:
// a ZN374Mon.exe elsewhere on the disk is not ours to end. Never fails the
// installation; a file still in use afterwards is left to Windows Installer's
// own in-use handling, and the log says so.
extern "C" UINT WINAPI EndRemainingMonitors(MSIHANDLE install)
{
    char path[TextBufferSize];
    if (!ReadProperty(install, "CustomActionData", path))
        return ERROR_SUCCESS;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        const char *fileName = FileNamePart(path);
        const DWORD start = GetTickCount();
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        // The snapshot's name is the file name alone; only a process with
        // ours has its full path read.
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            if (lstrcmpiA(FileNamePart(entry.szExeFile), fileName) == 0)
                EndProcessOfImage(install, entry.th32ProcessID, path, start);
        CloseHandle(snapshot);
    }
    if (!WaitUntilUnused(path))
        LogLine(install, "EndRemainingMonitors: the monitor is still in use or cannot be opened for writing");
    return ERROR_SUCCESS;
}

// Deferred and not impersonated. Windows Installer deletes a key that the
// removal of its last value leaves empty (Wine's does so even when a
// permanent component holds a row that creates the key), and the Run key is
// the system's: ZN374Mon.exe /i, and other programs, only open it. Run right
// after the package's Run value is removed, this puts the key back when it
// went with the value; when it did not, it changes nothing.
extern "C" UINT WINAPI CreateRunKey(MSIHANDLE install)
{
    HKEY key;
    const LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                                        KEY_QUERY_VALUE, NULL, &key, NULL);
    if (result != ERROR_SUCCESS) {
        LogLine(install, "CreateRunKey: RegCreateKeyExA failed with error [1]", (int)result);
        return ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ERROR_SUCCESS;
}
