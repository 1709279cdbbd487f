#include "monitor_process.h"

#include <string.h>

#include "build_path.h"
#include "devtree.h"
#include "simkit.h"

const char RunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace {

const char RunValueName[] = "ZN374Mon";

struct WindowSearch
{
    DWORD processId;
    HWND found;
};

// Wine gives each GUI thread a top-level IME window too, so the monitor is
// told apart by the dialog class.
BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM lParam)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64];
    memset(className, 0x23, sizeof className);
    if (owner == search->processId && GetClassNameA(window, className, sizeof className) > 0 &&
        lstrcmpA(className, "#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

std::string MonitorExePath()
{
    return BuildFilePath(ZN_MONITOR_EXE_UNIX_PATH);
}

std::string CopyMonitorExe(const std::string &folder, const std::string &fileName)
{
    // Creates every missing level of the folder.
    for (size_t at = folder.find('\\', 3); ; at = folder.find('\\', at + 1)) {
        CreateDirectoryA(folder.substr(0, at).c_str(), NULL);
        if (at == std::string::npos)
            break;
    }
    std::string target = folder + "\\" + fileName;
    if (!CopyFileA(MonitorExePath().c_str(), target.c_str(), FALSE))
        return "";
    return target;
}

ProgramRun::ProgramRun()
{
    memset(&info, 0, sizeof info);
}

ProgramRun::~ProgramRun()
{
    if (info.hThread)
        CloseHandle(info.hThread);
    if (info.hProcess)
        CloseHandle(info.hProcess);
}

OutputFile::OutputFile()
{
    char folder[MAX_PATH];
    char file[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "zno", 0, file);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    // Shared for writing too: a system service that a run starts on demand
    // inherits the handle and keeps it open.
    handle = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         &inherited, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
}

OutputFile::~OutputFile()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

std::string OutputFile::Text() const
{
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    SetFilePointer(handle, 0, NULL, FILE_BEGIN);
    while (ReadFile(handle, buffer, sizeof buffer, &read, NULL) && read > 0)
        text.append(buffer, read);
    return text;
}

bool StartProgram(const std::string &exePath, const std::string &tail, ProgramRun *run)
{
    std::string commandLine = "\"" + exePath + "\"";
    if (!tail.empty())
        commandLine += " " + tail;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    return CreateProcessA(exePath.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL,
                          &startup, &run->info) != 0;
}

DWORD WaitForExitCode(const ProgramRun &run, DWORD timeoutMs)
{
    if (WaitForSingleObject(run.info.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0x23232323;
    if (!GetExitCodeProcess(run.info.hProcess, &code))
        return 0xFFFFFFFF;
    return code;
}

HWND WaitForMonitorWindow(const ProgramRun &run, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search = {run.info.dwProcessId, NULL};
        EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        if (WaitForSingleObject(run.info.hProcess, 0) == WAIT_OBJECT_0 ||
            GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(50);
    }
}

DWORD RunToExit(const std::string &exePath, const std::string &tail, DWORD timeoutMs)
{
    ProgramRun run;
    if (!StartProgram(exePath, tail, &run))
        return 0xFFFFFFFF;
    DWORD code = WaitForExitCode(run, timeoutMs);
    if (code == STILL_ACTIVE) {
        TerminateProcess(run.info.hProcess, 1);
        WaitForSingleObject(run.info.hProcess, 5000);
    }
    return code;
}

bool ReadRunValue(std::string *data, DWORD *type)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char buffer[1024];
    memset(buffer, 0x23, sizeof buffer);
    DWORD size = sizeof buffer - 1;
    DWORD valueType = 0xcccccccc;
    LONG result = RegQueryValueExA(key, RunValueName, NULL, &valueType,
                                   reinterpret_cast<BYTE *>(buffer), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return false;
    buffer[size] = '\0';
    if (data)
        data->assign(buffer, strnlen(buffer, size));
    if (type)
        *type = valueType;
    return true;
}

void WriteRunValue(const std::string &data)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, RunValueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
}

void DeleteRunValue()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, RunValueName);
    RegCloseKey(key);
}

void SetWineVersionFor(const std::string &exeFileName, const std::string &version)
{
    std::string path = "Software\\Wine\\AppDefaults\\" + exeFileName;
    if (version.empty()) {
        RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
        return;
    }
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE *>(version.c_str()),
                   static_cast<DWORD>(version.size() + 1));
    RegCloseKey(key);
}

std::string WindowsDirectory()
{
    char buffer[MAX_PATH];
    UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "";
    return std::string(buffer, length);
}

bool ResetMachine()
{
    DeleteRunValue();
    const bool reset = SimRemoveAllCameras() && SimRemoveAllDevices() && SimClearDriverLog() &&
                       SimSetPowerPoliciesFail(0) && SimSetCriticalLevel(5);
    return reset && (!SimBatteryAvailable() || SimSetBattery(1, 100));
}

bool AddSupportedCamera(const char *name, long selectiveSuspend, unsigned deviceFlags,
                        unsigned filterFlags)
{
    return SimAddSupportedCamera(name, selectiveSuspend, deviceFlags) && SimAddCamera(name, filterFlags);
}
