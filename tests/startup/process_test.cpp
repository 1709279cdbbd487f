// Whole runs of the real ZN374Mon.exe on the simulated machine: its switches,
// its refusal of unusable machines, and the monitor path from start to quit.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "cannot_run.h"
#include "devtree.h"
#include "driver_log.h"
#include "monitor_process.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 USB Camera";
const DWORD StartTimeoutMs = 20000;
const DWORD EndTimeoutMs = 20000;
#define TOOLS_FOLDER "C:\\zn374 test\\Tools"

class MonitorProcess : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(ResetMachine()); }

    void TearDown() override
    {
        // Whatever a test left running is told to quit the way a user would,
        // then ended by force.
        RunToExit(MonitorExePath(), "/u", EndTimeoutMs);
        for (const std::unique_ptr<ProgramRun> &run : runs_) {
            if (WaitForExitCode(*run, EndTimeoutMs) == STILL_ACTIVE)
                TerminateProcess(run->info.hProcess, 1);
        }
        runs_.clear();
        ResetMachine();
    }

    // Starts exePath with tail and waits for its hidden monitor window.
    ProgramRun *StartMonitor(const std::string &exePath, const std::string &tail, HWND *window = NULL)
    {
        runs_.push_back(std::unique_ptr<ProgramRun>(new ProgramRun));
        ProgramRun *run = runs_.back().get();
        HWND found = NULL;
        if (!StartProgram(exePath, tail, run)) {
            ADD_FAILURE() << "cannot start " << exePath << ", error " << GetLastError();
        } else {
            found = WaitForMonitorWindow(*run, StartTimeoutMs);
            EXPECT_NE(nullptr, found) << exePath << " " << tail << ": expected a monitor window, got none"
                                      << " (exit code " << WaitForExitCode(*run, 0) << ")";
            EXPECT_FALSE(found && IsWindowVisible(found)) << "the monitor window must stay hidden";
        }
        if (window)
            *window = found;
        return run;
    }

    // The Run value must be present, a REG_SZ, and hold expected.
    static void ExpectRunValue(const std::string &expected)
    {
        std::string data = "<absent>";
        DWORD type = 0xcccccccc;
        EXPECT_TRUE(ReadRunValue(&data, &type));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(expected, data);
    }

    // Runs exePath with tail and expects it to end by itself with exit code 0.
    void ExpectQuietEnd(const std::string &exePath, const std::string &tail)
    {
        EXPECT_EQ(0u, RunToExit(exePath, tail, EndTimeoutMs))
            << exePath << " " << tail << ": expected exit code 0 (259 = still running)";
    }

    // Runs the uninstall switch and expects the monitor run to end with exit code 0.
    void ExpectUninstallEnds(const ProgramRun &monitor, const char *uninstall = "/u")
    {
        ExpectQuietEnd(MonitorExePath(), uninstall);
        EXPECT_EQ(0u, WaitForExitCode(monitor, EndTimeoutMs))
            << "the monitor did not end with 0 after the quit message (259 = still running)";
    }

    std::vector<std::unique_ptr<ProgramRun>> runs_;
};

// ---- Switches

// A run from its start to its end: the machine's camera, the executable (a
// copy at that path, or the build's), the Windows version Wine reports to it
// ("": the prefix's), the command-line tail; then whether it monitors, with
// the Run value it writes (%s: the Windows directory) until the uninstall
// tail ends it, or ends at once, where a Run value is there before it, as at
// a log-on. Either way no Run value is left.
struct Start
{
    const char *behaviour;
    long selectiveSuspend;  // of the supported camera; NoCamera: a capture filter alone
    const char *copy;
    const char *version;
    std::string tail;
    const char *value;      // NULL: it ends at once
    const char *uninstall;
};

void PrintTo(const Start &start, std::ostream *out) { *out << start.behaviour; }

const long NoCamera = -2;

const Start Starts[] = {
    {"InstallSwitchStoresWindowsDirectoryAndFileName", 1, NULL, "", "/i", "%s\\ZN374Mon.exe",
     "/u"},
    {"DashSwitchesAndAnotherName", 1, TOOLS_FOLDER "\\camwatch.exe", "", "-i", "%s\\camwatch.exe",
     "-U"},
    {"CaseOfSwitchesAndTheFolderDoNotMatter", 1, "C:\\Program Files\\ZN Tools\\ZN374Mon.exe", "",
     "/I", "%s\\ZN374Mon.exe", "-u"},
    {"NameWithSpaceIsQuoted", 1, TOOLS_FOLDER "\\Cam Watch.exe", "", "/i", "\"%s\\Cam Watch.exe\"",
     "/U"},
    {"InstallTwiceKeepsOneValue", 1, NULL, "", "/i -I", "%s\\ZN374Mon.exe", "/u"},
    // 297 + 1 + 2 = 300 characters; the switch at the very end still counts.
    {"LongCommandLineIsReadWhole", 1, NULL, "", std::string(297, 'a') + " /i", "%s\\ZN374Mon.exe",
     "/u"},
    {"SelectiveSuspendOffEndsRunAndRemovesValue", 0, NULL, "", "/i", NULL, NULL},
    {"NoSupportedCameraEndsRunAndRemovesValue", NoCamera, NULL, "", "/i", NULL, NULL},
    {"AutostartWithoutSupportedCameraRemovesValue", NoCamera, NULL, "", "", NULL, NULL},
    {"UninstallWithNoMonitorEndsQuietly", 1, NULL, "", "/u", NULL, NULL},
    {"DashUninstallWithNoMonitorEndsQuietly", 1, NULL, "", "-u", NULL, NULL},
    // Wine reports the version set for an executable's file name, so each
    // version gets a copy of its own.
    {"MonitorsOnWindows2000", 1, TOOLS_FOLDER "\\zn_win2k.exe", "win2k", "/i", "%s\\zn_win2k.exe",
     "/u"},
    {"MonitorsOnWindowsXp", 1, TOOLS_FOLDER "\\zn_winxp.exe", "winxp", "/i", "%s\\zn_winxp.exe",
     "/u"},
    {"MonitorsOnWindowsServer2003", 1, TOOLS_FOLDER "\\zn_win2003.exe", "win2003", "/i",
     "%s\\zn_win2003.exe", "/u"},
    {"EndsOnWindowsNt4", 1, TOOLS_FOLDER "\\zn_nt40.exe", "nt40", "/i", NULL, NULL},
    {"EndsOnWindowsVista", 1, TOOLS_FOLDER "\\zn_vista.exe", "vista", "/i", NULL, NULL},
    {"EndsOnWindows7", 1, TOOLS_FOLDER "\\zn_win7.exe", "win7", "/i", NULL, NULL},
};

class MonitorStarts : public MonitorProcess, public ::testing::WithParamInterface<Start>
{
};

TEST_P(MonitorStarts, MonitorsOrEndsAndLeavesNoRunValue)
{
    const Start &start = GetParam();
    if (start.selectiveSuspend == NoCamera)
        ASSERT_EQ(1, SimAddCamera(CameraName, 0));
    else
        ASSERT_TRUE(AddSupportedCamera(CameraName, start.selectiveSuspend));
    const std::string copy = start.copy ? start.copy : "";
    const size_t slash = copy.rfind('\\');
    const std::string folder = copy.substr(0, slash), name = copy.substr(slash + 1);
    const std::string exe = start.copy ? CopyMonitorExe(folder, name) : MonitorExePath();
    ASSERT_FALSE(exe.empty()) << "copying the executable to " << copy << ": failed";
    const std::string fileName = exe.substr(exe.rfind('\\') + 1);
    SetWineVersionFor(fileName, start.version);
    if (start.value) {
        std::string value = start.value;
        value.replace(value.find("%s"), 2, WindowsDirectory());
        ProgramRun *monitor = StartMonitor(exe, start.tail);
        ExpectRunValue(value);
        ExpectUninstallEnds(*monitor, start.uninstall);
    } else {
        WriteRunValue(WindowsDirectory() + "\\" + fileName);
        ExpectQuietEnd(exe, start.tail);
    }
    std::string data;
    EXPECT_FALSE(ReadRunValue(&data, NULL)) << "expected no Run value at the end, got " << data;
    SetWineVersionFor(fileName, "");
}

INSTANTIATE_TEST_SUITE_P(Runs, MonitorStarts, ::testing::ValuesIn(Starts),
                         [](const ::testing::TestParamInfo<Start> &info) {
                             return std::string(info.param.behaviour);
                         });

TEST_F(MonitorProcess, ValueThatWouldNotFitIsStoredEmpty)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    const std::string windows = WindowsDirectory();
    // Windows directory, backslash and name take 259 characters plus the
    // terminator: exactly the 260-byte buffer. One more character does not fit.
    const size_t fitting = 259 - windows.size() - 1;
    for (size_t length : {fitting, fitting + 1}) {
        SCOPED_TRACE(length);
        const std::string fileName = std::string(length - 4, 'n') + ".exe";
        const std::string exe = CopyMonitorExe("C:\\t", fileName);
        ASSERT_FALSE(exe.empty()) << "cannot copy to a name of " << length << " characters";
        ProgramRun *monitor = StartMonitor(exe, "/i");
        ExpectRunValue(length == fitting ? windows + "\\" + fileName : "");
        ExpectUninstallEnds(*monitor);
        DeleteFileA(exe.c_str());
    }
}

TEST_F(MonitorProcess, UninstallDeletesValueAndEndsRunningMonitorWhereverInstallStands)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    // "/i /u" writes, then deletes and broadcasts; in "/u /i" the /i is never
    // looked at. Either way the run ends without monitoring.
    for (const char *tail : {"/i /u", "/u /i"}) {
        SCOPED_TRACE(tail);
        ProgramRun *monitor = StartMonitor(MonitorExePath(), "");
        ExpectQuietEnd(MonitorExePath(), tail);
        EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "expected no Run value";
        EXPECT_EQ(0u, WaitForExitCode(*monitor, EndTimeoutMs)) << "the running monitor did not quit";
    }
}

TEST_F(MonitorProcess, UnrecognisedTokensAreIgnored)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    ProgramRun *first = StartMonitor(MonitorExePath(), "");
    // A tab does not separate switches, and only whole tokens match.
    for (const char *tail : {"/i\t/u", "/ix", "-install", "/uninstall", "i u"}) {
        SCOPED_TRACE(tail);
        ProgramRun *run = StartMonitor(MonitorExePath(), tail);
        EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "no switch was given, yet the value was written";
        EXPECT_EQ(STILL_ACTIVE, WaitForExitCode(*first, 0)) << "no quit message was due";
        TerminateProcess(run->info.hProcess, 0);
        WaitForExitCode(*run, EndTimeoutMs);
    }
    ExpectUninstallEnds(*first);
}

// ---- The monitor path

TEST_F(MonitorProcess, InstalledMonitorDeliversSuspendToDriver)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    HWND window = NULL;
    ProgramRun *monitor = StartMonitor(MonitorExePath(), "/i", &window);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(ReadRunValue(NULL, NULL));

    SendMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_EQ(std::vector<uint32_t>({2}), DriverEvents());

    ExpectUninstallEnds(*monitor);
    EXPECT_FALSE(ReadRunValue(NULL, NULL));
}

TEST_F(MonitorProcess, BatteryDipThroughCriticalBandReachesDriver)
{
    if (!SimBatteryAvailable())
        CANNOT_RUN_HERE() << "no simulated battery here (no private mount namespace)";
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    ASSERT_EQ(1, SimSetCriticalLevel(5));
    ASSERT_EQ(1, SimSetBattery(0, 80));
    HWND window = NULL;
    ProgramRun *monitor = StartMonitor(MonitorExePath(), "/i", &window);
    ASSERT_NE(nullptr, window);

    // Each timer message is a poll, as if timer 101 had fired.
    SendMessageA(window, WM_TIMER, 101, 0);
    ASSERT_EQ(1, SimSetBattery(0, 6));
    SendMessageA(window, WM_TIMER, 101, 0);
    SendMessageA(window, WM_TIMER, 101, 0);
    ASSERT_EQ(1, SimSetBattery(0, 40));
    SendMessageA(window, WM_TIMER, 101, 0);
    EXPECT_EQ(std::vector<uint32_t>({4, 5}), DriverEvents());

    ExpectUninstallEnds(*monitor);
}

TEST_F(MonitorProcess, SessionEndReachesDriverBeforeProcessIsGone)
{
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1));
    HWND window = NULL;
    ProgramRun *monitor = StartMonitor(MonitorExePath(), "", &window);
    ASSERT_NE(nullptr, window);

    // Wine's own log-off: WM_QUERYENDSESSION and WM_ENDSESSION to every
    // top-level window, then the end of every process that is still there.
    char wineboot[MAX_PATH];
    GetSystemDirectoryA(wineboot, MAX_PATH);
    lstrcatA(wineboot, "\\wineboot.exe");
    EXPECT_EQ(0u, RunToExit(wineboot, "--end-session", 60000));
    EXPECT_NE(STILL_ACTIVE, WaitForExitCode(*monitor, EndTimeoutMs)) << "the session ended, the monitor did not";
    EXPECT_EQ(std::vector<uint32_t>({3}), DriverEvents());
}

}  // namespace
