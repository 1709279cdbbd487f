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

const char MonitorFileName[] = "ZN374Mon.exe";

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
    if (!size) {
        ErrorFact(key, GetLastError());
        return;
    }
    void *block = malloc(size);
    DWORD error = block ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    if (block && !GetFileVersionInfoA(path, 0, size, block))
        error = GetLastError();
    VS_FIXEDFILEINFO *info = NULL;
    UINT infoSize = 0;
    // VerQueryValue sets no error ("VerQueryValue"): a block without its
    // fixed part is a version resource without its data.
    if (!error && !VerQueryValueA(block, "\\", reinterpret_cast<void **>(&info), &infoSize))
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    if (!error && infoSize < sizeof *info)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    if (error) {
        ErrorFact(key, error);
    } else {
        const DWORD high = product ? info->dwProductVersionMS : info->dwFileVersionMS;
        const DWORD low = product ? info->dwProductVersionLS : info->dwFileVersionLS;
        Fact("%s=%u.%u.%u.%u", key, HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    }
    free(block);
}

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

namespace {

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

// The monitors found: their process IDs, separated by spaces, in a heap
// block; and the processes that may be monitors, for want of a reading.
struct MonitorList
{
    char *ids;
    int count;
    int unchecked;
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

// The account this report runs as, whose power policy it reads. The token's
// user is read into memory aligned for its structure, as Windows requires
// of GetTokenInformation's buffer (Wine does not).
void AccountFacts(void)
{
    static const SID localSystem = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY},
                                    {SECURITY_LOCAL_SYSTEM_RID}};
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token;
    HANDLE handle = NULL;
    DWORD size = sizeof token;
    int read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle);
    read = read && GetTokenInformation(handle, TokenUser, &token, size, &size);
    DWORD error = read ? 0 : GetLastError();
    if (handle)
        CloseHandle(handle);
    char name[TextBufferSize];
    char domain[TextBufferSize];
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    const PSID sid = read ? token.user.User.Sid : NULL;
    if (read && !LookupAccountSidA(NULL, sid, name, &nameSize, domain, &domainSize, &use))
        error = GetLastError();
    if (error)
        Fact("power.account=unknown (error %lu)", error);
    else
        Fact("power.account=%s\\%s", domain, name);
    const int localSystemAccount = read && EqualSid(sid, const_cast<SID *>(&localSystem));
    YesNoFact("power.account_is_local_system", localSystemAccount);
}

}  // namespace

void ReportWindows(StatusFacts *facts)
{
    char own[TextBufferSize];
    OSVERSIONINFOA info = {};
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
        if (error)
            Fact("power.readings=failed (error %lu)", error);
        else
            Fact("power.readings=failed");
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

// Every monitor running: by its name, or by the installed file it runs.
void ReportRunningMonitors(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    // Read at once: what comes before the walk sets its own.
    DWORD listError = snapshot == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    MonitorList list = {static_cast<char *>(calloc(1, 1)), 0, 0, 0};
    if (!list.ids && !listError)
        listError = ERROR_NOT_ENOUGH_MEMORY;
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
