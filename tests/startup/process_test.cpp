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
const char ToolsFolder[] = "C:\\zn374 test\\Tools";

// A supported camera as the machine shows it: a device with one of the
// supported hardware IDs in the device tree, whose driver key holds the
// friendly name and SelectiveSuspend, and the capture filter of that name.
bool InstallCamera(long selectiveSuspend)
{
    return SimAddSupportedCamera(CameraName, selectiveSuspend) == 1 && SimAddCamera(CameraName, 0) == 1;
}

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

TEST_F(MonitorProcess, InstallSwitchStoresWindowsDirectoryAndFileName)
{
    ASSERT_TRUE(InstallCamera(1));
    const std::string windows = WindowsDirectory();
    struct Case
    {
        std::string exe;
        const char *tail;
        std::string expected;
        const char *uninstall;
    } cases[] = {
        {MonitorExePath(), "/i", windows + "\\ZN374Mon.exe", "/u"},
        {CopyMonitorExe(ToolsFolder, "camwatch.exe"), "-i", windows + "\\camwatch.exe", "-U"},
        {CopyMonitorExe("C:\\Program Files\\ZN Tools", "ZN374Mon.exe"), "/I", windows + "\\ZN374Mon.exe", "-u"},
        {CopyMonitorExe(ToolsFolder, "Cam Watch.exe"), "/i", "\"" + windows + "\\Cam Watch.exe\"", "/U"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.exe + " " + c.tail);
        ASSERT_FALSE(c.exe.empty()) << "copying the executable failed";
        ProgramRun *monitor = StartMonitor(c.exe, c.tail);
        ExpectRunValue(c.expected);
        ExpectUninstallEnds(*monitor, c.uninstall);
        std::string data;
        EXPECT_FALSE(ReadRunValue(&data, NULL)) << c.uninstall << " left the value: " << data;
    }
}

TEST_F(MonitorProcess, ValueThatWouldNotFitIsStoredEmpty)
{
    ASSERT_TRUE(InstallCamera(1));
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

TEST_F(MonitorProcess, InstallTwiceKeepsOneValue)
{
    ASSERT_TRUE(InstallCamera(1));
    ProgramRun *monitor = StartMonitor(MonitorExePath(), "/i -I");
    ExpectRunValue(WindowsDirectory() + "\\ZN374Mon.exe");
    ExpectUninstallEnds(*monitor);
}

TEST_F(MonitorProcess, UninstallDeletesValueAndEndsRunningMonitorWhereverInstallStands)
{
    ASSERT_TRUE(InstallCamera(1));
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
    ASSERT_TRUE(InstallCamera(1));
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

TEST_F(MonitorProcess, LongCommandLineIsReadWhole)
{
    ASSERT_TRUE(InstallCamera(1));
    // 297 + 1 + 2 = 300 characters; the switch at the very end still counts.
    const std::string tail = std::string(297, 'a') + " /i";
    ASSERT_EQ(300u, tail.size());
    ProgramRun *monitor = StartMonitor(MonitorExePath(), tail);
    EXPECT_TRUE(ReadRunValue(NULL, NULL)) << "the /i at the end of a 300-character tail was lost";
    ExpectUninstallEnds(*monitor);
}

TEST_F(MonitorProcess, UninstallWithNoMonitorEndsQuietly)
{
    ExpectQuietEnd(MonitorExePath(), "/u");
    ExpectQuietEnd(MonitorExePath(), "-u");
    EXPECT_FALSE(ReadRunValue(NULL, NULL));
}

// ---- Refusal of machines it cannot serve

TEST_F(MonitorProcess, NoSupportedCameraEndsRunAndRemovesValue)
{
    ASSERT_EQ(1, SimAddCamera(CameraName, 0)) << "a capture filter alone is not a supported camera";
    ExpectQuietEnd(MonitorExePath(), "/i");
    EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "expected the value written by /i to be removed again";
    // An autostarted run (no switch) removes the value it was started by.
    WriteRunValue(WindowsDirectory() + "\\ZN374Mon.exe");
    ExpectQuietEnd(MonitorExePath(), "");
    EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "expected the autostart value to be removed";
}

TEST_F(MonitorProcess, SelectiveSuspendOffEndsRunAndRemovesValue)
{
    ASSERT_TRUE(InstallCamera(0));
    ExpectQuietEnd(MonitorExePath(), "/i");
    EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "expected the value written by /i to be removed again";
}

TEST_F(MonitorProcess, MonitorsOnlyOnWindowsNt5)
{
    ASSERT_TRUE(InstallCamera(1));
    // Wine reports the version set for an executable's file name, so each
    // version gets a copy of its own.
    const struct
    {
        const char *version;
        bool monitors;
    } cases[] = {{"win2k", true}, {"winxp", true}, {"win2003", true},
                 {"nt40", false}, {"vista", false}, {"win7", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version);
        const std::string fileName = std::string("zn_") + c.version + ".exe";
        const std::string exe = CopyMonitorExe(ToolsFolder, fileName);
        ASSERT_FALSE(exe.empty());
        SetWineVersionFor(fileName, c.version);
        if (c.monitors) {
            ProgramRun *monitor = StartMonitor(exe, "/i");
            EXPECT_TRUE(ReadRunValue(NULL, NULL));
            ExpectUninstallEnds(*monitor);
        } else {
            ExpectQuietEnd(exe, "/i");
            EXPECT_FALSE(ReadRunValue(NULL, NULL)) << "expected the value written by /i to be removed again";
        }
        SetWineVersionFor(fileName, "");
    }
}

// ---- The monitor path

TEST_F(MonitorProcess, InstalledMonitorDeliversSuspendToDriver)
{
    ASSERT_TRUE(InstallCamera(1));
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
    ASSERT_TRUE(InstallCamera(1));
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
    ASSERT_TRUE(InstallCamera(1));
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
