// What the next log-on starts: the Run value read as Windows reads it, the
// policies that stop the machine's Run list, and the package installed.
#include <windows.h>
#include <msi.h>
#include <stdlib.h>

#include "file_identity/file_identity.h"
#include "startup/autostart_value.h"
#include "startup/run_list_policy.h"
#include "status/run_command.h"
#include "status/status_report.h"

namespace {

// The package's UpgradeCode, which the build reads from installer/ZN374Mon.wxs.
const char PackageUpgradeCode[] = ZN_UPGRADE_CODE;

// What the next log-on does with the Run value, by name: their rows in
// NextLogons, whose code is autostart.reason.code.
enum NextLogon { StartsMonitor, NoRunValue, NotAString, NoProgram, OtherProgram, Uninstalls,
                 MachinePolicy, UserPolicy, ReadingFailed, UnreadableRunValue, NextLogonCount };
const Reason NextLogons[] = {
    {"", "the installed monitor starts and decides again"},
    {"no-value", "nothing starts (no Run value)"},
    {"not-a-string", "nothing starts: the Run value is not a string"},
    {"no-program", "nothing starts: Windows finds no program that the Run value names"},
    {"other-program", "Windows tries to start a program that is not the installed monitor"},
    {"uninstall-switch", "the installed monitor starts with /u, removes its Run value and ends"},
    {"policy-machine", "nothing starts: the machine's policy stops its Run list "
                       "(DisableLocalMachineRun)"},
    {"policy-user", "nothing starts: this user's policy stops the machine's Run list "
                    "(DisableLocalMachineRun)"},
    {"unreadable", "unknown"},
    {"unreadable", "unknown: the Run value cannot be read"}};
static_assert(sizeof NextLogons / sizeof NextLogons[0] == NextLogonCount, "a row per NextLogon");

// The policy in one hive, as the fact key shows it: empty when absent.
// Returns 1 when it stops the Run list; *error is set when it cannot be read.
int RunListPolicyFact(HKEY root, const char *key, DWORD *error)
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LONG result = ReadRunListPolicy(root, &value, &type, &size);
    // No key, or no value: the policy is not set.
    if (result == ERROR_FILE_NOT_FOUND) {
        Fact("%s=", key);
        return 0;
    }
    if (!IsRunListPolicyAnswer(result)) {
        ErrorFact(key, (DWORD)result);
        *error = (DWORD)result;
        return 0;
    }
    const int dword = result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value;
    if (dword)
        Fact("%s=%lu", key, value);
    else
        Fact("%s=%s, %lu bytes, not a REG_DWORD", key, RegistryTypeName(type), size);
    return StopsRunList(result, type, size, value);
}

// Sets the next log-on's sentence and code.
void SetNextLogon(StatusFacts *facts, NextLogon next, const char *found, DWORD error)
{
    const unsigned size = sizeof facts->nextLogon;
    Fact("autostart.reason.code=%s", NextLogons[next].code);
    if (next == OtherProgram)
        FormatText(facts->nextLogon, size,
                   "Windows tries to start \"%s\", which is not the installed monitor", found);
    else if (next == ReadingFailed)
        FormatText(facts->nextLogon, size, "unknown (error %lu)", error);
    else if (next == UnreadableRunValue)
        FormatText(facts->nextLogon, size, "unknown: the Run value cannot be read (error %lu)",
                   error);
    else
        FormatText(facts->nextLogon, size, "%s", NextLogons[next].text);
}

// A SearchPath or GetFileAttributes error that answers "no such program":
// the name names no file there. Any other is a failed reading.
int IsNoSuchFile(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME;
}

// The attempt-th program name's file, found as CreateProcess finds it; 1
// when it is a file. *error is set when a reading fails.
int FindProgramFile(const char *searchPath, const char *program, char *found, DWORD *error)
{
    char *filePart = NULL;
    if (!program[0])
        return 0;
    const DWORD length = SearchPathA(searchPath, program, ".exe", TextBufferSize, found, &filePart);
    const DWORD searchError = length ? 0 : GetLastError();
    // A length beyond the buffer is the size a found program's path needs: unread.
    if (length >= TextBufferSize)
        *error = ERROR_INSUFFICIENT_BUFFER;
    if (!length && !IsNoSuchFile(searchError))
        *error = searchError;
    if (!length || length >= TextBufferSize)
        return 0;
    const DWORD attributes = GetFileAttributesA(found);
    const DWORD attributesError = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
    if (attributes == INVALID_FILE_ATTRIBUTES && !IsNoSuchFile(attributesError))
        *error = attributesError;
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Finds the program a Run command line starts, as CreateProcess does; returns 1
// with its full path in found. The shell starts the Run programs at log-on, so
// the report's own directories say nothing: CreateProcess looks first in the
// directory of the program that calls it, the shell's (the Windows directory),
// and the current directory, then in the system directory, the 16-bit one, the
// Windows directory and PATH ("CreateProcess", lpCommandLine). The shell's
// current directory is not known here and is left out; PATH is this process's,
// which under a management system's account lacks the user's own part.
// *error (0 on entry) is set when a reading fails.
int FindRunProgram(const char *commandLine, char *found, DWORD *error)
{
    const char folders[] = "%SystemRoot%;%SystemRoot%\\system32;%SystemRoot%\\system;%PATH%";
    char *searchPath = Expand(folders, error);
    char program[4 * TextBufferSize];
    int resolved = 0;
    for (unsigned attempt = 0; !*error && !resolved; attempt++) {
        if (!TakeRunProgram(commandLine, attempt, program, sizeof program))
            break;
        resolved = FindProgramFile(searchPath, program, found, error);
        Fact("autostart.tried.%u=%s", attempt, program);
    }
    free(searchPath);
    return resolved;
}

// Whether found is the installed monitor's file, told by the file itself, so
// that any spelling of it (an 8.3 name, another drive letter for its folder,
// a hard link) is; returns 0 with *monitor set, or why it cannot be told.
DWORD MatchInstalledMonitor(const char *found, int *monitor)
{
    FileIdentity installed;
    FileIdentity program;
    DWORD error = 0;
    *monitor = 0;
    if (!InstalledMonitorIdentity(&installed, &error))
        return error;
    if (!ReadFileIdentity(found, &program))
        return GetLastError();
    *monitor = IsSameFile(&installed, &program);
    return 0;
}

// What the next log-on does with the Run value's command line, unless a
// policy stops it; *error, when not 0, is why the command line is not known,
// on return why the answer is not.
NextLogon DescribeRunCommand(const char *commandLine, DWORD *error, char *found)
{
    const int uninstall = HoldsUninstallSwitch(commandLine);
    const int exists = !*error && FindRunProgram(commandLine, found, error);
    int monitor = 0;
    if (exists && !*error)
        *error = MatchInstalledMonitor(found, &monitor);
    Fact("autostart.file=%s", exists ? found : "");
    YesNoFact("autostart.file_exists", exists, exists ? 0 : *error);
    if (exists)
        VersionFact("autostart.file_version", found, 0);
    YesNoFact("autostart.installed_monitor", monitor, *error);
    YesNoFact("autostart.uninstall_switch", uninstall);
    if (*error)
        return ReadingFailed;
    if (!exists)
        return NoProgram;
    if (!monitor)
        return OtherProgram;
    return uninstall ? Uninstalls : StartsMonitor;
}

// The Run value in *data, a heap block with two more bytes of zeros, which
// close any string stored with its terminator or not.
LONG QueryRunValue(HKEY key, char **data, DWORD *type, DWORD *size)
{
    const LONG result = RegQueryValueExA(key, AutostartValueName, NULL, type, NULL, size);
    if (result != ERROR_SUCCESS)
        return result;
    *data = static_cast<char *>(calloc(*size + 2, 1));
    if (!*data)
        return ERROR_OUTOFMEMORY;
    BYTE *bytes = reinterpret_cast<BYTE *>(*data);
    return RegQueryValueExA(key, AutostartValueName, NULL, type, bytes, size);
}

LONG ReadRunValue(char **data, DWORD *type, DWORD *size)
{
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, AutostartRunKeyPath, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    result = QueryRunValue(key, data, type, size);
    RegCloseKey(key);
    return result;
}

// The value itself: what it holds and how it is stored; returns the command
// line to follow, or NULL when there is none.
const char *RunValueFacts(LONG result, DWORD type, DWORD size, const char *data, char *expanded)
{
    const int isString = result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    Fact("autostart.value=%s", isString ? data : "");
    if (result)
        Fact("autostart.read=error %ld", result);
    else if (isString)
        Fact("autostart.read=%s, %lu bytes", RegistryTypeName(type), size);
    else
        Fact("autostart.read=not a string, which never runs, %lu bytes", size);
    if (expanded)
        Fact("autostart.expanded=%s", expanded);
    if (!isString)
        return NULL;
    return expanded ? expanded : data;
}

// The next log-on when the Run value is no string or cannot be read.
NextLogon DescribeUnusableRunValue(LONG result)
{
    if (result && result != ERROR_FILE_NOT_FOUND) {
        ErrorFact("autostart.file_exists", (DWORD)result);
        return UnreadableRunValue;
    }
    YesNoFact("autostart.file_exists", 0);
    return result ? NoRunValue : NotAString;
}

// The policies, read first: they decide only what would otherwise start the
// monitor. Returns what the next log-on does under them, and sets *error when
// one cannot be read.
NextLogon ReadRunListPolicies(DWORD *error)
{
    const int machine = RunListPolicyFact(HKEY_LOCAL_MACHINE, "autostart.policy_machine", error);
    const int user = RunListPolicyFact(HKEY_CURRENT_USER, "autostart.policy_user", error);
    if (machine)
        return MachinePolicy;
    if (user)
        return UserPolicy;
    return *error ? ReadingFailed : StartsMonitor;
}

}  // namespace

void ReportAutostart(StatusFacts *facts)
{
    DWORD policyError = 0;
    const NextLogon underPolicies = ReadRunListPolicies(&policyError);
    DWORD type = REG_NONE;
    DWORD size = 0;
    char *data = NULL;
    const LONG result = ReadRunValue(&data, &type, &size);
    DWORD error = 0;
    const int expand = result == ERROR_SUCCESS && type == REG_EXPAND_SZ;
    char *expanded = expand ? Expand(data, &error) : NULL;
    const char *commandLine = RunValueFacts(result, type, size, data, expanded);
    char found[TextBufferSize];
    NextLogon next = UnreadableRunValue;
    if (commandLine)
        next = DescribeRunCommand(commandLine, &error, found);
    else
        next = DescribeUnusableRunValue(result);
    if (next == StartsMonitor)
        next = underPolicies;
    if (next == UnreadableRunValue)
        error = (DWORD)result;
    if (next == ReadingFailed && !error)
        error = policyError;
    // error is set for the two failed readings alone, which show it as unreadable.
    YesNoFact("autostart.starts_monitor", next == StartsMonitor, error);
    if (!commandLine)
        Fact("autostart.file=");
    SetNextLogon(facts, next, found, error);
    free(expanded);
    free(data);
}

// The installed build, by the UpgradeCode every version shares, through
// Windows Installer's own read-only functions: each ProductCode and its
// version, separated by spaces; empty when none is installed.
void ReportPackage(void)
{
    char codes[TextBufferSize] = "";
    char versions[TextBufferSize] = "";
    UINT result = ERROR_SUCCESS;
    UINT versionResult = ERROR_SUCCESS;
    for (DWORD index = 0; result == ERROR_SUCCESS; index++) {
        char code[39];
        char version[TextBufferSize / 4] = "";
        DWORD versionSize = sizeof version;
        result = MsiEnumRelatedProductsA(PackageUpgradeCode, 0, index, code);
        if (result != ERROR_SUCCESS)
            break;
        const UINT read = MsiGetProductInfoA(code, INSTALLPROPERTY_VERSIONSTRING, version,
                                             &versionSize);
        versionResult = read != ERROR_SUCCESS ? read : versionResult;
        const unsigned used = (unsigned)lstrlenA(codes);
        FormatText(codes + used, sizeof codes - used, "%s%s", index ? " " : "", code);
        const unsigned versionUsed = (unsigned)lstrlenA(versions);
        FormatText(versions + versionUsed, sizeof versions - versionUsed, "%s%s",
                   index ? " " : "", version);
    }
    // The end of the list is the answer; any other result, a failed reading.
    if (result != ERROR_NO_MORE_ITEMS)
        versionResult = result;
    if (result != ERROR_NO_MORE_ITEMS)
        ErrorFact("package.product_code", result);
    else
        Fact("package.product_code=%s", codes);
    if (versionResult)
        ErrorFact("package.version", versionResult);
    else
        Fact("package.version=%s", versions);
}
