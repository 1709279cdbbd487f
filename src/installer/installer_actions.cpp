// Custom actions of the Windows Installer package. Windows Installer loads
// this DLL during an install, an upgrade or an uninstall; the monitor never
// does.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "common/common.h"
#include "startup/autostart_value.h"

namespace {

// A monitor told to quit ends within a message-loop turn; the bound only
// keeps a hung one from holding up the installer.
const DWORD MonitorExitTimeout = 10000;
const DWORD RetryInterval = 100;

int ReadProperty(MSIHANDLE install, const char *name, char *value)
{
    DWORD size = TextBufferSize;
    return MsiGetPropertyA(install, name, value, &size) == ERROR_SUCCESS && value[0];
}

void LogLine(MSIHANDLE install, const char *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringA(record, 0, text);
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

// The /u run returns as soon as its quit message is posted; the monitors end
// a moment later. While one runs, the loader keeps its image open and denies
// write access, and a file in use would be left behind or replaced only at
// the next restart. Returns 1 once the file can be opened for writing by us
// alone, or is gone.
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
// that user's desktop. CustomActionData is the installed monitor's path.
// Never fails the installation; a file still in use after the wait is left to
// Windows Installer's own in-use handling, and the log says so.
extern "C" UINT WINAPI EndMonitor(MSIHANDLE install)
{
    char path[TextBufferSize];
    if (!ReadProperty(install, "CustomActionData", path))
        return ERROR_SUCCESS;
    RunUninstallSwitch(path);
    if (!WaitUntilUnused(path))
        LogLine(install, "EndMonitor: the monitor is still in use or cannot be opened for writing");
    return ERROR_SUCCESS;
}
