// The monitor window on the simulated machine: RunMonitor owns a test thread
// with its window and message loop, and the test drives it with messages.
#include <gtest/gtest.h>

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cannot_run.h"
#include "driver_log.h"
#include "import_table.h"
#include "monitor/monitor.h"
#include "native/battery_rows.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN Test Camera";
const DWORD LoopEndWait = 10000;  // ms; a bound for a hang, not a timing claim

UINT QuitMessage()
{
    char name[TextBufferSize];
    BuildQuitMessageName(name);
    return RegisterWindowMessageA(name);
}

DWORD WINAPI MonitorThread(void *context)
{
    RunMonitor(GetModuleHandleA(NULL), (MonitorContext *)context);
    return 0;
}

BOOL CALLBACK FindDialog(HWND window, LPARAM found)
{
    char className[16];
    if (GetClassNameA(window, className, sizeof className) && strcmp(className, "#32770") == 0) {
        *(HWND *)found = window;
        return FALSE;
    }
    return TRUE;
}

// The monitor is linked into this executable, so its SetTimer and KillTimer
// calls go through this executable's import table. Those entries are swapped
// for recorders that pass every call on; each SetTimer is recorded with how
// many requests the driver had logged by then, which shows the order of a
// re-arm and a send.
std::mutex g_TimerCallsLock;
std::vector<std::string> g_TimerCalls;
decltype(&SetTimer) g_SetTimer;
decltype(&KillTimer) g_KillTimer;

std::string SetTimerCall(HWND window, UINT_PTR id, UINT period, int logged)
{
    char text[96];
    snprintf(text, sizeof text, "SetTimer(%p, %u, %u) after %d requests", (void *)window,
             (unsigned)id, period, logged);
    return text;
}

std::string KillTimerCall(HWND window, UINT_PTR id)
{
    char text[64];
    snprintf(text, sizeof text, "KillTimer(%p, %u)", (void *)window, (unsigned)id);
    return text;
}

UINT_PTR WINAPI RecordSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure)
{
    std::string call = SetTimerCall(window, id, period, SimReadDriverLog(NULL, 0));
    std::lock_guard<std::mutex> lock(g_TimerCallsLock);
    g_TimerCalls.push_back(call);
    return g_SetTimer(window, id, period, procedure);
}

BOOL WINAPI RecordKillTimer(HWND window, UINT_PTR id)
{
    std::lock_guard<std::mutex> lock(g_TimerCallsLock);
    g_TimerCalls.push_back(KillTimerCall(window, id));
    return g_KillTimer(window, id);
}

// Every timer call since the last take.
std::vector<std::string> TakeTimerCalls()
{
    std::lock_guard<std::mutex> lock(g_TimerCallsLock);
    return std::move(g_TimerCalls);
}

// Points this executable's import of user32!name at replacement; returns the
// function it imported before, or NULL when there is no such import.
void *ReplaceUser32Import(const char *name, void *replacement)
{
    void *imported = NULL;
    ForEachImport((BYTE *)GetModuleHandleA(NULL), [&](const char *dll, const char *function, ULONG_PTR *slot) {
        if (lstrcmpiA(dll, "user32.dll") == 0 && strcmp(function, name) == 0)
            imported = SwapImport(slot, replacement);
    });
    return imported;
}

int g_RegistrationsRefused;

UINT WINAPI RefuseRegistration(LPCSTR)
{
    g_RegistrationsRefused++;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

// Defined first, so that it runs before anything registers the quit message:
// a registration that fails leaves no identifier, and WM_NULL (0) must not
// pass for the quit then.
TEST(MonitorQuitMessage, FailedRegistrationDoesNotTakeNullMessageForQuit)
{
    HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    ASSERT_NE(nullptr, window);
    void *registered = ReplaceUser32Import("RegisterWindowMessageA", (void *)RefuseRegistration);
    ASSERT_NE(nullptr, registered) << "nothing imports user32!RegisterWindowMessageA";
    const INT_PTR answer = MonitorDialogProc(window, WM_NULL, 0, 0);
    ReplaceUser32Import("RegisterWindowMessageA", registered);
    EXPECT_EQ(1, g_RegistrationsRefused) << "expected one registration, refused; it was registered earlier";
    EXPECT_EQ(0, answer) << "expected WM_NULL left to the dialog manager";
    EXPECT_TRUE(IsWindow(window)) << "expected the window alive, got it destroyed as if told to quit";
    DestroyWindow(window);
}

class MonitorWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SimRemoveAllCameras());
        ASSERT_EQ(1, SimAddCamera(CameraName, 0));
        ASSERT_EQ(1, SimClearDriverLog());
        ASSERT_EQ(1, SimSetPowerPoliciesFail(0));
        memset(&context, 0, sizeof context);
        lstrcpynA(context.friendlyName, CameraName, TextBufferSize);
        Start();
    }

    void TearDown() override
    {
        if (!thread)
            return;
        if (IsWindow(window))
            PostMessageA(window, QuitMessage(), 0, 0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, LoopEndWait));
        CloseHandle(thread);
        thread = NULL;
    }

    void Start()
    {
        DWORD threadId = 0;
        thread = CreateThread(NULL, 0, MonitorThread, &context, 0, &threadId);
        ASSERT_NE(nullptr, thread);
        // The window appears once the thread has run CreateDialogParamA.
        for (int i = 0; i < 1000 && !window; i++) {
            EnumThreadWindows(threadId, FindDialog, (LPARAM)&window);
            if (!window)
                Sleep(10);
        }
        ASSERT_NE(nullptr, window) << "the monitor window never appeared";
        // The window is listed as soon as it exists, before WM_INITDIALOG has
        // stored the context; tests that call the procedure directly need it.
        for (int i = 0; i < 1000 && !GetWindowLongPtrA(window, DWLP_USER); i++)
            Sleep(10);
        ASSERT_NE(0, GetWindowLongPtrA(window, DWLP_USER)) << "WM_INITDIALOG never stored the context";
    }

    // True when RunMonitor has returned.
    bool LoopEnded() { return WaitForSingleObject(thread, LoopEndWait) == WAIT_OBJECT_0; }

    void Tick() { SendMessageA(window, WM_TIMER, 101, 0); }

    MonitorContext context;
    HANDLE thread = NULL;
    HWND window = NULL;
};

TEST_F(MonitorWindow, StaysHiddenWithoutOwner)
{
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(nullptr, GetWindow(window, GW_OWNER));
}

// A suspend reaches the driver as 2, every session end as 3 whatever its
// wParam, and the procedure answers with the send's result.
TEST_F(MonitorWindow, SuspendAndSessionEndReachDriverAndReturnTheSendResult)
{
    EXPECT_EQ(1, MonitorDialogProc(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0));
    EXPECT_EQ(1, MonitorDialogProc(window, WM_ENDSESSION, TRUE, 0));
    ASSERT_EQ(1, SimRemoveAllCameras());
    ASSERT_EQ(1, SimAddCamera(CameraName, SimCameraRejectSet));
    EXPECT_EQ(0, MonitorDialogProc(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0));
    EXPECT_EQ(0, MonitorDialogProc(window, WM_ENDSESSION, FALSE, 0));
    EXPECT_EQ(std::vector<uint32_t>({2, 3, 2, 3}), DriverEvents());
    EXPECT_TRUE(IsWindow(window)) << "a session end is no quit";
}

TEST_F(MonitorWindow, OtherPowerEventsAndMessagesSendNothingAndLeaveWindowRunning)
{
    const UINT unrelated = RegisterWindowMessageA("ZN374-Another Message");
    const std::pair<UINT, WPARAM> messages[] = {
        {WM_POWERBROADCAST, PBT_APMQUERYSUSPEND},      {WM_POWERBROADCAST, PBT_APMRESUMESUSPEND},
        {WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE}, {WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC},
        {WM_POWERBROADCAST, PBT_APMBATTERYLOW},        {unrelated, 0}, {WM_NULL, 0}};
    for (const auto &m : messages) {
        SendMessageA(window, m.first, m.second, 0);
        EXPECT_EQ(0, MonitorDialogProc(window, m.first, m.second, 0))
            << "message 0x" << std::hex << m.first << ", wParam " << m.second;
    }
    EXPECT_EQ(std::vector<uint32_t>(), DriverEvents());
    EXPECT_TRUE(IsWindow(window));
}

// Posted messages are taken in order: the suspend behind the thread's own
// message is handled only if the loop ran on past it.
TEST_F(MonitorWindow, MessageForNoWindowIsPassedOverAndLoopRunsOn)
{
    ASSERT_TRUE(PostThreadMessageA(GetWindowThreadProcessId(window, NULL), WM_APP, 0, 0));
    PostMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    PostMessageA(window, QuitMessage(), 0, 0);
    EXPECT_TRUE(LoopEnded()) << "RunMonitor did not return";
    EXPECT_EQ(std::vector<uint32_t>({2}), DriverEvents());
}

TEST_F(MonitorWindow, PostedQuitMessageEndsLoop)
{
    PostMessageA(window, QuitMessage(), 0, 0);
    EXPECT_TRUE(LoopEnded()) << "RunMonitor did not return";
    EXPECT_FALSE(IsWindow(window));
    Tick();  // nothing is left to take it
    EXPECT_EQ(std::vector<uint32_t>(), DriverEvents());
}

TEST_F(MonitorWindow, BroadcastQuitMessageEndsLoop)
{
    DWORD recipients = BSM_APPLICATIONS;
    EXPECT_GT(BroadcastSystemMessageA(BSF_POSTMESSAGE, &recipients, QuitMessage(), 0, 0), 0);
    EXPECT_TRUE(LoopEnded()) << "RunMonitor did not return";
    EXPECT_FALSE(IsWindow(window));
}

TEST(MonitorStart, MissingTemplateReturnsAtOnce)
{
    MonitorContext context;
    memset(&context, 0, sizeof context);
    struct Run
    {
        static DWORD WINAPI WithoutTemplate(void *context)
        {
            RunMonitor(GetModuleHandleA("kernel32.dll"), (MonitorContext *)context);
            return 0;
        }
    };
    HANDLE thread = CreateThread(NULL, 0, Run::WithoutTemplate, &context, 0, NULL);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, LoopEndWait)) << "RunMonitor did not return";
    CloseHandle(thread);
}

// The battery poll, forced with WM_TIMER. The engaged flag lives for the whole
// process, so every test ends by ticking the band back to leave.
class MonitorBattery : public MonitorWindow
{
protected:
    void SetUp() override
    {
        if (!SimBatteryAvailable())
            CANNOT_RUN_HERE() << "no simulated battery: the private mount namespace is not permitted here";
        ASSERT_EQ(0u, g_LowBatteryEngaged) << "an earlier test left the band engaged";
        if (!g_SetTimer && !g_KillTimer) {
            g_SetTimer = (decltype(g_SetTimer))ReplaceUser32Import("SetTimer", (void *)RecordSetTimer);
            g_KillTimer = (decltype(g_KillTimer))ReplaceUser32Import("KillTimer", (void *)RecordKillTimer);
        }
        // The monitor's code is the only caller of these in this executable.
        ASSERT_NE(nullptr, g_SetTimer) << "nothing imports user32!SetTimer: the monitor never arms its timer";
        ASSERT_NE(nullptr, g_KillTimer) << "nothing imports user32!KillTimer: the monitor never kills its timer";
        TakeTimerCalls();
        MonitorWindow::SetUp();
    }

    void TearDown() override
    {
        if (thread) {
            SimSetPowerPoliciesFail(0);
            Set(1, 100, 5);
            Tick();
            EXPECT_EQ(0u, g_LowBatteryEngaged);
        }
        MonitorWindow::TearDown();
        if (SimBatteryAvailable())
            SimSetBattery(1, 100);
    }

    void Set(int acLineStatus, int percent, unsigned level)
    {
        ASSERT_EQ(1, SimSetCriticalLevel(level));
        ASSERT_EQ(1, SimSetBattery(acLineStatus, percent));
    }
};

TEST_F(MonitorBattery, TimerFollowsTheRuleAndBandIsCrossedOnceEachWay)
{
    SendMessageA(window, WM_NULL, 0, 0);  // returns once WM_INITDIALOG has
    EXPECT_EQ(std::vector<std::string>({SetTimerCall(window, 101, 20000, 0)}), TakeTimerCalls());

    uint32_t engaged = 0;
    std::vector<uint32_t> expected;

    for (const BatteryRow &step : BatteryRows) {
        SCOPED_TRACE(::testing::Message() << "AC " << step.acLineStatus << ", P " << step.percent
                                          << ", L " << step.level);
        Set(step.acLineStatus, step.percent, step.level);
        const int before = (int)expected.size();
        for (int tick = 0; tick < 3; tick++)
            Tick();
        if (step.engage != engaged)
            expected.push_back(step.engage ? 4 : 5);
        engaged = step.engage;
        EXPECT_EQ(expected, DriverEvents());
        EXPECT_EQ(engaged, g_LowBatteryEngaged);
        EXPECT_EQ(step.acLineStatus, g_PowerSnapshot.acLineStatus);
        EXPECT_EQ(step.percent, g_PowerSnapshot.batteryPercent);
        EXPECT_EQ(step.level, g_PowerSnapshot.criticalLevel);
        // The first tick re-arms before it leaves the band.
        std::vector<std::string> calls;
        for (int logged : {before, (int)expected.size(), (int)expected.size()})
            if (step.period)
                calls.push_back(SetTimerCall(window, 101, step.period, logged));
        EXPECT_EQ(calls, TakeTimerCalls());
    }

    PostMessageA(window, QuitMessage(), 0, 0);
    EXPECT_TRUE(LoopEnded()) << "RunMonitor did not return";
    EXPECT_EQ(std::vector<std::string>({KillTimerCall(window, 101)}), TakeTimerCalls());
}

TEST_F(MonitorBattery, EngagedFlagChangesEvenWhenDriverRejects)
{
    ASSERT_EQ(1, SimRemoveAllCameras());
    ASSERT_EQ(1, SimAddCamera(CameraName, SimCameraRejectSet));
    Set(0, 5, 5);
    Tick();
    Tick();
    EXPECT_EQ(1u, g_LowBatteryEngaged);
    Set(0, 50, 5);
    Tick();
    Tick();
    EXPECT_EQ(0u, g_LowBatteryEngaged);
    EXPECT_EQ(std::vector<uint32_t>({4, 5}), DriverEvents());
}

TEST_F(MonitorBattery, FailedPowerReadingGivesNoEvent)
{
    Set(0, 5, 5);
    ASSERT_EQ(1, SimSetPowerPoliciesFail(1));
    EXPECT_EQ(0, RefreshPowerState());
    Tick();
    Tick();
    EXPECT_EQ(std::vector<uint32_t>(), DriverEvents());
    EXPECT_EQ(0u, g_LowBatteryEngaged);

    ASSERT_EQ(1, SimSetPowerPoliciesFail(0));
    EXPECT_EQ(1, RefreshPowerState());
    Tick();
    EXPECT_EQ(std::vector<uint32_t>({4}), DriverEvents());

    // A failed reading in the band does not leave it either.
    ASSERT_EQ(1, SimSetBattery(0, 100));
    ASSERT_EQ(1, SimSetPowerPoliciesFail(1));
    Tick();
    EXPECT_EQ(1u, g_LowBatteryEngaged);
    EXPECT_EQ(std::vector<uint32_t>({4}), DriverEvents());
}

}  // namespace
