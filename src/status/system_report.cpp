// The sections about the machine around the camera: Windows, power, the
// autostart value and the running monitors.
#include <windows.h>
#include <tlhelp32.h>
#include <psapi.h>
#include <stdlib.h>

#include "file_identity/file_identity.h"
#include "monitor/monitor.h"
#include "startup/autostart_value.h"
#include "startup/startup.h"
#include "status/run_command.h"
#include "status/status_report.h"

namespace {

const char MonitorFileName[] = "ZN374Mon.exe";

// "<Windows directory>\ZN374Mon.exe", where the package and /i install it;
// returns 0, or the error that leaves the path unknown.
DWORD InstalledMonitorPath(char *path)
{
    char windows[TextBufferSize];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (!length || length >= sizeof windows)
        return length ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    FormatText(path, TextBufferSize, "%s\\%s", windows, MonitorFileName);
    return 0;
}

void VersionFact(const char *key, const char *path, int product)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    void *block = size ? malloc(size) : NULL;
    VS_FIXEDFILEINFO *info = NULL;
    UINT infoSize = 0;
    if (block && GetFileVersionInfoA(path, 0, size, block) &&
        VerQueryValueA(block, "\\", reinterpret_cast<void **>(&info), &infoSize) && infoSize >= sizeof *info) {
        const DWORD high = product ? info->dwProductVersionMS : info->dwFileVersionMS;
        const DWORD low = product ? info->dwProductVersionLS : info->dwFileVersionLS;
        Fact("%s=%u.%u.%u.%u", key, HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    } else {
        ErrorFact(key, size && !block ? ERROR_NOT_ENOUGH_MEMORY : GetLastError());
    }
    free(block);
}

// text with its environment variables expanded, in a heap block; NULL on
// failure, with the error in *error.
char *Expand(const char *text, DWORD *error)
{
    const DWORD size = ExpandEnvironmentStringsA(text, NULL, 0);
    if (!size) {
        *error = GetLastError();
        return NULL;
    }
    char *expanded = static_cast<char *>(malloc(size + 1));
    const DWORD written = expanded ? ExpandEnvironmentStringsA(text, expanded, size + 1) : 0;
    // A result larger than the buffer is the size it needs, and the buffer
    // holds nothing ("ExpandEnvironmentStrings").
    if (written && written <= size + 1)
        return expanded;
    if (!expanded)
        *error = ERROR_NOT_ENOUGH_MEMORY;
    else
        *error = written ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    free(expanded);
    return NULL;
}

// Finds the program a Run command line starts, as CreateProcess does; returns 1
// with its full path in found. The shell starts the Run programs at log-on, so
// the report's own directories say nothing: CreateProcess looks in the shell's
// directory (the Windows directory) and current directory, then the system
// directory, the 16-bit one, the Windows directory and PATH. The shell's
// current directory is not known here and is left out; PATH is this process's,
// which under a management system's account lacks the user's own part.
// *error (0 on entry) is set when a reading fails: found, if any, is then the
// file it was read of.
int FindRunProgram(const char *commandLine, char *found, DWORD *error)
{
    char *searchPath = Expand("%SystemRoot%\\system32;%SystemRoot%\\system;%SystemRoot%;%PATH%", error);
    char program[4 * TextBufferSize], *filePart = NULL;
    int resolved = 0;
    for (unsigned attempt = 0; !*error && !resolved && TakeRunProgram(commandLine, attempt, program, sizeof program);
         attempt++) {
        const DWORD length = program[0] ? SearchPathA(searchPath, program, ".exe", TextBufferSize, found, &filePart) : 0;
        // A length beyond the buffer is the size a found program's path needs: unread.
        if (length >= TextBufferSize)
            *error = ERROR_INSUFFICIENT_BUFFER;
        // INVALID_FILE_ATTRIBUTES has the directory bit set too.
        const DWORD attributes = length && length < TextBufferSize ? GetFileAttributesA(found) : FILE_ATTRIBUTE_DIRECTORY;
        resolved = !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() != ERROR_FILE_NOT_FOUND)
            *error = GetLastError();
        Fact("autostart.tried.%u=%s", attempt, program);
        // Short (8.3) names too compare equal to the installed monitor's path.
        const DWORD longLength = resolved ? GetLongPathNameA(found, found, TextBufferSize) : 1;
        if (!longLength || longLength >= TextBufferSize)
            *error = longLength ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    }
    free(searchPath);
    return resolved;
}

// What the next log-on does with the Run value's command line; error, when
// not 0, is why the command line is not known.
void DescribeRunCommand(const char *commandLine, StatusFacts *facts, DWORD error)
{
    static const char *const formats[] = {"nothing starts: Windows finds no program that the Run value names",
        "Windows tries to start \"%s\", which is not the installed monitor", "the installed monitor starts and decides again",
        "the installed monitor starts with /u, removes its Run value and ends",
        "unknown%.0s (error %lu)"};
    char found[TextBufferSize], installed[TextBufferSize];
    const int uninstall = HoldsUninstallSwitch(commandLine);
    const int exists = !error && FindRunProgram(commandLine, found, &error);
    const DWORD unknown = error ? error : exists ? InstalledMonitorPath(installed) : 0;
    const int monitor = exists && !unknown && lstrcmpiA(found, installed) == 0;
    Fact("autostart.file=%s", exists ? found : "");
    YesNoFact("autostart.file_exists", exists, exists ? 0 : error);
    if (exists)
        VersionFact("autostart.file_version", found, 0);
    YesNoFact("autostart.installed_monitor", monitor, unknown);
    YesNoFact("autostart.uninstall_switch", uninstall);
    YesNoFact("autostart.starts_monitor", monitor && !uninstall, uninstall ? 0 : unknown);
    FormatText(facts->nextLogon, sizeof facts->nextLogon,
               formats[unknown ? 4 : exists + monitor + (monitor & uninstall)], found, unknown);
}

// The Run value in *data, a heap block with two more bytes of zeros, which
// close any string stored with its terminator or not.
LONG ReadRunValue(char **data, DWORD *type, DWORD *size)
{
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, KEY_QUERY_VALUE, &key);
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(key, AutostartValueName, NULL, type, NULL, size);
    if (result == ERROR_SUCCESS && !(*data = static_cast<char *>(calloc(*size + 2, 1))))
        result = ERROR_OUTOFMEMORY;
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(key, AutostartValueName, NULL, type, reinterpret_cast<BYTE *>(*data), size);
    if (key)
        RegCloseKey(key);
    return result;
}

// The installed monitor's identity, or NULL when there is no such file or
// it cannot be read: then *error is why.
const FileIdentity *InstalledMonitorIdentity(FileIdentity *identity, DWORD *error)
{
    char installed[TextBufferSize];
    *error = InstalledMonitorPath(installed);
    if (!*error && ReadFileIdentity(installed, identity))
        return identity;
    *error = *error ? *error : GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
    return NULL;
}

// process is NULL when OpenProcess failed; error is why the process or its
// image cannot be read.
void MonitorFacts(int index, DWORD id, HANDLE process, DWORD error, ImageMatch match)
{
    // Looked up when needed, so that a kernel32 without it still loads the report.
    typedef BOOL(WINAPI * SessionFunction)(DWORD, DWORD *);
    const SessionFunction sessionOf = reinterpret_cast<SessionFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "ProcessIdToSessionId")));
    char image[TextBufferSize];
    DWORD session = 0;
    Fact("monitors.%d.pid=%lu", index, id);
    if (sessionOf && sessionOf(id, &session))
        Fact("monitors.%d.session=%lu", index, session);
    else
        Fact("monitors.%d.session=unknown (error %lu)", index, GetLastError());
    // The path as the process's memory holds it, which a Toolhelp module
    // snapshot would read by starting a thread inside the monitor; whether it
    // is the installed file is told by the file itself.
    const DWORD length = process ? GetModuleFileNameExA(process, NULL, image, sizeof image) : 0;
    image[length < sizeof image ? length : 0] = '\0';
    if (image[0])
        Fact("monitors.%d.image=%s", index, image);
    else
        Fact("monitors.%d.image=unreadable (error %lu)", index, process ? GetLastError() : error);
    if (match == ImageUnreadable)
        Fact("monitors.%d.installed=unknown (error %lu)", index, error);
    else
        Fact("monitors.%d.installed=%s", index, match == ImageOfFile ? "yes" : "no");
}

int HasMonitorName(const PROCESSENTRY32 &entry)
{
    const char *file = entry.szExeFile;
    for (const char *c = file; *c; c++)
        file = *c == '\\' ? c + 1 : file;
    return lstrcmpiA(file, MonitorFileName) == 0;
}

}  // namespace

void ReportWindows(StatusFacts *facts)
{
    char own[TextBufferSize];
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    const DWORD length = GetModuleFileNameA(NULL, own, sizeof own - 1);
    own[length] = '\0';
    // A path that fills the buffer is cut short (Windows XP leaves it
    // unterminated): "GetModuleFileName".
    if (length && length < sizeof own - 1)
        VersionFact("report.version", own, 1);
    else
        ErrorFact("report.version", length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
    if (GetVersionExA(&info)) {
        Fact("windows.version=%lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
        Fact("windows.service_pack=%s", info.szCSDVersion);
    } else {
        ErrorFact("windows.version", GetLastError());
    }
    facts->windowsMajor = info.dwMajorVersion;
    facts->windowsMinor = info.dwMinorVersion;
    // The monitor's own reading, which tries the extended record before the
    // plain one. Every Windows that loads the report takes the extended one,
    // so any call of it that fails is a failed reading.
    SetLastError(0);
    facts->windowsSupported = IsSupportedWindowsVersion();
    YesNoFact("windows.supported", facts->windowsSupported, GetLastError());
}

// GetCurrentPowerPolicies reads the policy of the account running this report,
// and each monitor that of its own user.
void ReportPower(void)
{
    static const SID localSystem = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID}};
    HANDLE token = NULL;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    char name[TextBufferSize], domain[TextBufferSize];
    DWORD size = sizeof user, nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    const int read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                     GetTokenInformation(token, TokenUser, user, size, &size);
    const PSID sid = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    if (read && LookupAccountSidA(NULL, sid, name, &nameSize, domain, &domainSize, &use))
        Fact("power.account=%s\\%s", domain, name);
    else
        Fact("power.account=unknown (error %lu)", GetLastError());
    if (token)
        CloseHandle(token);
    YesNoFact("power.account_is_local_system", read && EqualSid(sid, const_cast<SID *>(&localSystem)));
    Fact("power.policy=this account's; each monitor reads its own user's");
    SetLastError(0);
    if (!RefreshPowerState()) {
        const DWORD error = GetLastError();
        Fact(error ? "power.readings=failed (error %lu)" : "power.readings=failed", error);
        return;
    }
    Fact("power.critical_level=%lu", (unsigned long)g_PowerSnapshot.criticalLevel);
    Fact("power.ac_line=%lu", (unsigned long)g_PowerSnapshot.acLineStatus);
    Fact("power.battery_percent=%lu", (unsigned long)g_PowerSnapshot.batteryPercent);
    // As a freshly started monitor's tick: nothing has been told to the camera yet.
    const BatteryAction action = DecideBatteryAction(&g_PowerSnapshot, 0);
    YesNoFact("power.battery_critical", action.engage);
    Fact("power.poll_period=%lu", action.period == BatteryPeriodUnchanged ? 20000ul : (unsigned long)action.period);
}

void ReportAutostart(StatusFacts *facts)
{
    DWORD type = REG_NONE, size = 0;
    char *data = NULL;
    const LONG result = ReadRunValue(&data, &type, &size);
    const int string = result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    DWORD error = 0;
    char *expanded = string && type == REG_EXPAND_SZ ? Expand(data, &error) : NULL;
    Fact("autostart.value=%s", string ? data : "");
    if (result)
        Fact("autostart.read=error %ld", result);
    else
        Fact("autostart.read=%s, %lu bytes", string ? RegistryTypeName(type) : "not a string, which never runs", size);
    if (expanded)
        Fact("autostart.expanded=%s", expanded);
    if (string) {
        DescribeRunCommand(expanded ? expanded : data, facts, error);
    } else {
        FormatText(facts->nextLogon, sizeof facts->nextLogon, result == ERROR_FILE_NOT_FOUND ? "nothing starts "
                   "(no Run value)" : result ? "unknown: the Run value cannot be read (error %ld)" : "nothing starts: "
                   "the Run value is not a string", result);
        YesNoFact("autostart.file_exists", 0);
        YesNoFact("autostart.starts_monitor", 0);
        Fact("autostart.file=%s", "");
    }
    free(expanded);
    free(data);
}

// Every monitor running: by its name, or by the installed file it runs.
void ReportRunningMonitors(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // Read at once: what comes before the walk sets its own.
    const DWORD snapshotError = snapshot == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0, unchecked = 0;
    char *ids = static_cast<char *>(calloc(1, 1)), *grown;
    const DWORD listError = snapshot == INVALID_HANDLE_VALUE ? snapshotError : ids ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    FileIdentity identity;
    DWORD installedError, uncheckedError = 0;
    const FileIdentity *installed = InstalledMonitorIdentity(&identity, &installedError);
    for (BOOL more = !listError && Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        // A monitor may run the installed file under another name (its 8.3
        // name, a hard link). Opened once, for that and for its facts.
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        const ImageMatch match = !process || installedError ? ImageUnreadable
                                 : installed ? MatchProcessImage(process, installed) : ImageOfOtherFile;
        const DWORD error = process && installedError ? installedError : GetLastError();
        const int named = HasMonitorName(entry);
        if (match == ImageUnreadable && !named)
            unchecked++, uncheckedError = error;
        if (named || match == ImageOfFile) {
            // A process ID that finds no memory is left out of the list, as a fact lost.
            grown = static_cast<char *>(realloc(ids, lstrlenA(ids) + 12));
            if (grown)
                FormatText(grown + lstrlenA(grown), 12, "%s%lu", grown[0] ? " " : "", entry.th32ProcessID);
            else
                LoseFact();
            ids = grown ? grown : ids;
            MonitorFacts(count++, entry.th32ProcessID, process, error, match);
        }
        if (process)
            CloseHandle(process);
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    if (unchecked)
        Fact("monitors.unchecked=%d (error %lu)", unchecked, uncheckedError);
    if (listError)
        ErrorFact("monitors.count", listError);
    else
        Fact("monitors.count=%d", count);
    Fact("monitors=%s", ids ? ids : "");
    free(ids);
}
