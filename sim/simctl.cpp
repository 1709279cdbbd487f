// simctl: the simulation kit as a console tool, for shell scripts and
// end-to-end tests that drive the simulated machine from outside a process.
//   simctl camera-clear | camera-add NAME [reject-set] [no-property-set] [no-friendly-name]
//   simctl log | log-clear
//   simctl critical PERCENT | policy-fail 0|1 | battery AC PERCENT | power
//   simctl window-of PID|IMAGE.exe | wait-window PID|IMAGE.exe [MS] | pids IMAGE.exe
//   simctl post PID|IMAGE.exe suspend|resume|endsession|endsession-cancel|tick
//   simctl device-clear | device-add-camera NAME [suspend=N|no-suspend]
//   simctl run-without-interactive COMMAND-LINE
#include <windows.h>
#include <powrprof.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "devtree.h"
#include "simkit.h"
#include "sim_shared.h"

namespace {

const int kMaxWindows = 64;

struct WindowSearch
{
    DWORD processId;
    HWND windows[kMaxWindows];
    int count;
};

int Usage(void)
{
    fprintf(stderr,
            "usage: simctl camera-clear | camera-add NAME [reject-set] [no-property-set] [no-friendly-name]\n"
            "       simctl log | log-clear\n"
            "       simctl critical PERCENT | policy-fail 0|1 | battery AC PERCENT | power\n"
            "       simctl window-of PROCESS | wait-window PROCESS [MS] | pids IMAGE\n"
            "       simctl post PROCESS suspend|resume|endsession|endsession-cancel|tick\n"
            "       simctl device-clear | device-add-camera NAME [suspend=N|no-suspend]\n"
            "       simctl run-without-interactive COMMAND-LINE\n"
            "PROCESS is a process id or an image name such as ZN374Mon.exe\n");
    return 2;
}

int Done(int ok)
{
    if (!ok)
        fprintf(stderr, "simctl: failed\n");
    return ok ? 0 : 1;
}

int ParseNumber(const char *text, long *number)
{
    char *end = NULL;
    *number = strtol(text, &end, 0);
    return end != text && *end == '\0';
}

// Fills ids with up to maxIds running processes of that image name; returns
// how many it found.
int ProcessesNamed(const char *image, DWORD *ids, int maxIds)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int found = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more && found < maxIds; more = Process32Next(snapshot, &entry))
    {
        if (lstrcmpiA(entry.szExeFile, image) == 0)
            ids[found++] = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return found;
}

// A process id, or the first running process with that image name.
DWORD FindProcess(const char *spec)
{
    long number = 0;
    if (ParseNumber(spec, &number))
        return (DWORD)number;
    DWORD found = 0;
    ProcessesNamed(spec, &found, 1);
    return found;
}

// Every running process of that image name, one id a line; none is no failure.
int PrintProcessIds(const char *image)
{
    DWORD ids[kMaxWindows];
    int count = ProcessesNamed(image, ids, kMaxWindows);
    for (int i = 0; i < count; ++i)
        printf("%lu\n", (unsigned long)ids[i]);
    return 1;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    WindowSearch *search = (WindowSearch *)context;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && search->count < kMaxWindows)
        search->windows[search->count++] = window;
    return TRUE;
}

int FindWindows(const char *spec, WindowSearch *search)
{
    memset(search, 0, sizeof(*search));
    search->processId = FindProcess(spec);
    if (search->processId == 0)
        return 0;
    EnumWindows(CollectWindow, (LPARAM)search);
    return search->count;
}

// Each window with its class, so that a script can tell the monitor's dialog
// (#32770) from the IME window that Wine gives every GUI thread.
void PrintWindow(HWND window, const char *suffix)
{
    char className[128] = "";
    GetClassNameA(window, className, sizeof(className));
    printf("%p %s%s\n", (void *)window, className, suffix);
}

int PrintWindows(const WindowSearch *search)
{
    for (int i = 0; i < search->count; ++i)
        PrintWindow(search->windows[i], "");
    return search->count > 0;
}

int PrintDriverLog(void)
{
    FILE *log = fopen(SIM_DRIVER_LOG_PATH, "r");
    if (log == NULL)
        return 1;
    char line[512];
    while (fgets(line, sizeof(line), log) != NULL)
        fputs(line, stdout);
    fclose(log);
    return 1;
}

// What a program on this machine reads: the two bytes of the power status
// and the critical alarm level of the current policy.
int PrintPower(void)
{
    SYSTEM_POWER_STATUS status;
    memset(&status, 0, sizeof(status));
    if (GetSystemPowerStatus(&status))
        printf("ACLineStatus=%u BatteryLifePercent=%u\n", status.ACLineStatus, status.BatteryLifePercent);
    else
        printf("GetSystemPowerStatus failed, error %lu\n", GetLastError());

    GLOBAL_POWER_POLICY global;
    POWER_POLICY power;
    if (GetCurrentPowerPolicies(&global, &power))
        printf("critical=%lu\n", global.user.DischargePolicy[DISCHARGE_POLICY_CRITICAL].BatteryLevel);
    else
        printf("GetCurrentPowerPolicies failed, error %lu\n", GetLastError());
    return 1;
}

int AddCamera(int argc, char **argv)
{
    unsigned flags = 0;
    for (int i = 3; i < argc; ++i)
    {
        if (strcmp(argv[i], "reject-set") == 0)
            flags |= SimCameraRejectSet;
        else if (strcmp(argv[i], "no-property-set") == 0)
            flags |= SimCameraNoPropertySet;
        else if (strcmp(argv[i], "no-friendly-name") == 0)
            flags |= SimCameraNoFriendlyName;
        else
            return -1;
    }
    return SimAddCamera(argv[2], flags);
}

// Sent to every top-level window of the process, as the system does, and
// not posted, so that the monitor has handled the message (and the
// driver log holds its request) by the time simctl returns.
int SendToProcess(const char *spec, const char *event)
{
    UINT message = 0;
    WPARAM wParam = 0;
    if (strcmp(event, "suspend") == 0)
        message = WM_POWERBROADCAST, wParam = PBT_APMSUSPEND;
    else if (strcmp(event, "resume") == 0)
        message = WM_POWERBROADCAST, wParam = PBT_APMRESUMESUSPEND;
    else if (strcmp(event, "endsession") == 0)
        message = WM_ENDSESSION, wParam = TRUE;
    else if (strcmp(event, "endsession-cancel") == 0)
        message = WM_ENDSESSION, wParam = FALSE;
    else if (strcmp(event, "tick") == 0)
        message = WM_TIMER, wParam = 101;
    else
        return -1;

    WindowSearch search;
    if (!FindWindows(spec, &search))
        return 0;
    for (int i = 0; i < search.count; ++i)
    {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(search.windows[i], message, wParam, 0, SMTO_ABORTIFHUNG, 10000, &result))
            return 0;
        char suffix[32];
        sprintf(suffix, " %ld", (long)result);
        PrintWindow(search.windows[i], suffix);
    }
    return 1;
}

int WaitForWindow(const char *spec, const char *milliseconds)
{
    long limit = 10000;
    if (milliseconds != NULL && !ParseNumber(milliseconds, &limit))
        return -1;
    DWORD start = GetTickCount();
    WindowSearch search;
    while (!FindWindows(spec, &search))
    {
        if ((long)(GetTickCount() - start) >= limit)
            return 0;
        Sleep(50);
    }
    return PrintWindows(&search);
}

// Runs the command line as this process's user with INTERACTIVE (S-1-5-4)
// for deny only, as a service, a scheduled task or a batch log-on runs
// without it, and waits for it; 1 when it ends with exit code 0.
int RunWithoutInteractive(const char *commandLine)
{
    SID interactive = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_INTERACTIVE_RID}};
    SID_AND_ATTRIBUTES disabled = {&interactive, 0};
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    HANDLE token = NULL, restricted = NULL;
    DWORD code = 1;
    char line[1024];
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    lstrcpynA(line, commandLine, sizeof line);
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token) &&
        CreateRestrictedToken(token, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted) &&
        CreateProcessAsUserA(restricted, NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (restricted)
        CloseHandle(restricted);
    if (token)
        CloseHandle(token);
    return code == 0;
}

} // namespace

// A supported camera in the device tree; SelectiveSuspend is 1 unless told.
int AddDeviceCamera(int argc, char **argv)
{
    long suspend = 1;
    if (argc == 4 && strcmp(argv[3], "no-suspend") == 0)
        suspend = -1;
    else if (argc == 4 && (strncmp(argv[3], "suspend=", 8) != 0 ||
                           !ParseNumber(argv[3] + 8, &suspend) || suspend < 0))
        return -1;
    return SimAddSupportedCamera(argv[2], suspend);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *command = argv[1];
    long a = 0, b = 0;
    int result = -1;

    if (strcmp(command, "camera-clear") == 0 && argc == 2)
        result = SimRemoveAllCameras();
    else if (strcmp(command, "camera-add") == 0 && argc >= 3)
        result = AddCamera(argc, argv);
    else if (strcmp(command, "log") == 0 && argc == 2)
        result = PrintDriverLog();
    else if (strcmp(command, "log-clear") == 0 && argc == 2)
        result = SimClearDriverLog();
    else if (strcmp(command, "critical") == 0 && argc == 3 && ParseNumber(argv[2], &a))
        result = SimSetCriticalLevel((unsigned)a);
    else if (strcmp(command, "policy-fail") == 0 && argc == 3 && ParseNumber(argv[2], &a))
        result = SimSetPowerPoliciesFail((int)a);
    else if (strcmp(command, "battery") == 0 && argc == 4 && ParseNumber(argv[2], &a) && ParseNumber(argv[3], &b))
        result = SimSetBattery((int)a, (int)b);
    else if (strcmp(command, "power") == 0 && argc == 2)
        result = PrintPower();
    else if (strcmp(command, "window-of") == 0 && argc == 3)
    {
        WindowSearch search;
        result = FindWindows(argv[2], &search) && PrintWindows(&search);
    }
    else if (strcmp(command, "pids") == 0 && argc == 3)
        result = PrintProcessIds(argv[2]);
    else if (strcmp(command, "wait-window") == 0 && (argc == 3 || argc == 4))
        result = WaitForWindow(argv[2], argc == 4 ? argv[3] : NULL);
    else if (strcmp(command, "post") == 0 && argc == 4)
        result = SendToProcess(argv[2], argv[3]);
    else if (strcmp(command, "device-clear") == 0 && argc == 2)
        result = SimRemoveAllDevices();
    else if (strcmp(command, "device-add-camera") == 0 && (argc == 3 || argc == 4))
        result = AddDeviceCamera(argc, argv);
    else if (strcmp(command, "run-without-interactive") == 0 && argc >= 3)
        result = RunWithoutInteractive(strstr(GetCommandLineA(), command) + strlen(command) + 1);

    if (result < 0)
        return Usage();
    return Done(result);
}
