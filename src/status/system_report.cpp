// The sections about the machine around the camera: Windows, power, the
// autostart value and the running monitors.
#include <windows.h>
#include <tlhelp32.h>
#include <stdlib.h>
#include <string.h>

#include "discovery/registry_string.h"
#include "monitor/monitor.h"
#include "startup/autostart_value.h"
#include "startup/startup.h"
#include "status/status_report.h"

namespace {

// The file name the monitor ships under; copies started under another name
// are found through the Run value.
const char MonitorFileName[] = "ZN374Mon.exe";

const char *AcLineName(uint32_t status)
{
    return status == 0 ? "offline" : status == 1 ? "online" : "unknown";
}

// The file part of a Run value's path.
const char *FileNamePart(const char *path)
{
    const char *name = path;
    for (const char *c = path; *c; c++) {
        if (*c == '\\' || *c == '/' || *c == ':')
            name = c + 1;
    }
    return name;
}

void ReportFileVersion(const char *path)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        ReportLine("file version", "none (error %lu)", GetLastError());
        return;
    }
    void *block = malloc(size);
    if (!block) {
        ReportLine("file version", "not read (no memory for %lu bytes)", size);
        return;
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT fixedSize = 0;
    if (!GetFileVersionInfoA(path, 0, size, block))
        ReportLine("file version", "unreadable (error %lu)", GetLastError());
    else if (!VerQueryValueA(block, "\\", reinterpret_cast<void **>(&fixed), &fixedSize) ||
             fixedSize < sizeof *fixed)
        ReportLine("file version", "%s", "no fixed version information");
    else
        ReportLine("file version", "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                   LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                   LOWORD(fixed->dwFileVersionLS));
    free(block);
}

// The Run value names a command; the monitor stores a plain path, quoted
// when it holds a space.
void TakeRunFile(const char *value, char *file)
{
    const char *start = value;
    size_t length = strlen(value);
    if (value[0] == '"') {
        start++;
        const char *end = strchr(start, '"');
        length = end ? (size_t)(end - start) : strlen(start);
    }
    memcpy(file, start, length);
    file[length] = '\0';
}

}  // namespace

void ReportWindows(StatusFacts *facts)
{
    ReportSection("Windows");
    OSVERSIONINFOEXA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    OSVERSIONINFOA *plain = reinterpret_cast<OSVERSIONINFOA *>(&info);
    const int extended = GetVersionExA(plain) != 0;
    int read = extended;
    if (!read) {
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        read = GetVersionExA(plain) != 0;
    }
    if (!read) {
        ReportLine("version", "unreadable (error %lu)", GetLastError());
    } else {
        ReportLine("version", "%lu.%lu build %lu, platform %lu", info.dwMajorVersion,
                   info.dwMinorVersion, info.dwBuildNumber, info.dwPlatformId);
        if (extended)
            ReportLine("service pack", "%u.%u \"%s\"", info.wServicePackMajor,
                       info.wServicePackMinor, info.szCSDVersion);
        else
            ReportLine("service pack", "\"%s\"", info.szCSDVersion);
    }
    facts->windowsMajor = info.dwMajorVersion;
    facts->windowsMinor = info.dwMinorVersion;
    facts->windowsSupported = IsSupportedWindowsVersion();
    ReportLine("monitor runs on it", "%s",
               facts->windowsSupported ? "yes (Windows NT 5.x)" : "no (it needs Windows NT 5.x)");
}

void ReportPower(void)
{
    ReportSection("Power");
    if (!RefreshPowerState()) {
        ReportLine("readings", "failed (error %lu); a monitor's tick would change nothing",
                   GetLastError());
        return;
    }
    ReportLine("critical level", "%lu %%", (unsigned long)g_PowerSnapshot.criticalLevel);
    ReportLine("AC line status", "%lu (%s)", (unsigned long)g_PowerSnapshot.acLineStatus,
               AcLineName(g_PowerSnapshot.acLineStatus));
    ReportLine("battery percent", "%lu", (unsigned long)g_PowerSnapshot.batteryPercent);
    // As a freshly started monitor's tick: nothing has been told to the camera yet.
    const BatteryAction action = DecideBatteryAction(&g_PowerSnapshot, 0);
    ReportLine("battery band", "%s", action.engage
               ? "engaged: a tick would tell the camera the battery is critical"
               : "not engaged");
    if (action.period == BatteryPeriodUnchanged)
        ReportLine("poll period", "%s", "a tick keeps the period (20000 ms from the start)");
    else
        ReportLine("poll period", "a tick sets %lu ms", (unsigned long)action.period);
}

void ReportAutostart(StatusFacts *facts)
{
    ReportSection("Autostart");
    HKEY key = NULL;
    char value[TextBufferSize];
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, KEY_QUERY_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        result = RegQueryValueExA(key, AutostartValueName, NULL, &type,
                                  reinterpret_cast<BYTE *>(value), &size);
        RegCloseKey(key);
    }
    facts->runValueError = result;
    if (result == ERROR_FILE_NOT_FOUND) {
        facts->runValue = RunValueAbsent;
        ReportLine("Run value", "absent (error %ld)", result);
        return;
    }
    if (result != ERROR_SUCCESS) {
        facts->runValue = RunValueUnreadable;
        ReportLine("Run value", "unreadable (error %ld)", result);
        return;
    }
    SettleQueriedString(value, sizeof value, type == REG_SZ || type == REG_EXPAND_SZ, size);
    ReportLine("Run value", "\"%s\" (%s, %lu bytes)", value,
               type == REG_SZ ? "REG_SZ" : type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : "not a string",
               size);

    TakeRunFile(value, facts->runFile);
    const DWORD attributes = GetFileAttributesA(facts->runFile);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        facts->runValue = RunValueFileMissing;
        ReportLine("file", "missing (error %lu)",
                   attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY);
        return;
    }
    facts->runValue = RunValueFileExists;
    ReportLine("file", "%s", "exists");
    ReportFileVersion(facts->runFile);
}

void ReportRunningMonitors(const StatusFacts *facts)
{
    ReportSection("Running monitors");
    const char *runName = facts->runFile[0] ? FileNamePart(facts->runFile) : MonitorFileName;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ReportLine("processes", "cannot be listed (error %lu)", GetLastError());
        return;
    }
    char ids[TextBufferSize];
    ids[0] = '\0';
    size_t used = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        const char *name = FileNamePart(entry.szExeFile);
        if ((lstrcmpiA(name, MonitorFileName) == 0 || lstrcmpiA(name, runName) == 0) &&
            used + 16 < sizeof ids) {
            FormatText(ids + used, sizeof ids - used, "%s%lu", used ? ", " : "",
                       entry.th32ProcessID);
            used = strlen(ids);
        }
    }
    CloseHandle(snapshot);
    ReportLine("process IDs", "%s", ids[0] ? ids : "none");
}
