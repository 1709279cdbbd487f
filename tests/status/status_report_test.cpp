// Whole runs of the real ZN374Stat.exe on the simulated machine: the verdict
// and the lines behind it for each kind of machine, its exit codes, and that
// a run leaves the machine as it found it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "build_path.h"
#include "devtree.h"
#include "driver_log.h"
#include "startup/monitor_process.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 USB Camera";
// The instance of the first camera that AddSupportedCamera adds.
const char CameraId[] = "USB\\VID_05CA&PID_1814&MI_00\\7&ZN374&0&0000";
const char StatusFileName[] = "ZN374Stat.exe";
const DWORD RunTimeoutMs = 30000;

struct StatusRun
{
    DWORD exitCode;
    std::string output;
};

// Runs the report with its standard output in a file, as a management
// system collecting it would.
// The command line is the report's quoted path and tail unless given; a
// console screen buffer given takes the output instead of the file.
StatusRun RunStatus(const std::string &tail, std::string commandLine = "", HANDLE console = NULL)
{
    StatusRun result = {0xFFFFFFFF, ""};
    OutputFile output;
    const std::string exe = BuildFilePath(ZN_STATUS_EXE_UNIX_PATH);
    if (commandLine.empty())
        commandLine = "\"" + exe + "\"" + (tail.empty() ? "" : " " + tail);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = console ? console : output.handle;
    startup.hStdError = startup.hStdOutput;
    ProgramRun run;
    if (output.handle != INVALID_HANDLE_VALUE &&
        CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &run.info)) {
        result.exitCode = WaitForExitCode(run, RunTimeoutMs);
        if (result.exitCode == STILL_ACTIVE)
            TerminateProcess(run.info.hProcess, 1);
    }
    result.output = output.Text();
    return result;
}

// The value of key in a /values report, or "<no key>".
std::string Value(const std::string &output, const std::string &key)
{
    const std::string start = "\n" + key + "=";
    const size_t at = ("\n" + output).find(start);
    if (at == std::string::npos)
        return "<no key>";
    const size_t end = output.find_first_of("\r\n", at + key.size() + 1);
    return output.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

// Whether a reason code is in the administrator's table of codes.
bool Documented(const std::string &code)
{
    std::ifstream file(BuildFilePath(ZN_STATUS_DOC_UNIX_PATH));
    const std::string doc((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return doc.find("| `" + code + "` |") != std::string::npos;
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

// The kit's camera with its SelectiveSuspend stored as given, and its filter.
void AddCameraWithSuspend(DWORD type, const void *suspend, DWORD size)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, -1));
    ASSERT_EQ(1, SimSetDriverValue(CameraId, "SelectiveSuspend", type, suspend, size));
}

// A supported camera device without a capture filter; true when added.
bool AddCameraDevice()
{
    return SimAddSupportedCamera(CameraName, 1) == 1;
}

const unsigned UsbOnly = SimDevicePresent | SimDeviceDriverLoaded;
const unsigned Imaging = SimDeviceImaging | UsbOnly;
const DWORD SuspendOn = 1;
const ULONGLONG SuspendQword = 1;

class StatusReport : public ::testing::Test
{
protected:
    void SetUp() override { Clean(); }

    void TearDown() override { Clean(); }

    // The machine reset, and the prefix's own version for both programs.
    static void Clean()
    {
        SetWineVersionFor(StatusFileName, "");
        SetWineVersionFor("ZN374Mon.exe", "");
        ASSERT_TRUE(ResetMachine());
    }
};

// Each row is also run against the monitor itself: the report's exit code is
// 0 exactly when ZN374Mon.exe, started there, stays running. Every reason
// code met must be in the administrator's table of codes.
TEST_F(StatusReport, VerdictAndItsReasonFollowTheMachineAndAgreeWithTheMonitor)
{
    const struct Case
    {
        const char *machine;
        void (*build)();
        DWORD exitCode;
        const char *verdict;  // part of the summary
        const char *key;
        const char *value;
        const char *code, *eventCode;  // reason.code, directshow.reason.code
    } cases[] = {
        {"camera in the Imaging class",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 1)); },
         0, "would run for camera \"ZN374 USB Camera\";",
         "search.usb_walk", "not needed: the class walk found the camera", "", ""},
        {"camera found only by the USB walk",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 1, UsbOnly)); },
         0, "would run for camera \"ZN374 USB Camera\";", "search.usb_walk",
         "run: the class walk found no supported camera", "", ""},
        {"camera found only by the USB walk while devices arrive at the report's first two lists",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 1, UsbOnly) && SimScheduleArrivals(2)); },
         0, "would run for camera \"ZN374 USB Camera\";", "search.usb_list_retries", "2", "", ""},
        {"camera found only by the USB walk while devices arrive at every list, three of each walk",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 1, UsbOnly) && SimScheduleArrivals(6)); },
         1, "would not run: the USB devices cannot be listed (CONFIGRET 0x1a);",
         "search.usb_list_retries", "2", "usb-list", "no-name"},
        {"USB-walk camera whose driver is not loaded",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 1, SimDevicePresent)); },
         1, "would not run: a supported camera is listed, but not with its driver loaded;",
         "search.0.instance", CameraId, "driver-not-loaded", "no-name"},
        {"supported IDs beyond the 260 bytes the USB walk reads, of two devices: the first is named",
         [] {
             static const std::string ids = std::string(250, 'X') + std::string(1, '\0') +
                                            "USB\\VID_0461&PID_4DB1&MI_00" + std::string(2, '\0');
             static const std::string longer = std::string(50, 'Y') + ids;
             // Listed first, by its instance ID, and the shorter list.
             SimDevice first = {"USB\\VID_0461&PID_4DB1&MI_00\\7&ZN374&0&0001", ids.data(),
                                (DWORD)ids.size(), UsbOnly};
             SimDevice device = {CameraId, longer.data(), (DWORD)longer.size(), UsbOnly};
             ASSERT_TRUE(SimAddDevice(&device) == 1 && SimAddDevice(&first) == 1);
         },
         1, "would not run: the hardware-ID list of search device 0 is 280 bytes, longer than the "
            "monitor reads, so the monitor does not find it;",
         "search.0.hardware_id.1", "USB\\VID_0461&PID_4DB1&MI_00", "ids-too-long", "no-name"},
        {"SelectiveSuspend 0",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, 0)); },
         1, "would not run: selective suspend is off in the camera's driver (SelectiveSuspend 0);",
         "camera.selective_suspend", "0", "suspend-off", ""},
        {"no SelectiveSuspend",
         [] { ASSERT_TRUE(AddSupportedCamera(CameraName, -1)); },
         1, "would not run: the camera's driver has no SelectiveSuspend value;",
         "camera.selective_suspend_read", "error 2", "no-suspend-value", ""},
        {"SelectiveSuspend as 8 bytes",
         [] { AddCameraWithSuspend(REG_QWORD, &SuspendQword, 8); },
         1, "would not run: the camera's SelectiveSuspend is not a 4-byte value (error 234);",
         "camera.selective_suspend_read", "REG_QWORD, 8 bytes, error 234", "suspend-size", ""},
        {"SelectiveSuspend as the string \"0\", which the probe reads as its bytes",
         [] { AddCameraWithSuspend(REG_SZ, "0", 2); },
         0, "would run for camera \"ZN374 USB Camera\";", "camera.selective_suspend", "48", "", ""},
        {"SelectiveSuspend of a type Windows does not define, which the probe reads as its bytes",
         [] { AddCameraWithSuspend(0x1234, &SuspendOn, 4); },
         0, "would run for camera \"ZN374 USB Camera\";", "camera.selective_suspend_read",
         "unknown type, 4 bytes", "", ""},
        {"no supported camera, only a capture filter",
         [] { ASSERT_EQ(1, SimAddCamera(CameraName, 0)); },
         1, "would not run: no supported camera is installed;", "camera.found", "no", "no-camera",
         "no-name"},
        {"another maker's device in the Imaging class",
         [] {
             static const char ids[] = "USB\\VID_1234&PID_0001\0";
             SimDevice device = {"USB\\VID_1234&PID_0001\\1", ids, sizeof ids, Imaging};
             ASSERT_EQ(1, SimAddDevice(&device));
         },
         1, "would not run: no supported camera is installed;", "search.0.supported", "no",
         "no-camera", "no-name"},
        {"a device without hardware IDs in the Imaging class",
         [] {
             SimDevice device = {"ROOT\\IMAGE\\0000", NULL, 0, Imaging};
             ASSERT_EQ(1, SimAddDevice(&device));
         },
         1, "would not run: no supported camera is installed;", "search.0.hardware_ids",
         "unreadable (CONFIGRET 0x25)", "no-camera", "no-name"},
        {"camera whose name no DirectShow device has, after a device with no name",
         [] {
             ASSERT_TRUE(AddSupportedCamera(CameraName, 1, Imaging,
                                            SimCameraNoFriendlyName));
             ASSERT_EQ(1, SimAddCamera("Other\r\nCamera", 0));
         },
         0, "would run for camera \"ZN374 USB Camera\", but no event would reach its driver: no "
            "DirectShow video input device has that name;",
         "directshow.input.1", "Other\\r\\nCamera", "", "no-device"},
        {"camera whose DirectShow name is longer than the monitor compares",
         [] { ASSERT_TRUE(AddCameraDevice() && SimAddCamera(std::string(300, 'N').c_str(), 0)); },
         0, "no DirectShow video input device has that name;", "directshow.input.0",
         "name not converted (error 122)", "", "no-device"},
        {"camera whose filter has no property set",
         [] {
             ASSERT_TRUE(AddSupportedCamera(CameraName, 1, Imaging,
                                            SimCameraNoPropertySet));
         },
         0, "but no event would reach its driver: the capture filter's property-set query fails "
            "(HRESULT 0x80004002);",
         "directshow.device", "", "", "property-set"},
        {"battery below the critical level",
         [] { ASSERT_TRUE(AddCameraDevice() && SimSetBattery(0, 6)); },
         0, "would run for camera \"ZN374 USB Camera\"", "power.battery_critical", "yes", "",
         "no-device"},
        {"battery far above the critical level",
         [] { ASSERT_TRUE(AddCameraDevice() && SimSetBattery(0, 50)); },
         0, "would run for camera \"ZN374 USB Camera\"", "power.poll_period", "120000", "",
         "no-device"},
        {"power policies that cannot be read",
         [] { ASSERT_TRUE(AddCameraDevice() && SimSetPowerPoliciesFail(1)); },
         0, "would run for camera \"ZN374 USB Camera\"", "power.readings", "failed (error 5)", "",
         "no-device"},
        {"Windows 7",
         [] {
             ASSERT_TRUE(AddCameraDevice());
             SetWineVersionFor(StatusFileName, "win7");
             SetWineVersionFor("ZN374Mon.exe", "win7");
         },
         1, "would not run: Windows 6.1 is not Windows NT 5.x;", "windows.version", "6.1.7601",
         "windows-version", "no-device"},
        {"Run value naming a file that does not exist",
         [] {
             ASSERT_TRUE(AddCameraDevice());
             WriteRunValue("C:\\nowhere\\ZN374Mon.exe");
         },
         0, "at the next log-on nothing starts: Windows finds no program that the Run value names.",
         "autostart.file_exists", "no", "", "no-device"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.machine);
        Clean();
        c.build();
        const StatusRun run = RunStatus("/values");
        const std::string summary = Value(run.output, "summary");
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_EQ(c.exitCode ? "does-not-run" : "runs", Value(run.output, "verdict"));
        EXPECT_NE(std::string::npos, summary.find(c.verdict))
            << "expected in the summary: " << c.verdict << "\ngot: " << summary;
        EXPECT_EQ(c.value, Value(run.output, c.key)) << "key " << c.key;
        const std::pair<const char *, const char *> codes[] = {{"reason.code", c.code},
                                                               {"directshow.reason.code", c.eventCode}};
        for (const auto &code : codes) {
            const std::string got = Value(run.output, code.first);
            EXPECT_EQ(code.second, got) << "key " << code.first;
            EXPECT_TRUE(got.empty() || Documented(got))
                << code.first << "=" << got << " is not in the table of codes in " << ZN_STATUS_DOC_UNIX_PATH;
        }
        if (HasFailure())
            ADD_FAILURE() << "the whole report:\n" << run.output;

        ProgramRun monitor;
        ASSERT_TRUE(StartProgram(MonitorExePath(), "", &monitor));
        if (c.exitCode == 0) {
            EXPECT_NE(nullptr, WaitForMonitorWindow(monitor, RunTimeoutMs)) << "the monitor did not stay";
            EXPECT_EQ(0u, RunToExit(MonitorExePath(), "/u", RunTimeoutMs));
        }
        EXPECT_EQ(0u, WaitForExitCode(monitor, RunTimeoutMs)) << "the monitor's end";
    }
}

// Runs a shell command in the prefix's dosdevices (its drive letters and
// shares): Wine runs a Unix program as a process, but does not wait for it.
void InDosDevices(const std::string &command)
{
    const std::string folder = std::string(getenv("WINEPREFIX")) + "/dosdevices";
    RunToExit("Z:\\bin\\sh", "-c \"cd " + folder + " && " + command + " && touch done\"", RunTimeoutMs);
    for (int tries = 0; tries < 100 && !DeleteFileA(("Z:" + folder + "/done").c_str()); tries++)
        Sleep(50);
}

// What the next log-on does, read as Windows reads the Run value.
TEST_F(StatusReport, AutostartIsReadAsWindowsRunsIt)
{
    const std::string windows = WindowsDirectory();
    const std::string installed = CopyMonitorExe(windows, "ZN374Mon.exe");
    ASSERT_FALSE(installed.empty());
    // Another file of the name in system32, which the shell looks in after its
    // own folder, the Windows directory; and another name of the installed file.
    const std::string other = CopyMonitorExe(windows + "\\system32", "ZN374Mon.exe");
    const std::string link = windows + "\\ZN374Link.exe";
    ASSERT_TRUE(!other.empty() && CreateHardLinkA(link.c_str(), installed.c_str(), NULL));
    // A second drive letter for the Windows directory, as subst makes one; made
    // while Wine runs, it names no device (QueryDosDevice fails for it). And
    // the directory shared as \\server\zn374.
    InDosDevices("ln -sfn ../drive_c/windows m: && mkdir -p unc/server && "
                 "ln -sfn ../../../drive_c/windows unc/server/zn374");
    const DWORD number = 1;
    const char tooLong[] = "unreadable (error 206)";
    const std::string share = "\\\\server\\zn374\\ZN374Mon.exe";
    const struct
    {
        DWORD type;
        std::string data;
        const char *exists;
        const char *startsMonitor;
        std::string file;
    } cases[] = {
        {REG_SZ, "\"" + installed + "\"", "yes", "yes", installed},
        {REG_SZ, installed + " /i", "yes", "yes", installed},
        {REG_SZ, installed + " /i -U", "yes", "no", installed},
        {REG_EXPAND_SZ, "%SystemRoot%\\ZN374Mon.exe", "yes", "yes", installed},
        {REG_SZ, "ZN374Mon", "yes", "yes", installed},
        {REG_SZ, link, "yes", "yes", link},
        {REG_SZ, MonitorExePath(), "yes", "no", MonitorExePath()},  // a copy on another drive
        {REG_SZ, "M:\\ZN374Mon.exe", "yes", "yes", "M:\\ZN374Mon.exe"},
        {REG_SZ, share, "yes", "yes", share},
        {REG_SZ, "\\\\?\\" + installed, "yes", "yes", "\\\\?\\" + installed},
        {REG_SZ, "\"\" " + installed, "no", "no", ""},  // the program's name is the quoted one
        // Beyond MAX_PATH, which the ANSI calls take: ERROR_FILENAME_EXCED_RANGE, not "no file".
        {REG_SZ, "C:\\" + std::string(300, 'x') + ".exe", tooLong, tooLong, ""},
        {REG_SZ, windows + "\\notepad.exe /x", "yes", "no", windows + "\\notepad.exe"},
        {REG_SZ, windows, "no", "no", ""},
        {REG_DWORD, std::string(reinterpret_cast<const char *>(&number), 4), "no", "no", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        HKEY key = NULL;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, KEY_SET_VALUE, &key));
        RegSetValueExA(key, "ZN374Mon", 0, c.type, reinterpret_cast<const BYTE *>(c.data.c_str()),
                       (DWORD)c.data.size() + (c.type == REG_DWORD ? 0 : 1));
        RegCloseKey(key);
        const StatusRun run = RunStatus("/values");
        EXPECT_EQ(c.exists, Value(run.output, "autostart.file_exists"));
        EXPECT_EQ(c.startsMonitor, Value(run.output, "autostart.starts_monitor"));
        EXPECT_EQ(0, lstrcmpiA(c.file.c_str(), Value(run.output, "autostart.file").c_str()))
            << Value(run.output, "autostart.file");
    }
    InDosDevices("rm -r m: unc");
    DeleteFileA(link.c_str());
    DeleteFileA(other.c_str());
    DeleteFileA(installed.c_str());
    // A program without resources (this test's own) has no version block:
    // ERROR_RESOURCE_DATA_NOT_FOUND.
    char self[MAX_PATH];
    WriteRunValue("\"" + std::string(self, GetModuleFileNameA(NULL, self, MAX_PATH)) + "\"");
    StatusRun run = RunStatus("/values");
    EXPECT_EQ("yes,unreadable (error 1812)",
              Value(run.output, "autostart.file_exists") + "," + Value(run.output, "autostart.file_version"));
    // No Run key at all, as a removal can leave a machine: no value either.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, RunKeyPath));
    run = RunStatus("/values");
    HKEY key = NULL;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, NULL, 0, KEY_READ, NULL, &key, NULL);
    RegCloseKey(key);
    EXPECT_EQ("error 2", Value(run.output, "autostart.read"));
    EXPECT_NE(std::string::npos, Value(run.output, "summary").find("at the next log-on nothing starts (no Run value)."))
        << run.output;
}

// "Do not process the legacy run list", the machine's or the user's, stops
// the Run value that would start the monitor, each with its documented code.
TEST_F(StatusReport, RunListPolicyStopsTheMonitorsStart)
{
    const std::string installed = CopyMonitorExe(WindowsDirectory(), "ZN374Mon.exe");
    WriteRunValue(installed);
    const char policies[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
    const struct
    {
        HKEY root;
        DWORD value, type, size;
        const char *startsMonitor, *code;
    } cases[] = {{HKEY_LOCAL_MACHINE, 1, REG_DWORD, 4, "no", "policy-machine"},
                 {HKEY_CURRENT_USER, 1, REG_DWORD, 4, "no", "policy-user"},
                 {HKEY_LOCAL_MACHINE, 0, REG_DWORD, 4, "yes", ""},
                 // No REG_DWORD of 4 bytes does not count.
                 {HKEY_LOCAL_MACHINE, 1, REG_BINARY, 4, "yes", ""},
                 {HKEY_LOCAL_MACHINE, 1, REG_DWORD, 2, "yes", ""}};
    for (const auto &c : cases) {
        HKEY key = NULL;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(c.root, policies, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
        RegSetValueExA(key, "DisableLocalMachineRun", 0, c.type, reinterpret_cast<const BYTE *>(&c.value), c.size);
        const StatusRun run = RunStatus("/values");
        RegDeleteValueA(key, "DisableLocalMachineRun");
        RegCloseKey(key);
        EXPECT_EQ(std::string(c.startsMonitor) + " " + c.code,
                  Value(run.output, "autostart.starts_monitor") + " " + Value(run.output, "autostart.reason.code"))
            << run.output;
        EXPECT_TRUE(!*c.code || Documented(c.code)) << c.code;
    }
    DeleteFileA(installed.c_str());
}

// Text read from the machine cannot add a line or a second verdict, and is
// printed whole, however long.
TEST_F(StatusReport, UntrustedTextIsEscapedAndOneVerdictIsPrinted)
{
    const std::string longTail(1500, 'x');  // several times what is written at once
    WriteRunValue("C:\\x.exe\r\nVerdict: forged\x1b[2J\x7f" + longTail);
    const std::string shown = "C:\\x.exe\\r\\nVerdict: forged\\x1b[2J\\x7f" + longTail;
    const StatusRun prose = RunStatus("");
    const StatusRun values = RunStatus("/values");
    const size_t verdict = prose.output.find("\nVerdict:");
    EXPECT_TRUE(verdict != std::string::npos && verdict == prose.output.rfind("\nVerdict:"))
        << prose.output;
    EXPECT_NE(std::string::npos, prose.output.find(shown + "\r\n"));
    EXPECT_EQ(shown, Value(values.output, "autostart.value"));
    EXPECT_EQ(std::string::npos, values.output.find('\x1b'));
}

// In a console, text read in the ANSI code page shows as read: the report
// writes it as UTF-16, never as bytes that the console would read in its own
// (OEM) code page.
TEST_F(StatusReport, ConsoleShowsTextAsRead)
{
    // A console of the test's own: the one Wine starts the tests with makes
    // no screen buffers.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE console = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inherit, CONSOLE_TEXTMODE_BUFFER, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, console);
    SetConsoleScreenBufferSize(console, COORD{200, 200});
    // The euro sign in Windows-1252, another letter in OEM code pages. In a
    // double-byte code page (wine.status_report_double_byte), a run of
    // characters longer than the report writes at once, one byte off a run:
    // each goes whole; U+3041 is 0x82 0x9F in code page 932, a lead byte twice.
    const std::wstring run(600, L'\x3041');
    const std::wstring wide = GetACP() == 932 ? L"C:\\" + run + L"x" + run : L"C:\\caf\x20ac.exe";
    std::string value(2 * wide.size(), '\0');
    value.resize(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &value[0], (int)value.size(), NULL, NULL));
    WriteRunValue(value.c_str());
    RunStatus("", "", console);
    std::wstring shown(200 * 200, L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(console, &shown[0], 200 * 200, COORD{0, 0}, &read);
    CloseHandle(console);
    EXPECT_NE(std::wstring::npos, shown.find(wide)) << "expected the Run value " << value << " in the console";
}

TEST_F(StatusReport, ExitCodesAndUsage)
{
    const struct
    {
        const char *tail;
        DWORD exitCode;
        const char *text;
    } cases[] = {
        {"/?", 0, "usage: ZN374Stat.exe [/values] [/?]"},
        {"-? ", 0, "usage: ZN374Stat.exe [/values] [/?]"},
        {"/values /?", 0, "usage: ZN374Stat.exe [/values] [/?]"},
        {"/i", 2, "unknown argument"},
        {"/verbose", 2, "unknown argument"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail);
        const StatusRun run = RunStatus(c.tail);
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(c.text)) << "got:\n" << run.output;
        EXPECT_EQ(std::string::npos, run.output.find("Verdict:")) << "a usage run reports nothing";
    }
    // Started from a folder with a space, unquoted: the rest of the path is no switch.
    const std::string folder = WindowsDirectory() + "\\ZN374 Stat";
    CreateDirectoryA(folder.c_str(), NULL);
    ASSERT_TRUE(CopyFileA(BuildFilePath(ZN_STATUS_EXE_UNIX_PATH).c_str(), (folder + "\\ZN374Stat.exe").c_str(), FALSE));
    const StatusRun unquoted = RunStatus("", folder + "\\ZN374Stat.exe /?");
    EXPECT_EQ(0u, unquoted.exitCode) << unquoted.output;
    DeleteFileA((folder + "\\ZN374Stat.exe").c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST_F(StatusReport, ListsRunningMonitorsAndLeavesMachineAsItFoundIt)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    // Installed where its own Run value points, so the value names a file, and
    // run under another name (a hard link): a monitor all the same.
    const std::string monitorExe = CopyMonitorExe(WindowsDirectory(), "ZN374Mon.exe");
    const std::string link = WindowsDirectory() + "\\ZN374Link.exe";
    ASSERT_TRUE(!monitorExe.empty() && CreateHardLinkA(link.c_str(), monitorExe.c_str(), NULL));
    ProgramRun monitor;
    ASSERT_TRUE(StartProgram(link, "/i", &monitor));
    ASSERT_NE(nullptr, WaitForMonitorWindow(monitor, RunTimeoutMs));
    // And a copy on a share, off the installed file's volume: not the installed
    // one. (Wine names an image by the spelling that first mapped its file, so
    // a share that leads to the installed file would show the installed name.)
    InDosDevices("mkdir -p unc/server/zn374 && cp ../drive_c/windows/ZN374Mon.exe unc/server/zn374");
    ProgramRun other;
    ASSERT_TRUE(StartProgram("\\\\server\\zn374\\ZN374Mon.exe", "", &other));
    ASSERT_NE(nullptr, WaitForMonitorWindow(other, RunTimeoutMs));

    const char driverKeys[] = "System\\CurrentControlSet\\Control\\Class";
    const std::string runBefore = DumpKey(HKEY_LOCAL_MACHINE, RunKeyPath);
    const std::string driversBefore = DumpKey(HKEY_LOCAL_MACHINE, driverKeys);
    const StatusRun run = RunStatus("/values");

    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, Value(run.output, "summary").find(
        "at the next log-on the installed monitor starts and decides again."))
        << run.output;
    EXPECT_EQ(std::to_string(monitor.info.dwProcessId) + " " + std::to_string(other.info.dwProcessId),
              Value(run.output, "monitors"));
    EXPECT_EQ(0, lstrcmpiA(link.c_str(), Value(run.output, "monitors.0.image").c_str())) << run.output;
    EXPECT_EQ("yes no", Value(run.output, "monitors.0.installed") + " " + Value(run.output, "monitors.1.installed"));
    EXPECT_EQ("1.0.2.0", Value(run.output, "autostart.file_version"));
    EXPECT_EQ(runBefore, DumpKey(HKEY_LOCAL_MACHINE, RunKeyPath));
    EXPECT_EQ(driversBefore, DumpKey(HKEY_LOCAL_MACHINE, driverKeys));
    EXPECT_EQ(0u, DriverLog().size()) << "the report sent the driver a request";
    EXPECT_EQ(STILL_ACTIVE, WaitForExitCode(monitor, 0)) << "the running monitor ended";

    EXPECT_EQ(0u, RunToExit(monitorExe, "/u", RunTimeoutMs));
    EXPECT_EQ(0u, WaitForExitCode(monitor, RunTimeoutMs));
    EXPECT_EQ(0u, WaitForExitCode(other, RunTimeoutMs));
    InDosDevices("rm -r unc");
    DeleteFileA(link.c_str());
    DeleteFileA(monitorExe.c_str());
}

}  // namespace
