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
    const int read = block && GetFileVersionInfoA(path, 0, size, block) &&
                     VerQueryValueA(block, "\\", reinterpret_cast<void **>(&info), &infoSize);
    if (read && infoSize >= sizeof *info) {
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
    if (!expanded) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    const DWORD written = ExpandEnvironmentStringsA(text, expanded, size + 1);
    // A result larger than the buffer is the size it needs, and the buffer
    // holds nothing ("ExpandEnvironmentStrings").
    if (written && written <= size + 1)
        return expanded;
    *error = written ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    free(expanded);
    return NULL;
}

// Replaces path by its long form; returns 0, or why it cannot be read.
DWORD ReadLongPath(char *path)
{
    const DWORD length = GetLongPathNameA(path, path, TextBufferSize);
    if (!length)
        return GetLastError();
    return length < TextBufferSize ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
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
    const char folders[] = "%SystemRoot%\\system32;%SystemRoot%\\system;%SystemRoot%;%PATH%";
    char *searchPath = Expand(folders, error);
    char program[4 * TextBufferSize], *filePart = NULL;
    int resolved = 0;
    for (unsigned attempt = 0; !*error && !resolved; attempt++) {
        if (!TakeRunProgram(commandLine, attempt, program, sizeof program))
            break;
        DWORD length = 0;
        if (program[0])
            length = SearchPathA(searchPath, program, ".exe", TextBufferSize, found, &filePart);
        // A length beyond the buffer is the size a found program's path needs: unread.
        if (length >= TextBufferSize)
            *error = ERROR_INSUFFICIENT_BUFFER;
        // INVALID_FILE_ATTRIBUTES has the directory bit set too.
        DWORD attributes = FILE_ATTRIBUTE_DIRECTORY;
        if (length && length < TextBufferSize)
            attributes = GetFileAttributesA(found);
        resolved = !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() != ERROR_FILE_NOT_FOUND)
            *error = GetLastError();
        Fact("autostart.tried.%u=%s", attempt, program);
        // Short (8.3) names too compare equal to the installed monitor's path.
        if (resolved)
            *error = ReadLongPath(found);
    }
    free(searchPath);
    return resolved;
}

const char NoProgramFound[] = "nothing starts: Windows finds no program that the Run value names";
const char OtherProgramStarts[] =
    "Windows tries to start \"%s\", which is not the installed monitor";
const char MonitorUninstalls[] =
    "the installed monitor starts with /u, removes its Run value and ends";
const char MonitorStarts[] = "the installed monitor starts and decides again";

// What the next log-on does with the Run value's command line; error, when
// not 0, is why the command line is not known.
void DescribeRunCommand(const char *commandLine, StatusFacts *facts, DWORD error)
{
    char found[TextBufferSize], installed[TextBufferSize];
    const int uninstall = HoldsUninstallSwitch(commandLine);
    const int exists = !error && FindRunProgram(commandLine, found, &error);
    DWORD unknown = error;
    if (exists && !error)
        unknown = InstalledMonitorPath(installed);
    const int monitor = exists && !unknown && lstrcmpiA(found, installed) == 0;
    Fact("autostart.file=%s", exists ? found : "");
    YesNoFact("autostart.file_exists", exists, exists ? 0 : error);
    if (exists)
        VersionFact("autostart.file_version", found, 0);
    YesNoFact("autostart.installed_monitor", monitor, unknown);
    YesNoFact("autostart.uninstall_switch", uninstall);
    YesNoFact("autostart.starts_monitor", monitor && !uninstall, uninstall ? 0 : unknown);
    const char *sentence = MonitorStarts;
    if (!exists)
        sentence = NoProgramFound;
    else if (!monitor)
        sentence = OtherProgramStarts;
    else if (uninstall)
        sentence = MonitorUninstalls;
    if (unknown)
        FormatText(facts->nextLogon, sizeof facts->nextLogon, "unknown (error %lu)", unknown);
    else
        FormatText(facts->nextLogon, sizeof facts->nextLogon, sentence, found);
}

// The Run value in *data, a heap block with two more bytes of zeros, which
// close any string stored with its terminator or not.
LONG ReadRunValue(char **data, DWORD *type, DWORD *size)
{
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, KEY_QUERY_VALUE, &key);
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(key, AutostartValueName, NULL, type, NULL, size);
    if (result == ERROR_SUCCESS)
        *data = static_cast<char *>(calloc(*size + 2, 1));
    if (result == ERROR_SUCCESS && !*data)
        result = ERROR_OUTOFMEMORY;
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(key, AutostartValueName, NULL, type,
                                  reinterpret_cast<BYTE *>(*data), size);
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
    if (!*error)
        *error = GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
    return NULL;
}

// process is NULL when OpenProcess failed; error is why the process or its
// image cannot be read.
void MonitorFacts(int index, DWORD id, HANDLE process, DWORD error, ImageMatch match)
{
    // Looked up when needed, so that a kernel32 without it still loads the report.
    typedef BOOL(WINAPI * SessionFunction)(DWORD, DWORD *);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    const SessionFunction sessionOf = reinterpret_cast<SessionFunction>(
        reinterpret_cast<void *>(GetProcAddress(kernel32, "ProcessIdToSessionId")));
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
    DWORD length = 0;
    if (process)
        length = GetModuleFileNameExA(process, NULL, image, sizeof image);
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
    for (const char *c = file; *c; c++) {
        if (*c == '\\')
            file = c + 1;
    }
    return lstrcmpiA(file, MonitorFileName) == 0;
}

// The next log-on when the Run value is no string or cannot be read: nothing
// that the report could follow.
void DescribeUnusableRunValue(LONG result, StatusFacts *facts)
{
    const char *sentence = "nothing starts: the Run value is not a string";
    if (result == ERROR_FILE_NOT_FOUND)
        sentence = "nothing starts (no Run value)";
    else if (result)
        sentence = "unknown: the Run value cannot be read (error %ld)";
    FormatText(facts->nextLogon, sizeof facts->nextLogon, sentence, result);
    YesNoFact("autostart.file_exists", 0);
    YesNoFact("autostart.starts_monitor", 0);
    Fact("autostart.file=");
}

// The monitors found: their process IDs, separated by spaces, in a heap
// block; and the processes that may be monitors, for want of a reading.
struct MonitorList
{
    char *ids;
    int count, unchecked;
    DWORD uncheckedError;
};

int AddMonitorId(MonitorList *list, DWORD id)
{
    enum { IdSize = 12 };  // a space, ten digits and the terminator
    const int length = lstrlenA(list->ids);
    char *grown = static_cast<char *>(realloc(list->ids, length + IdSize));
    if (!grown)
        return 0;
    // An ID lost for want of memory leaves no gap in the list.
    FormatText(grown + length, IdSize, "%s%lu", length ? " " : "", id);
    list->ids = grown;
    return 1;
}

// A process of the snapshot: listed with its facts when it is a monitor.
void CheckProcess(const PROCESSENTRY32 &entry, const FileIdentity *installed,
                  DWORD installedError, MonitorList *list)
{
    // A monitor may run the installed file under another name (its 8.3
    // name, a hard link). Opened once, for that and for its facts.
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                 entry.th32ProcessID);
    ImageMatch match = ImageUnreadable;
    if (process && !installedError)
        match = installed ? MatchProcessImage(process, installed) : ImageOfOtherFile;
    const DWORD error = process && installedError ? installedError : GetLastError();
    const int named = HasMonitorName(entry);
    if (match == ImageUnreadable && !named) {
        list->unchecked++;
        list->uncheckedError = error;
    }
    if (named || match == ImageOfFile) {
        // A monitor whose ID finds no memory still counts, its ID a fact lost.
        if (!AddMonitorId(list, entry.th32ProcessID))
            LoseFact();
        MonitorFacts(list->count, entry.th32ProcessID, process, error, match);
        list->count++;
    }
    if (process)
        CloseHandle(process);
}

// The account this report runs as, whose power policy it reads.
void AccountFacts(void)
{
    static const SID localSystem = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY},
                                    {SECURITY_LOCAL_SYSTEM_RID}};
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
    const int localSystemAccount = read && EqualSid(sid, const_cast<SID *>(&localSystem));
    YesNoFact("power.account_is_local_system", localSystemAccount);
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
    if (!length)
        ErrorFact("report.version", GetLastError());
    else if (length >= sizeof own - 1)
        ErrorFact("report.version", ERROR_INSUFFICIENT_BUFFER);
    else
        VersionFact("report.version", own, 1);
    if (GetVersionExA(&info)) {
        Fact("windows.version=%lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion,
             info.dwBuildNumber);
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
    const WindowsVersion version = CheckWindowsVersion();
    facts->windowsSupported = version == WindowsVersion::Nt5;
    facts->windowsUnreadable = version == WindowsVersion::Unreadable;
    YesNoFact("windows.supported", facts->windowsSupported, GetLastError());
}

// GetCurrentPowerPolicies reads the policy of the account running this report,
// and each monitor that of its own user.
void ReportPower(void)
{
    AccountFacts();
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
    // As a freshly started monitor's tick: nothing has been told to the camera
    // yet, and the timer runs at the period the monitor starts it with.
    const BatteryAction action = DecideBatteryAction(&g_PowerSnapshot, 0);
    YesNoFact("power.battery_critical", action.engage);
    const int unchanged = action.period == BatteryPeriodUnchanged;
    Fact("power.poll_period=%lu", unchanged ? (unsigned long)BatteryPeriodShort : action.period);
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
    else if (string)
        Fact("autostart.read=%s, %lu bytes", RegistryTypeName(type), size);
    else
        Fact("autostart.read=not a string, which never runs, %lu bytes", size);
    if (expanded)
        Fact("autostart.expanded=%s", expanded);
    if (string)
        DescribeRunCommand(expanded ? expanded : data, facts, error);
    else
        DescribeUnusableRunValue(result, facts);
    free(expanded);
    free(data);
}

// Every monitor running: by its name, or by the installed file it runs.
void ReportRunningMonitors(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // Read at once: what comes before the walk sets its own.
    const DWORD snapshotError = snapshot == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    MonitorList list = {static_cast<char *>(calloc(1, 1)), 0, 0, 0};
    DWORD listError = list.ids ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    if (snapshot == INVALID_HANDLE_VALUE)
        listError = snapshotError;
    FileIdentity identity;
    DWORD installedError;
    const FileIdentity *installed = InstalledMonitorIdentity(&identity, &installedError);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    BOOL more = !listError && Process32First(snapshot, &entry);
    for (; more; more = Process32Next(snapshot, &entry))
        CheckProcess(entry, installed, installedError, &list);
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    if (list.unchecked)
        Fact("monitors.unchecked=%d (error %lu)", list.unchecked, list.uncheckedError);
    if (listError)
        ErrorFact("monitors.count", listError);
    else
        Fact("monitors.count=%d", list.count);
    Fact("monitors=%s", list.ids ? list.ids : "");
    free(list.ids);
}
