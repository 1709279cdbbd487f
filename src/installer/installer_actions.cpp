// Custom actions of the Windows Installer package. Windows Installer loads
// this DLL during an install, an upgrade or an uninstall; the monitor never
// does.
#include <windows.h>
#include <tlhelp32.h>
#include <msi.h>
#include <msiquery.h>

#include "common/common.h"
#include "file_identity/file_identity.h"
#include "startup/autostart_value.h"
#include "startup/startup.h"

namespace {

// The bound on the whole of EndRemainingMonitors: the grace period, the ends
// and the wait for the file to become free. It only keeps a hung process from
// holding up the installer.
const DWORD EndingTimeout = 10000;
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

// What is left of limit milliseconds counted from start.
DWORD Remaining(DWORD start, DWORD limit)
{
    const DWORD elapsed = GetTickCount() - start;
    return elapsed < limit ? limit - elapsed : 0;
}

// While a process runs from the file, the loader keeps its image open and
// denies write access, and a file in use would be left behind or replaced
// only at the next restart. Returns 1 once the file can be opened for writing
// by us alone, or is gone; polls until the action's deadline.
int WaitUntilUnused(const char *path, DWORD start)
{
    for (;;) {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return 1;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return GetLastError() == ERROR_FILE_NOT_FOUND;
        if (Remaining(start, EndingTimeout) == 0)
            return 0;
        Sleep(RetryInterval);
    }
}

// When the process runs from the installed file: gives it what is left of
// the grace period to end by itself, then ends it and waits, within the
// action's deadline, until it has. The one handle both checks and ends, so a
// process ID used again in between cannot mislead it.
void EndProcessOfFile(MSIHANDLE install, DWORD processId, const FileIdentity *file, DWORD start)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                                 FALSE, processId);
    if (!process)
        return;
    if (MatchProcessImage(process, file) == ImageOfFile &&
        WaitForSingleObject(process, Remaining(start, QuitGracePeriod)) == WAIT_TIMEOUT) {
        if (TerminateProcess(process, EndedMonitorExitCode) &&
            WaitForSingleObject(process, Remaining(start, EndingTimeout)) == WAIT_OBJECT_0)
            LogLine(install, "EndRemainingMonitors: ended process [1]", (int)processId);
        else
            LogLine(install, "EndRemainingMonitors: process [1] could not be ended", (int)processId);
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

// Rollback, as the installing user, when the transaction fails after
// EndMonitor: by then the file is back in place, and this starts the person's
// monitor again from it (CustomActionData) without waiting for it. Windows
// Installer runs rollback actions only synchronously: "This option cannot be
// used with ... Rollback Custom Actions" (Custom Action Return Processing
// Options, learn.microsoft.com), so the action returns at once and the monitor
// runs on by itself.
extern "C" UINT WINAPI RestartMonitor(MSIHANDLE install)
{
    char path[TextBufferSize];
    char commandLine[TextBufferSize + 2] = "\"";
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!ReadProperty(install, "CustomActionData", path))
        return ERROR_SUCCESS;
    lstrcatA(commandLine, path);
    lstrcatA(commandLine, "\"");
    if (CreateProcessA(path, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return ERROR_SUCCESS;
}

// Deferred, as the installing user: the quit message only reaches windows on
// that user's desktop, and the monitors there end politely. Those it cannot
// reach are left to EndRemainingMonitors. Posted here as the monitor's /u
// posts it, but without running /u, which would also delete the Run value:
// the key path of the package's own component, which only the package's
// RemoveRegistryValues may remove.
extern "C" UINT WINAPI EndMonitor(MSIHANDLE)
{
    char name[TextBufferSize];
    DWORD recipients = BSM_APPLICATIONS;
    BroadcastQuit(name, &recipients);
    return ERROR_SUCCESS;
}

// Deferred and not impersonated, so LocalSystem on Windows, which may end any
// user's process in any session or desktop. Ends every process whose image is
// the installed monitor (CustomActionData), so that the file can be removed
// or replaced at once instead of at the next restart. The file itself
// decides, whichever path spelling started it: a copy elsewhere on the disk
// is not ours to end. Every process is looked at, since a short name or a
// hard link runs the file under another name; one that cannot be opened is
// left, and the check for a file in use at the end reports it. Never fails
// the installation; a file still in use afterwards is left to Windows
// Installer's own in-use handling, and the log says so.
extern "C" UINT WINAPI EndRemainingMonitors(MSIHANDLE install)
{
    char path[TextBufferSize];
    FileIdentity file;
    if (!ReadProperty(install, "CustomActionData", path) || !ReadFileIdentity(path, &file))
        return ERROR_SUCCESS;
    const DWORD start = GetTickCount();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            EndProcessOfFile(install, entry.th32ProcessID, &file, start);
        CloseHandle(snapshot);
    }
    if (!WaitUntilUnused(path, start))
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
