// Whole runs of the real ZN374Stat.exe on the simulated machine: the verdict
// and the lines behind it for each kind of machine, its exit codes, and that
// a run leaves the machine as it found it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "build_path.h"
#include "devtree.h"
#include "driver_log.h"
#include "startup/monitor_process.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 USB Camera";
const char CameraId[] = "USB\\VID_0461&PID_4DB1&MI_00\\6&2F1C&0&0000";
const char CameraHardwareIds[] = "USB\\VID_0461&PID_4DB1&REV_0100&MI_00\0USB\\VID_0461&PID_4DB1&MI_00\0";
const char StatusFileName[] = "ZN374Stat.exe";
const DWORD RunTimeoutMs = 30000;

struct StatusRun
{
    DWORD exitCode;
    std::string output;
};

// Runs the report with its standard output in a file, as a management
// system collecting it would.
StatusRun RunStatus(const std::string &tail)
{
    StatusRun result = {0xFFFFFFFF, ""};
    char folder[MAX_PATH];
    char file[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "zns", 0, file);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE output = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    std::string commandLine =
        "\"" + BuildFilePath(ZN_STATUS_EXE_UNIX_PATH) + "\"" + (tail.empty() ? "" : " " + tail);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    ProgramRun run;
    if (output != INVALID_HANDLE_VALUE &&
        CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &run.info)) {
        result.exitCode = WaitForExitCode(run, RunTimeoutMs);
        if (result.exitCode == STILL_ACTIVE)
            TerminateProcess(run.info.hProcess, 1);
    }
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    // A system service that the run started on demand inherits the handle
    // and keeps it open, so the file is shared for writing too.
    HANDLE input = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, 0, NULL);
    char buffer[4096];
    DWORD read = 0;
    while (input != INVALID_HANDLE_VALUE && ReadFile(input, buffer, sizeof buffer, &read, NULL) && read > 0)
        result.output.append(buffer, read);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    DeleteFileA(file);
    return result;
}

// The value of the report's first line "  <name>   : <value>", or "<no line>".
std::string LineValue(const std::string &output, const std::string &name)
{
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t colon = line.find(": ");
        if (line.compare(0, 2 + name.size(), "  " + name) == 0 && colon != std::string::npos &&
            line.find_first_not_of(' ', 2 + name.size()) == colon)
            return line.substr(colon + 2);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return "<no line>";
}

std::string VerdictLine(const std::string &output)
{
    const size_t at = output.find("\nVerdict: ");
    if (at == std::string::npos)
        return "<no verdict>";
    return output.substr(at + 1, output.find_first_of("\r\n", at + 1) - at - 1);
}

// Every value and subkey below root\path, as text, for comparing before and after.
std::string DumpKey(HKEY root, const std::string &path)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return path + " <cannot open>\n";
    std::string dump = path + "\n";
    char name[256];
    BYTE data[1024];
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, NULL, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        dump += std::string(name) + "=" + std::to_string(type) + ":" +
                std::string(reinterpret_cast<char *>(data), dataSize) + "\n";
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string &subkey : subkeys)
        dump += DumpKey(root, path + "\\" + subkey);
    return dump;
}

// A supported camera outside the kit's usual shape: its class, presence and
// driver state from flags, SelectiveSuspend stored as given (type REG_NONE:
// no such value), and a capture filter of its name.
void AddCamera(unsigned flags, DWORD suspendType, const void *suspend, DWORD suspendSize)
{
    SimDevice device = {CameraId, CameraHardwareIds, sizeof CameraHardwareIds, flags};
    ASSERT_EQ(1, SimAddDevice(&device));
    ASSERT_EQ(1, SimSetDriverString(CameraId, "FriendlyName", CameraName));
    if (suspendType != REG_NONE) {
        ASSERT_EQ(1, SimSetDriverValue(CameraId, "SelectiveSuspend", suspendType, suspend, suspendSize));
    }
    ASSERT_EQ(1, SimAddCamera(CameraName, 0));
}

const unsigned ImagingCamera = SimDeviceImaging | SimDevicePresent | SimDeviceDriverLoaded;
const DWORD SuspendOn = 1;
const DWORD SuspendOff = 0;
const ULONGLONG SuspendQword = 1;

class StatusReport : public ::testing::Test
{
protected:
    void SetUp() override { Clean(); }

    void TearDown() override { Clean(); }

    // No camera, no filter, no log, no Run value, the prefix's own version.
    static void Clean()
    {
        SetWineVersionFor(StatusFileName, "");
        DeleteRunValue();
        ASSERT_EQ(1, SimRemoveAllCameras());
        ASSERT_EQ(1, SimRemoveAllDevices());
        ASSERT_EQ(1, SimClearDriverLog());
    }
};

TEST_F(StatusReport, VerdictAndItsReasonFollowTheMachine)
{
    const struct Case
    {
        const char *machine;
        void (*build)();
        DWORD exitCode;
        const char *verdict;  // part of the verdict line
        const char *lineName;
        const char *lineValue;
    } cases[] = {
        {"camera in the Imaging class",
         [] { AddCamera(ImagingCamera, REG_DWORD, &SuspendOn, 4); },
         0, "would run for camera \"ZN374 USB Camera\"; at the next log-on nothing starts (no Run value).",
         "USB walk", "not needed: the class walk found the camera"},
        {"camera found only by the USB walk",
         [] { AddCamera(SimDevicePresent | SimDeviceDriverLoaded, REG_DWORD, &SuspendOn, 4); },
         0, "would run for camera \"ZN374 USB Camera\";", "USB walk", "the class walk found no supported camera"},
        {"USB-walk camera whose driver is not loaded",
         [] { AddCamera(SimDevicePresent, REG_DWORD, &SuspendOn, 4); },
         1, "would not run: a supported camera is listed, but not with its driver loaded;",
         "USB device", CameraId},
        {"SelectiveSuspend 0",
         [] { AddCamera(ImagingCamera, REG_DWORD, &SuspendOff, 4); },
         1, "would not run: selective suspend is off in the camera's driver (SelectiveSuspend 0);",
         "SelectiveSuspend", "REG_DWORD, 4 bytes, read as 0 (0x00000000)"},
        {"no SelectiveSuspend",
         [] { AddCamera(ImagingCamera, REG_NONE, NULL, 0); },
         1, "would not run: the camera's driver has no SelectiveSuspend value;",
         "SelectiveSuspend", "missing (error 2)"},
        {"SelectiveSuspend as 8 bytes",
         [] { AddCamera(ImagingCamera, REG_QWORD, &SuspendQword, 8); },
         1, "would not run: the camera's SelectiveSuspend is not a 4-byte value (error 234);",
         "SelectiveSuspend", "REG_QWORD, 8 bytes, unreadable as the probe reads it (error 234)"},
        {"SelectiveSuspend as the string \"0\", which the probe reads as its bytes",
         [] { AddCamera(ImagingCamera, REG_SZ, "0", 2); },
         0, "would run for camera \"ZN374 USB Camera\";",
         "SelectiveSuspend", "REG_SZ, 2 bytes, read as 48 (0x00000030)"},
        {"no supported camera, only a capture filter",
         [] { ASSERT_EQ(1, SimAddCamera(CameraName, 0)); },
         1, "would not run: no supported camera is installed;", "camera", "none"},
        {"camera whose name no DirectShow device has",
         [] { ASSERT_EQ(1, SimAddSupportedCamera(CameraName, 1)); ASSERT_EQ(1, SimAddCamera("Other Camera", 0)); },
         0, "would run for camera \"ZN374 USB Camera\", but no DirectShow video input device has that "
            "name, so every event would reach nothing;",
         "video input 0", "\"Other Camera\""},
        {"camera whose filter has no property set",
         [] { ASSERT_EQ(1, SimAddSupportedCamera(CameraName, 1)); ASSERT_EQ(1, SimAddCamera(CameraName, SimCameraNoPropertySet)); },
         0, "but its capture filter offers no property set, so every event would fail;",
         "property set", "not offered (HRESULT 0x80004002)"},
        {"Windows 7",
         [] { ASSERT_EQ(1, SimAddSupportedCamera(CameraName, 1)); SetWineVersionFor(StatusFileName, "win7"); },
         1, "would not run: Windows 6.1 is not Windows NT 5.x;",
         "monitor runs on it", "no (it needs Windows NT 5.x)"},
        {"Run value naming a file that does not exist",
         [] { ASSERT_EQ(1, SimAddSupportedCamera(CameraName, 1)); WriteRunValue("C:\\nowhere\\ZN374Mon.exe"); },
         0, "at the next log-on nothing starts: the Run value names \"C:\\nowhere\\ZN374Mon.exe\", which does not exist.",
         "file", "missing (error 3)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.machine);
        Clean();
        c.build();
        const StatusRun run = RunStatus("");
        const std::string verdict = VerdictLine(run.output);
        const std::string line = LineValue(run.output, c.lineName);
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, verdict.find(c.verdict))
            << "expected in the verdict: " << c.verdict << "\ngot: " << verdict;
        EXPECT_EQ(c.lineValue, line) << "line " << c.lineName;
        if (run.exitCode != c.exitCode || verdict.find(c.verdict) == std::string::npos ||
            line != c.lineValue)
            ADD_FAILURE() << "the whole report:\n" << run.output;
    }
}

TEST_F(StatusReport, ExitCodesAndUsage)
{
    const struct
    {
        const char *tail;
        DWORD exitCode;
        const char *text;
    } cases[] = {
        {"/?", 0, "usage: ZN374Stat.exe [/?]"},
        {"-?", 0, "usage: ZN374Stat.exe [/?]"},
        {"/i", 2, "unknown argument \"/i\""},
        {"/verbose", 2, "unknown argument \"/verbose\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail);
        const StatusRun run = RunStatus(c.tail);
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(c.text)) << "got:\n" << run.output;
        EXPECT_EQ(std::string::npos, run.output.find("Verdict:")) << "a usage run reports nothing";
    }
}

TEST_F(StatusReport, ListsRunningMonitorAndLeavesMachineAsItFoundIt)
{
    ASSERT_EQ(1, SimAddSupportedCamera(CameraName, 1));
    ASSERT_EQ(1, SimAddCamera(CameraName, 0));
    // Installed where its own Run value points, so the value names a file.
    const std::string monitorExe = CopyMonitorExe(WindowsDirectory(), "ZN374Mon.exe");
    ASSERT_FALSE(monitorExe.empty());
    ProgramRun monitor;
    ASSERT_TRUE(StartProgram(monitorExe, "/i", &monitor));
    ASSERT_NE(nullptr, WaitForMonitorWindow(monitor, RunTimeoutMs));

    const char driverKeys[] = "System\\CurrentControlSet\\Control\\Class";
    const std::string runBefore = DumpKey(HKEY_LOCAL_MACHINE, RunKeyPath);
    const std::string driversBefore = DumpKey(HKEY_LOCAL_MACHINE, driverKeys);
    const StatusRun run = RunStatus("");

    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, VerdictLine(run.output).find(
        "at the next log-on \"" + monitorExe + "\" starts and decides again."))
        << VerdictLine(run.output);
    EXPECT_EQ(std::to_string(monitor.info.dwProcessId), LineValue(run.output, "process IDs"));
    EXPECT_EQ("1.0.2.0", LineValue(run.output, "file version"));
    EXPECT_EQ(runBefore, DumpKey(HKEY_LOCAL_MACHINE, RunKeyPath));
    EXPECT_EQ(driversBefore, DumpKey(HKEY_LOCAL_MACHINE, driverKeys));
    EXPECT_EQ(0u, DriverLog().size()) << "the report sent the driver a request";
    EXPECT_EQ(STILL_ACTIVE, WaitForExitCode(monitor, 0)) << "the running monitor ended";

    EXPECT_EQ(0u, RunToExit(monitorExe, "/u", RunTimeoutMs));
    EXPECT_EQ(0u, WaitForExitCode(monitor, RunTimeoutMs));
    DeleteFileA(monitorExe.c_str());
}

}  // namespace
