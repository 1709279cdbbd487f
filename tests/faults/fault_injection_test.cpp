// Every platform call the real ZN374Mon.exe makes, failed once in a run of its
// own. A clean run of the scenario (start-up with /i, a suspend, a session end,
// a battery tick that engages the critical band and one that leaves it, then
// /u) is traced first; then each call it made is failed with each failure the
// platform documents for it, and every run is checked for its outcome and for
// what the processes held when they ended.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "build_path.h"
#include "devtree.h"
#include "driver_log.h"
#include "fault_control.h"
#include "startup/monitor_process.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 Fault Camera";
const char CameraInstance[] = "USB\\VID_0461&PID_4DB1&MI_00\\6&2F1C&0&0000";
const char CameraHardwareIds[] = "USB\\VID_0461&PID_4DB1&REV_0100&MI_00\0USB\\VID_0461&PID_4DB1&MI_00\0";
const char OtherInstance[] = "ROOT\\IMAGE\\0000";
const char OtherHardwareIds[] = "ROOT\\OTHER_SCANNER\0";
const char StaleRunValue[] = "stale";
const char Absent[] = "<absent>";
const DWORD WaitMs = 10000;

enum Process { Monitor = 0, Uninstall = 1 };

// One failure: the callth call of function in that process, given failure variant.
struct Fault
{
    Process process;
    FaultFunction function;
    LONG call;
    LONG variant;
};

const Fault NoFault = {Monitor, FaultFunctionCount, 0, 0};

// A process started suspended with the probe loaded before its first instruction.
struct ProbedProcess
{
    PROCESS_INFORMATION info = {};
    HANDLE mapping = NULL;
    FaultControl *control = NULL;

    ~ProbedProcess()
    {
        if (info.hProcess && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 1);
        if (control)
            UnmapViewOfFile(control);
        if (mapping)
            CloseHandle(mapping);
        if (info.hThread)
            CloseHandle(info.hThread);
        if (info.hProcess)
            CloseHandle(info.hProcess);
    }
};

bool LoadProbe(HANDLE process)
{
    const std::string path = BuildFilePath(ZN_FAULT_PROBE_UNIX_PATH);
    void *remote = VirtualAllocEx(process, NULL, path.size() + 1, MEM_COMMIT, PAGE_READWRITE);
    if (!remote || !WriteProcessMemory(process, remote, path.c_str(), path.size() + 1, NULL))
        return false;
    LPTHREAD_START_ROUTINE load =
        (LPTHREAD_START_ROUTINE)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    HANDLE thread = CreateRemoteThread(process, NULL, 0, load, remote, 0, NULL);
    if (!thread)
        return false;
    DWORD module = 0;
    const bool loaded = WaitForSingleObject(thread, WaitMs) == WAIT_OBJECT_0 &&
                        GetExitCodeThread(thread, &module) && module != 0;
    CloseHandle(thread);
    return loaded;
}

bool StartProbed(const std::string &tail, const Fault &fault, Process which, LONG phase,
                 ProbedProcess *run)
{
    const std::string exe = MonitorExePath();
    std::string commandLine = "\"" + exe + "\" " + tail;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL,
                        &startup, &run->info))
        return false;
    char name[64];
    sprintf(name, FAULT_CONTROL_MAPPING_FORMAT, run->info.dwProcessId);
    run->mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(FaultControl), name);
    if (!run->mapping)
        return false;
    run->control = (FaultControl *)MapViewOfFile(run->mapping, FILE_MAP_WRITE, 0, 0, sizeof(FaultControl));
    if (!run->control)
        return false;
    run->control->phase = phase;
    run->control->faultFunction = fault.process == which ? fault.function : FaultFunctionCount;
    run->control->faultCall = fault.call;
    run->control->faultVariant = fault.variant;
    return LoadProbe(run->info.hProcess) && ResumeThread(run->info.hThread) != (DWORD)-1;
}

DWORD ExitCodeAfter(const ProbedProcess &run, DWORD timeoutMs)
{
    if (WaitForSingleObject(run.info.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0x23232323;
    GetExitCodeProcess(run.info.hProcess, &code);
    return code;
}

std::string RunValue()
{
    std::string data;
    return ReadRunValue(&data, NULL) ? data : Absent;
}

// ---- What a run shows

struct Observation
{
    std::string runAfterStart;
    std::vector<uint32_t> events;
    bool quitOnBroadcast = false;
    std::string runAtEnd;
    DWORD exitCode[2] = {STILL_ACTIVE, STILL_ACTIVE};
    FaultControl control[2];
};

bool g_battery;

void SendEvent(HWND window, LONG phase)
{
    struct
    {
        UINT message;
        WPARAM wParam;
        int acLine;
        int percent;
    } const events[] = {{0, 0, 0, 0},
                        {WM_POWERBROADCAST, PBT_APMSUSPEND, 0, 0},
                        {WM_ENDSESSION, TRUE, 0, 0},
                        {WM_TIMER, 101, 0, 6},    // one above the critical level: engage
                        {WM_TIMER, 101, 0, 40}};  // far above it: leave
    if (events[phase].percent)
        SimSetBattery(events[phase].acLine, events[phase].percent);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, events[phase].message, events[phase].wParam, 0, SMTO_NORMAL, WaitMs, &result);
}

// The scenario, with fault injected (or none).
std::unique_ptr<Observation> RunScenario(const Fault &fault)
{
    std::unique_ptr<Observation> seen(new Observation);
    SimClearDriverLog();
    WriteRunValue(StaleRunValue);
    if (g_battery)
        SimSetBattery(0, 80);

    ProbedProcess monitor;
    if (!StartProbed("/i", fault, Monitor, PhaseStart, &monitor)) {
        ADD_FAILURE() << "cannot start the probed monitor, error " << GetLastError();
        return seen;
    }
    ProgramRun asRun;
    asRun.info = monitor.info;
    HWND window = WaitForMonitorWindow(asRun, WaitMs);
    asRun.info.hProcess = asRun.info.hThread = NULL;  // still owned by monitor
    if (!window)
        ExitCodeAfter(monitor, WaitMs);
    seen->runAfterStart = RunValue();
    for (LONG phase = PhaseSuspend; window && phase <= (g_battery ? PhaseLeave : PhaseSessionEnd); phase++) {
        monitor.control->phase = phase;
        if (WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_TIMEOUT)
            SendEvent(window, phase);
    }
    monitor.control->phase = PhaseQuit;

    {
        ProbedProcess uninstall;
        if (!StartProbed("/u", fault, Uninstall, PhaseQuit, &uninstall)) {
            ADD_FAILURE() << "cannot start the probed /u run, error " << GetLastError();
            return seen;
        }
        seen->exitCode[Uninstall] = ExitCodeAfter(uninstall, WaitMs);
        seen->control[Uninstall] = *uninstall.control;
    }
    // The broadcast ends the monitor at once; where a failure in the /u run
    // kept it from being sent, the test sends the quit itself, so that the
    // monitor's end is still seen.
    const bool quitExpected = fault.process == Monitor;
    seen->quitOnBroadcast = ExitCodeAfter(monitor, quitExpected ? 5000 : 300) != STILL_ACTIVE;
    if (!seen->quitOnBroadcast && window)
        PostMessageA(window, RegisterWindowMessageA("ZN374-Quit Message"), 0, 0);
    seen->exitCode[Monitor] = ExitCodeAfter(monitor, WaitMs);
    seen->control[Monitor] = *monitor.control;
    seen->runAtEnd = RunValue();
    // An event reached the driver when the driver accepted its request.
    for (const SimDriverRequest &request : DriverLog()) {
        if (SUCCEEDED(request.result))
            seen->events.push_back(request.words[7]);
    }
    return seen;
}

// ---- What a run should show, from what each failure means to the program

enum Effect
{
    Unaffected,
    ValueNotWritten,   // /i cannot write: the stale value stays
    ValueWrittenEmpty, // the executable's path cannot be had: an empty value
    RunRefused,        // no usable camera: the value is removed, the run ends
    NameUnknown,       // found, but without its friendly name: no event reaches it
    NoWindow,          // the window cannot be made: the run ends, the value stays
    NothingDone,       // the command line cannot be copied: the run ends at once
    EventLost,         // the event of that phase does not reach the driver
    TickLost,          // the battery tick reads nothing: no band change
    LoopEnds,          // the message loop fails: the monitor ends there
    QuitMissed,        // the quit message is not recognised
    ValueKept,         // /u cannot delete the value
    QuitNotSent,       // /u cannot broadcast the quit message
    UninstallUndone    // /u cannot copy its command line: nothing happens
};

struct Rule
{
    Process process;
    FaultFunction function;
    unsigned phases;  // bit per FaultPhase
    LONG ordinal;     // which call of the function in that phase; 0: any
    LONG variant;     // 0: any
    Effect effect;
};

const unsigned AtStart = 1u << PhaseStart;
const unsigned InEvents = (1u << PhaseSuspend) | (1u << PhaseSessionEnd) | (1u << PhaseEngage) | (1u << PhaseLeave);
const unsigned InTicks = (1u << PhaseEngage) | (1u << PhaseLeave);
const unsigned AtQuit = 1u << PhaseQuit;
const unsigned Always = AtStart | InEvents | AtQuit;

// The machine has one device in the Imaging class that is no camera, and the
// camera among the USB devices only, so start-up passes both walks.
const Rule Rules[] = {
    {Monitor, FaultMalloc, AtStart, 1, 0, NothingDone},
    {Monitor, FaultMalloc, AtStart, 0, 0, RunRefused},  // the probe's buffers
    {Monitor, FaultRegOpenKeyExA, AtStart, 0, 0, ValueNotWritten},
    {Monitor, FaultRegSetValueExA, AtStart, 0, 0, ValueNotWritten},
    {Monitor, FaultGetModuleFileNameA, AtStart, 0, 0, ValueWrittenEmpty},
    {Monitor, FaultGetFullPathNameA, AtStart, 0, 0, ValueWrittenEmpty},
    {Monitor, FaultGetWindowsDirectoryA, AtStart, 0, 0, ValueWrittenEmpty},
    {Monitor, FaultSetupDiGetClassDevsA, AtStart, 0, 0, RunRefused},
    {Monitor, FaultSetupDiEnumDeviceInfo, AtStart, 0, 0, Unaffected},
    {Monitor, FaultCM_Get_DevNode_Registry_PropertyA, AtStart, 1, 0, Unaffected},  // the other device
    {Monitor, FaultCM_Get_DevNode_Registry_PropertyA, AtStart, 2, 0, RunRefused},  // the camera
    {Monitor, FaultCM_Get_Device_ID_List_SizeA, AtStart, 0, 0, RunRefused},
    {Monitor, FaultCM_Get_Device_ID_ListA, AtStart, 0, 2, Unaffected},  // CR_BUFFER_SMALL: asked again
    {Monitor, FaultCM_Get_Device_ID_ListA, AtStart, 0, 0, RunRefused},
    {Monitor, FaultCM_Locate_DevNodeA, AtStart, 0, 0, RunRefused},
    {Monitor, FaultCM_Get_DevNode_Status, AtStart, 0, 0, RunRefused},
    {Monitor, FaultCM_Open_DevNode_Key, AtStart, 0, 0, NameUnknown},
    {Monitor, FaultRegQueryValueExA, AtStart, 1, 0, NameUnknown},  // FriendlyName
    {Monitor, FaultRegQueryValueExA, AtStart, 2, 0, RunRefused},   // SelectiveSuspend
    {Monitor, FaultGetVersionExA, AtStart, 1, 0, Unaffected},      // the plain record follows
    {Monitor, FaultCreateDialogParamA, AtStart, 0, 0, NoWindow},
    {Monitor, FaultSetTimer, Always, 0, 0, Unaffected},
    {Monitor, FaultKillTimer, Always, 0, 0, Unaffected},
    {Monitor, FaultGetMessageA, Always, 0, 0, LoopEnds},
    {Monitor, FaultRegisterWindowMessageA, AtStart | InEvents, 0, 0, Unaffected},
    {Monitor, FaultRegisterWindowMessageA, AtQuit, 0, 0, QuitMissed},
    {Monitor, FaultCoInitialize, InEvents, 0, 1, EventLost},
    {Monitor, FaultCoInitialize, InEvents, 0, 2, Unaffected},
    {Monitor, FaultCoCreateInstance, InEvents, 0, 0, EventLost},
    {Monitor, FaultCreateClassEnumerator, InEvents, 0, 0, EventLost},
    {Monitor, FaultEnumMonikerNext, InEvents, 0, 0, EventLost},
    {Monitor, FaultBindToStorage, InEvents, 0, 0, EventLost},
    {Monitor, FaultPropertyBagRead, InEvents, 0, 0, EventLost},
    {Monitor, FaultWideCharToMultiByte, InEvents, 0, 0, EventLost},
    {Monitor, FaultBindToObject, InEvents, 0, 0, EventLost},
    {Monitor, FaultFilterQueryInterface, InEvents, 0, 0, EventLost},
    {Monitor, FaultPropertySetSet, InEvents, 0, 0, EventLost},
    {Monitor, FaultGetCurrentPowerPolicies, InTicks, 0, 0, TickLost},
    {Monitor, FaultGetSystemPowerStatus, InTicks, 0, 0, TickLost},
    {Uninstall, FaultMalloc, AtQuit, 0, 0, UninstallUndone},
    {Uninstall, FaultRegOpenKeyExA, AtQuit, 0, 0, ValueKept},
    {Uninstall, FaultRegDeleteValueA, AtQuit, 0, 0, ValueKept},
    {Uninstall, FaultRegisterWindowMessageA, AtQuit, 0, 0, QuitNotSent},
    {Uninstall, FaultBroadcastSystemMessageA, AtQuit, 0, 0, QuitNotSent},
};

const Rule *FindRule(const Fault &fault, LONG phase, LONG ordinal)
{
    for (const Rule &rule : Rules) {
        if (rule.process == fault.process && rule.function == fault.function &&
            (rule.phases & (1u << phase)) && (rule.ordinal == 0 || rule.ordinal == ordinal) &&
            (rule.variant == 0 || rule.variant == fault.variant))
            return &rule;
    }
    return NULL;
}

struct Expected
{
    std::string runAfterStart;
    std::vector<uint32_t> events;  // in order
    uint32_t mayFollow = 0;        // an event that may or may not come after them
    LONG endPhase = PhaseQuit;     // when the monitor process ends, at the earliest
    bool endsLater = false;        // or in any phase up to the quit: the test moves on meanwhile
    bool quitOnBroadcast = true;
    std::string runAtEnd = Absent;
    bool comHeldByFailedOpen = false;
};

std::string WrittenValue()
{
    return WindowsDirectory() + "\\ZN374Mon.exe";
}

LONG LastEventPhase()
{
    return g_battery ? PhaseLeave : PhaseSessionEnd;
}

// The driver sees the event code plus 2; the phases are in event order.
uint32_t EventOf(LONG phase)
{
    return (uint32_t)phase + 1;
}

Expected Expect(Effect effect, const Fault &fault, LONG phase)
{
    Expected e;
    e.runAfterStart = WrittenValue();
    std::set<LONG> lost;
    switch (effect) {
    case Unaffected:
        break;
    case ValueNotWritten:
        e.runAfterStart = StaleRunValue;
        break;
    case ValueWrittenEmpty:
        e.runAfterStart = "";
        break;
    case RunRefused:
        e.runAfterStart = Absent;
        e.endPhase = PhaseStart;
        break;
    case NameUnknown:
        e.endPhase = PhaseQuit;
        for (LONG p = PhaseSuspend; p <= LastEventPhase(); p++)
            lost.insert(p);
        e.comHeldByFailedOpen = true;
        break;
    case NoWindow:
        e.endPhase = PhaseStart;
        break;
    case NothingDone:
        e.runAfterStart = StaleRunValue;
        e.endPhase = PhaseStart;
        break;
    case EventLost:
        lost.insert(phase);
        // A failed open keeps its COM initialisation; a rejected request
        // comes after a successful open, a refused CoInitialize owns none.
        e.comHeldByFailedOpen = fault.function != FaultCoInitialize && fault.function != FaultPropertySetSet;
        break;
    case TickLost:
        // Without the engaging tick there is no band to leave either.
        lost.insert(phase);
        if (phase == PhaseEngage)
            lost.insert(PhaseLeave);
        break;
    case LoopEnds:
        e.endPhase = phase;
        e.endsLater = true;
        for (LONG p = phase + 1; p <= LastEventPhase(); p++)
            lost.insert(p);
        if (phase >= PhaseSuspend && phase <= LastEventPhase()) {
            lost.insert(phase);
            e.mayFollow = EventOf(phase);
        }
        break;
    case QuitMissed:
    case QuitNotSent:
        e.quitOnBroadcast = false;
        break;
    case ValueKept:
        e.runAtEnd = WrittenValue();
        break;
    case UninstallUndone:
        e.runAtEnd = WrittenValue();
        e.quitOnBroadcast = false;
        break;
    }
    if (e.endPhase == PhaseStart) {
        for (LONG p = PhaseSuspend; p <= LastEventPhase(); p++)
            lost.insert(p);
    }
    for (LONG p = PhaseSuspend; p <= LastEventPhase(); p++) {
        if (!lost.count(p))
            e.events.push_back(EventOf(p));
    }
    return e;
}

std::string Text(const std::vector<uint32_t> &events)
{
    std::ostringstream text;
    text << "{";
    for (size_t i = 0; i < events.size(); i++)
        text << (i ? "," : "") << events[i];
    return text.str() + "}";
}

// Every mismatch between what the run should show and what it showed, one
// "what: expected ..., got ..." per line; empty when the run is right.
std::string Compare(const Expected &e, const Observation &seen)
{
    std::ostringstream out;
    auto check = [&out](const char *what, const std::string &expected, const std::string &got) {
        if (expected != got)
            out << "  " << what << ": expected " << expected << ", got " << got << "\n";
    };
    auto number = [](long value) { return std::to_string(value); };
    const char *process[2] = {"monitor", "/u run"};
    for (int p = Monitor; p <= Uninstall; p++) {
        const FaultControl &c = seen.control[p];
        std::string prefix = process[p];
        check((prefix + " exit code").c_str(), "0", number((long)seen.exitCode[p]));
        check((prefix + " crash").c_str(), "none", c.crashed ? "exception " + number(c.crashCode) + " at +" + number(c.crashSite) : "none");
        check((prefix + " registry keys left open").c_str(), "0", number(c.openKeys));
        check((prefix + " device information lists left").c_str(), "0", number(c.deviceLists));
        check((prefix + " heap blocks left").c_str(), "0", number(c.heapBlocks));
        check((prefix + " COM references left").c_str(), "0", number(c.comReferences));
        check((prefix + " strings left").c_str(), "0", number(c.strings));
        check((prefix + " live camera filters").c_str(), "0", number(c.liveFilters));
        check((prefix + " CoUninitialize before an open succeeded").c_str(), "0", number(c.uninitialisedByFailedOpen));
        check((prefix + " paths given without a terminator").c_str(), "0", number(c.unterminatedPaths));
    }
    const FaultControl &m = seen.control[Monitor];
    check("Run value after start-up", e.runAfterStart, seen.runAfterStart);
    std::vector<uint32_t> withFollower = e.events;
    withFollower.push_back(e.mayFollow);
    if (!(e.mayFollow && seen.events == withFollower))
        check("events at the driver", Text(e.events), Text(seen.events));
    if (!e.endsLater || !m.ended || m.endPhase < e.endPhase)
        check("phase the monitor ended in", number(e.endPhase), m.ended ? number(m.endPhase) : "none");
    if (e.endPhase == PhaseQuit && !e.endsLater)
        check("monitor ended on the broadcast quit", e.quitOnBroadcast ? "yes" : "no", seen.quitOnBroadcast ? "yes" : "no");
    check("Run value at the end", e.runAtEnd, seen.runAtEnd);
    check("an open that failed kept COM initialised", e.comHeldByFailedOpen ? "yes" : "no",
          m.failedOpensHolding ? "yes" : "no");
    if (!m.failedOpensHolding)
        check("CoUninitialize calls, one per S_OK", number(m.comOwned), number(m.comUninitialised));
    else if (m.comUninitialised > m.comOwned)
        check("CoUninitialize calls, at most one per S_OK", "<= " + number(m.comOwned), number(m.comUninitialised));
    return out.str();
}

// ---- The imports of the executable itself

// Each import that cannot fail where the monitor calls it, and why.
const char *const NeverFailing[][2] = {
    {"ExitProcess", "does not return"},
    {"GetCommandLineA", "no failure result"},
    {"GetModuleHandleA", "NULL names the executable itself"},
    {"lstrcmpiA", "no failure result"},
    {"lstrcpynA", "fails only on an unreadable or unwritable pointer"},
    {"lstrlenA", "no failure result"},
    {"_stricmp", "no failure result"},
    {"free", "no failure result"},
    {"memchr", "no failure result"},
    {"strchr", "no failure result"},
    {"strlen", "no failure result"},
    {"strtok", "no failure result"},
    {"CoUninitialize", "no result"},
    {"VariantClear", "fails only for arrays and unknown types; a BSTR or empty variant is cleared"},
    {"RegCloseKey", "fails only for a key that is not open"},
    {"SetupDiDestroyDeviceInfoList", "fails only for a handle that is not a device information list"},
    {"DestroyWindow", "fails only for a window of another thread or none"},
    {"DispatchMessageA", "returns the window procedure's result"},
    {"GetWindowLongA", "fails only for an invalid window; called with the window being handled"},
    {"SetWindowLongA", "fails only for an invalid window; called with the window being created"},
    {"IsDialogMessageA", "answers whether the message was taken"},
    {"IsWindow", "answers whether the window exists"},
    {"PostQuitMessage", "no result"},
    {"TranslateMessage", "answers whether a character message was posted"},
};

// Reads the names the executable imports from its file.
std::vector<std::string> ImportedNames(const std::string &path)
{
    std::vector<std::string> names;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return names;
    std::vector<BYTE> image(GetFileSize(file, NULL));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, image.data(), (DWORD)image.size(), &read, NULL);
    CloseHandle(file);
    if (!ok || read != image.size())
        return names;
    const IMAGE_NT_HEADERS32 *headers = (const IMAGE_NT_HEADERS32 *)(image.data() + ((IMAGE_DOS_HEADER *)image.data())->e_lfanew);
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(headers);
    auto at = [&](DWORD rva) -> const BYTE * {
        for (WORD i = 0; i < headers->FileHeader.NumberOfSections; i++) {
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return image.data() + sections[i].PointerToRawData + (rva - sections[i].VirtualAddress);
        }
        return NULL;
    };
    const IMAGE_IMPORT_DESCRIPTOR *dll = (const IMAGE_IMPORT_DESCRIPTOR *)at(
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    for (; dll && dll->Name; dll++) {
        for (const IMAGE_THUNK_DATA32 *thunk = (const IMAGE_THUNK_DATA32 *)at(dll->OriginalFirstThunk);
             thunk && thunk->u1.AddressOfData; thunk++) {
            if (!IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal))
                names.push_back((const char *)((const IMAGE_IMPORT_BY_NAME *)at(thunk->u1.AddressOfData))->Name);
        }
    }
    return names;
}

// ---- The sweep

class FaultInjection : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SimRemoveAllCameras());
        ASSERT_EQ(1, SimRemoveAllDevices());
        const SimDevice other = {OtherInstance, OtherHardwareIds, sizeof OtherHardwareIds,
                                 SimDeviceImaging | SimDevicePresent | SimDeviceDriverLoaded};
        const SimDevice camera = {CameraInstance, CameraHardwareIds, sizeof CameraHardwareIds,
                                  SimDevicePresent | SimDeviceDriverLoaded};
        ASSERT_EQ(1, SimAddDevice(&other));
        ASSERT_EQ(1, SimAddDevice(&camera));
        ASSERT_EQ(1, SimSetDriverString(CameraInstance, "FriendlyName", CameraName));
        ASSERT_EQ(1, SimSetDriverString(CameraInstance, "DriverDesc", CameraName));
        ASSERT_EQ(1, SimSetDriverDword(CameraInstance, "SelectiveSuspend", 1));
        ASSERT_EQ(1, SimAddCamera(CameraName, 0));
        ASSERT_EQ(1, SimSetCriticalLevel(5));
        g_battery = SimBatteryAvailable() != 0;
    }

    void TearDown() override
    {
        DeleteRunValue();
        SimRemoveAllCameras();
        SimRemoveAllDevices();
        if (g_battery)
            SimSetBattery(1, 100);
    }
};

#if defined(ZN_COVERAGE)
// The instrumented build's runtime brings imports, heap blocks and an exit of
// its own, so there the sweep only drives the failure paths for their
// counters; the outcome and leak checks belong to the ordinary build.
const bool g_checkOutcomes = false;
#else
const bool g_checkOutcomes = true;
#endif

struct Tally
{
    std::set<DWORD> sites;
    int tried = 0;
    int failed = 0;
};

TEST_F(FaultInjection, EveryPlatformCallFailsOnceWithoutCrashLeakOrWrongOutcome)
{
    if (!g_battery)
        printf("no simulated battery here: the two battery ticks are left out\n");

    // The clean run: it must show the whole scenario, and its calls are the sweep.
    std::unique_ptr<Observation> clean = RunScenario(NoFault);
    const std::string cleanMismatch = Compare(Expect(Unaffected, NoFault, PhaseStart), *clean);
    if (g_checkOutcomes) {
        ASSERT_EQ("", cleanMismatch) << "the run without a fault already differs";
    }

    std::map<LONG, Tally> tally;
    std::vector<Fault> faults;
    std::vector<LONG> phases;
    std::vector<LONG> ordinals;
    for (int p = Monitor; p <= Uninstall; p++) {
        const FaultControl &c = clean->control[p];
        ASSERT_LE(c.callCount, (LONG)FaultCallCapacity);
        std::map<LONG, LONG> callsSoFar;
        std::map<std::pair<LONG, LONG>, LONG> inPhase;
        for (LONG i = 0; i < c.callCount; i++) {
            const FaultCall &call = c.calls[i];
            const LONG n = ++callsSoFar[call.function];
            const LONG ordinal = ++inPhase[{call.function, call.phase}];
            tally[call.function].sites.insert(call.site);
            for (LONG v = 1; v <= FaultFunctions[call.function].variants; v++) {
                faults.push_back({(Process)p, (FaultFunction)call.function, n, v});
                phases.push_back(call.phase);
                ordinals.push_back(ordinal);
            }
        }
    }

    const DWORD start = GetTickCount();
    for (size_t i = 0; i < faults.size(); i++) {
        const Fault &fault = faults[i];
        Tally &t = tally[fault.function];
        t.tried++;
        std::ostringstream name;
        name << (fault.process == Monitor ? "monitor" : "/u run") << " " << FaultFunctions[fault.function].name
             << " call " << fault.call << " (phase " << phases[i] << ") -> "
             << FaultFunctions[fault.function].failure[fault.variant - 1];
        const Rule *rule = FindRule(fault, phases[i], ordinals[i]);
        std::unique_ptr<Observation> seen = RunScenario(fault);
        std::string mismatch;
        if (!rule)
            mismatch = "  no expected outcome is known for this failure\n";
        else if (!seen->control[fault.process].fired)
            mismatch = "  the call was not reached\n";
        else
            mismatch = Compare(Expect(rule->effect, fault, seen->control[fault.process].firedPhase), *seen);
        if (!mismatch.empty() && g_checkOutcomes) {
            t.failed++;
            ADD_FAILURE() << name.str() << ":\n" << mismatch;
        }
    }
    const DWORD elapsed = GetTickCount() - start;

    printf("%-40s %6s %8s  %s\n", "function", "sites", "failures", "outcome");
    for (const auto &entry : tally) {
        const Tally &t = entry.second;
        printf("%-40s %6u %8d  %s\n", FaultFunctions[entry.first].name, (unsigned)t.sites.size(), t.tried,
               t.failed ? (std::to_string(t.failed) + " wrong").c_str() : "as expected, nothing left behind");
    }
    printf("%u runs with one failure each in %lu ms, %lu calls traced\n", (unsigned)faults.size(),
           (unsigned long)elapsed, (unsigned long)(clean->control[0].callCount + clean->control[1].callCount));

    // Every import that can fail, and every COM method, is in the table; every
    // other import is known not to fail where the monitor calls it.
    if (!g_checkOutcomes)
        return;
    const std::vector<std::string> imports = ImportedNames(MonitorExePath());
    EXPECT_FALSE(imports.empty()) << "expected the imports of " << MonitorExePath() << ", got none";
    for (int f = 0; f < FaultFunctionCount; f++) {
        const bool method = strstr(FaultFunctions[f].name, "::") != NULL;
        const bool imported = std::find(imports.begin(), imports.end(), FaultFunctions[f].name) != imports.end();
        EXPECT_TRUE(tally.count(f) || !(method || imported))
            << FaultFunctions[f].name << " can fail: expected in the table, but the run never called it";
    }
    for (const std::string &import : imports) {
        bool known = false;
        for (const FaultFunctionInfo &info : FaultFunctions)
            known = known || import == info.name;
        for (const auto &never : NeverFailing)
            known = known || import == never[0];
        EXPECT_TRUE(known) << "ZN374Mon.exe imports " << import << ": expected it failed here or listed as unable to fail";
    }
}

}  // namespace
