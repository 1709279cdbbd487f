// Custom actions of the Windows Installer package. Windows Installer loads
// this DLL during an install, an upgrade or an uninstall; the monitor never
// does.
#include <windows.h>
#include <tlhelp32.h>
#include <msi.h>
#include <msiquery.h>
#include <stdlib.h>

#include "common/common.h"
#include "file_identity/file_identity.h"
#include "startup/autostart_value.h"
#include "startup/run_list_policy.h"
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

// The INTERACTIVE group (S-1-5-4), which every token of an interactive
// log-on holds, at the console or in a terminal session, and LocalSystem
// (S-1-5-18): one subauthority each, which the SID structure holds whole
// ("Well-known SIDs").
const SID InteractiveGroup = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_INTERACTIVE_RID}};
const SID LocalSystem = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID}};

int ReadProperty(MSIHANDLE install, const char *name, char *value)
{
    DWORD size = TextBufferSize;
    return MsiGetPropertyA(install, name, value, &size) == ERROR_SUCCESS && value[0];
}

// Writes text to the installation log; "[1]" in it stands for number and
// "[2]" for second.
void LogLine(MSIHANDLE install, const char *text, int number = 0, int second = 0)
{
    MSIHANDLE record = MsiCreateRecord(2);
    if (!record)
        return;
    MsiRecordSetStringA(record, 0, text);
    MsiRecordSetInteger(record, 1, number);
    MsiRecordSetInteger(record, 2, second);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// The errors that say a file or its folder is not there.
int IsFileAbsent(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION)
            return error == ERROR_FILE_NOT_FOUND;
        if (Remaining(start, EndingTimeout) == 0)
            return 0;
        Sleep(RetryInterval);
    }
}

// When the process runs from the installed file: gives it what is left of
// the grace period to end by itself, then ends it and waits, within the
// action's deadline, until it has. The one handle both checks and ends, so a
// process ID used again in between cannot mislead it. Returns 1 when it
// ended the process.
int EndProcessOfFile(MSIHANDLE install, DWORD processId, const FileIdentity *file, DWORD start)
{
    const DWORD access =
        PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE;
    HANDLE process = OpenProcess(access, FALSE, processId);
    if (!process)
        return 0;
    int ended = 0;
    if (MatchProcessImage(process, file) == ImageOfFile &&
        WaitForSingleObject(process, Remaining(start, QuitGracePeriod)) == WAIT_TIMEOUT) {
        ended = TerminateProcess(process, EndedMonitorExitCode) &&
                WaitForSingleObject(process, Remaining(start, EndingTimeout)) == WAIT_OBJECT_0;
        if (ended)
            LogLine(install, "EndRemainingMonitors: ended process [1]", (int)processId);
        else
            LogLine(install, "EndRemainingMonitors: process [1] could not be ended",
                    (int)processId);
    }
    CloseHandle(process);
    return ended;
}

// The token an immediate action runs under: a thread's that impersonates
// the installing account, when it has one, otherwise the process's. Either
// is LocalSystem's where Windows Installer elevates the action ("Custom
// Action Security"), which then counts as no person.
int OpenInstallingToken(HANDLE *token)
{
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token))
        return 1;
    if (GetLastError() != ERROR_NO_TOKEN)
        return 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token);
}

// Sets *held to whether group is among the token's enabled groups. Returns
// 0, with the error set, when the groups cannot be read.
int HoldsEnabledGroup(HANDLE token, const SID *group, int *held)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, NULL, 0, &size);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    TOKEN_GROUPS *groups = static_cast<TOKEN_GROUPS *>(malloc(size));
    if (!groups) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!GetTokenInformation(token, TokenGroups, groups, size, &size)) {
        const DWORD error = GetLastError();
        free(groups);
        SetLastError(error);
        return 0;
    }
    *held = 0;
    for (DWORD i = 0; i < groups->GroupCount; i++) {
        const SID_AND_ATTRIBUTES &entry = groups->Groups[i];
        if ((entry.Attributes & SE_GROUP_ENABLED) && EqualSid(entry.Sid, const_cast<SID *>(group)))
            *held = 1;
    }
    free(groups);
    return 1;
}

// Sets *person to whether the installing account is a person at an
// interactive log-on: its token holds the INTERACTIVE group, which a
// service, a scheduled task or a batch log-on lacks, and its user is not
// LocalSystem, whose monitor would run out of every user's reach. Returns
// 0, or the error that kept the token from being read.
DWORD ReadWhetherPerson(int *person)
{
    HANDLE token;
    // Typed for its structure: Windows refuses a buffer that is not aligned
    // for what it writes there (ERROR_NOACCESS), which Wine does not check.
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    DWORD size = sizeof user;
    int interactive = 0;
    *person = 0;
    if (!OpenInstallingToken(&token))
        return GetLastError();
    const int read = GetTokenInformation(token, TokenUser, &user, size, &size) &&
                     HoldsEnabledGroup(token, &InteractiveGroup, &interactive);
    DWORD error = ERROR_SUCCESS;
    if (read) {
        const PSID sid = user.user.User.Sid;
        *person = interactive && !EqualSid(sid, const_cast<SID *>(&LocalSystem));
    } else {
        error = GetLastError();
    }
    CloseHandle(token);
    return error;
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

// Immediate, as the installing account, before the data of RestartMonitor
// is set. Sets InteractiveLogon to 1 when a monitor started by the
// installation would be a person's, and deletes it otherwise: StartMonitor
// runs only with it, and RestartMonitor receives it. A monitor not started
// now starts at the account's next log-on from the Run value. Never fails
// the installation.
extern "C" UINT WINAPI CheckInteractiveLogon(MSIHANDLE install)
{
    int person;
    const DWORD error = ReadWhetherPerson(&person);
    if (error)
        LogLine(install, "CheckInteractiveLogon: the token cannot be read, error [1]", (int)error);
    LogLine(install, "CheckInteractiveLogon: a person at an interactive log-on: [1]", person);
    MsiSetPropertyA(install, "InteractiveLogon", person ? "1" : "");
    return ERROR_SUCCESS;
}

// Immediate. Logs that the machine's policy stops its Run list
// (RunListPolicyValueName), under which no monitor starts at log-on until the
// policy is lifted. Never fails the installation: the policy may be meant.
extern "C" UINT WINAPI CheckRunListPolicy(MSIHANDLE install)
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LONG result = ReadRunListPolicy(HKEY_LOCAL_MACHINE, &value, &type, &size);
    if (StopsRunList(result, type, size, value))
        LogLine(install, "CheckRunListPolicy: the machine's policy DisableLocalMachineRun is [1]: "
                         "Windows starts no program of the machine's Run key at log-on, "
                         "ZN374Mon.exe included", (int)value);
    else if (!IsRunListPolicyAnswer(result))
        LogLine(install, "CheckRunListPolicy: the policy cannot be read, error [1]", (int)result);
    return ERROR_SUCCESS;
}

// Rollback, as the installing user, when the transaction fails after
// EndMonitor: by then the file is back in place, and this starts the
// person's monitor again from it. In an upgrade's rollback it runs before
// the previous version's removal is undone, so the file is not there yet:
// that is expected, and logged as such; the previous version's own rollback
// restarts its monitor where it has this action, the next log-on otherwise.
// Its CustomActionData is "1|PATH" when CheckInteractiveLogon found a
// person, "|PATH" otherwise, and only a person gets a monitor. Windows
// Installer runs rollback actions only synchronously: "This option cannot
// be used with ... Rollback Custom Actions" (Custom Action Return
// Processing Options, learn.microsoft.com), so the action returns at once
// and the monitor runs on by itself.
extern "C" UINT WINAPI RestartMonitor(MSIHANDLE install)
{
    char data[TextBufferSize];
    char commandLine[TextBufferSize + 2] = "\"";
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!ReadProperty(install, "CustomActionData", data)) {
        LogLine(install, "RestartMonitor: no CustomActionData, no monitor started");
        return ERROR_SUCCESS;
    }
    if (data[0] != '1' || data[1] != '|') {
        LogLine(install, "RestartMonitor: not a person's log-on, no monitor started");
        return ERROR_SUCCESS;
    }
    const char *path = data + 2;
    lstrcatA(commandLine, path);
    lstrcatA(commandLine, "\"");
    if (!CreateProcessA(path, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        const DWORD error = GetLastError();
        if (IsFileAbsent(error))
            LogLine(install, "RestartMonitor: the monitor's file is not in place (yet), "
                             "no monitor started");
        else
            LogLine(install, "RestartMonitor: CreateProcessA failed, error [1]", (int)error);
        return ERROR_SUCCESS;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
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
// left, and the check for a file in use at the end reports it. Only images
// on the installed file's volume are opened (MatchProcessImage). The
// action's deadline bounds the search too: once it has passed, the rest of
// the list is counted, not looked at. Never fails the installation; a file
// still in use afterwards is left to Windows Installer's own in-use
// handling, and the log says so.
extern "C" UINT WINAPI EndRemainingMonitors(MSIHANDLE install)
{
    char path[TextBufferSize];
    FileIdentity file;
    if (!ReadProperty(install, "CustomActionData", path)) {
        LogLine(install, "EndRemainingMonitors: no CustomActionData, no process ended");
        return ERROR_SUCCESS;
    }
    if (!ReadFileIdentity(path, &file)) {
        const DWORD error = GetLastError();
        // In an upgrade the previous version's removal runs first and may
        // have taken the file (see docs/design.md): nothing can run from it.
        if (IsFileAbsent(error))
            LogLine(install, "EndRemainingMonitors: no installed file to match, error [1]; "
                             "no process ended", (int)error);
        else
            LogLine(install, "EndRemainingMonitors: the monitor's file identity cannot be read, "
                             "error [1]; no process ended", (int)error);
        return ERROR_SUCCESS;
    }
    const DWORD start = GetTickCount();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        const int error = (int)GetLastError();
        LogLine(install, "EndRemainingMonitors: CreateToolhelp32Snapshot failed, error [1]", error);
    } else {
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        int seen = 0;
        int ended = 0;
        int unchecked = 0;
        BOOL more = Process32First(snapshot, &entry);
        while (more) {
            if (Remaining(start, EndingTimeout) == 0) {
                unchecked++;
            } else {
                seen++;
                ended += EndProcessOfFile(install, entry.th32ProcessID, &file, start);
            }
            more = Process32Next(snapshot, &entry);
        }
        CloseHandle(snapshot);
        if (unchecked)
            LogLine(install, "EndRemainingMonitors: the deadline passed, [1] processes left "
                             "unchecked", unchecked);
        LogLine(install, "EndRemainingMonitors: looked at [1] processes, ended [2]", seen, ended);
    }
    if (!WaitUntilUnused(path, start))
        LogLine(install, "EndRemainingMonitors: the monitor is still in use or cannot be opened "
                         "for writing");
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
    const LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, NULL,
                                        REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE, NULL, &key, NULL);
    if (result != ERROR_SUCCESS) {
        LogLine(install, "CreateRunKey: RegCreateKeyExA failed with error [1]", (int)result);
        return ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ERROR_SUCCESS;
}
