// Every platform call the real ZN374Mon.exe, ZN374Stat.exe and ZN374Actions.dll
// make, failed in a run of its own with each failure the platform documents
// for it. A clean run is traced first: the monitor's scenario (start-up with
// /i, a suspend, a session end, a battery tick that engages the critical band
// and one that leaves it, then /u) on each of two machines, the report, and
// each custom action in each of its worlds. Each call it made is failed, then
// each call a failed run makes at a site not yet failed in that phase, until
// no new one appears; each run's outcome, failures' sites and leftovers checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "build_path.h"
#include "cannot_run.h"
#include "devtree.h"
#include "driver_log.h"
#include "fault_control.h"
#include "startup/monitor_process.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 Fault Camera";
const char OtherCameraName[] = "ZN374 Other Camera";
const char OtherInstance[] = "ROOT\\IMAGE\\0000";
const char OtherHardwareIds[] = "ROOT\\OTHER_SCANNER\0";
const char StaleRunValue[] = "stale";
const char Absent[] = "<absent>";
const DWORD WaitMs = 10000;
const UINT ShortPeriod = 20000, LongPeriod = 120000;

enum Process { Monitor = 0, Uninstall = 1 };
// The phases that begin with a period to check: the two ticks and the quit.
const int TimedPhases = PhaseCount - PhaseEngage;

// One failure of a run, as the run that found the call saw it.
struct Fault
{
    Process process;
    FaultFunction function;
    LONG call;     // which call of the function in that process
    LONG variant;  // failure class, 1 to 3
    LONG phase;
    DWORD site;
    LONG ordinal;  // which call of the function in that phase
};

// A run's failures, in the order their calls come.
typedef std::vector<Fault> Chain;

// The machines the scenario runs on.
struct Machine
{
    const char *name;
    bool cameraImaging;   // the camera in the Imaging class, else among the USB devices only
    int videoDevices;     // the camera is the last of them
    int acLine;           // at both ticks
    int percent[2];       // at the engaging tick and the leaving one
    bool leaveRearms;     // the leaving tick re-arms the timer at 120000 ms
    unsigned events;      // bit per phase whose event reaches the driver in a clean run
    unsigned swept;       // bit per phase whose calls fail (the /u run's with the quit's)
};

const Machine Machines[] = {
    {"an Imaging device that is no camera, the camera among the USB devices, on battery", false, 1, 0,
     {6, 40}, true, 0x1E, ~0u},
    // Failed only where its code differs from the first's: the class walk
    // finds the camera, and a video device comes before it.
    {"the camera in the Imaging class, second of two video devices, no battery", true, 2, 1, {255, 255},
     false, 0x06, (1u << PhaseStart) | (1u << PhaseSuspend)},
};

// A process started suspended with the probe loaded before its first instruction.
struct ProbedProcess : ProgramRun
{
    HANDLE mapping = NULL;
    FaultControl *control = NULL;

    ~ProbedProcess()
    {
        if (info.hProcess && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 1);
        // Each of these fails harmlessly for what was never made.
        UnmapViewOfFile(control);
        CloseHandle(mapping);
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

bool StartProbed(const std::string &exe, const std::string &tail, const Chain &chain, int which, LONG phase,
                 ProbedProcess *run, HANDLE output = NULL,
                 std::function<void(FaultControl *)> prepare = nullptr)
{
    std::string commandLine = "\"" + exe + "\" " + tail;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = output ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = startup.hStdError = output;
    if (!CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, output != NULL, CREATE_SUSPENDED, NULL, NULL,
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
    for (const Fault &fault : chain) {
        if (fault.process == which && run->control->faultCount < FaultChainCapacity)
            run->control->faults[run->control->faultCount++] = {fault.function, fault.call, fault.variant, 0, 0, 0, 0};
    }
    if (prepare)
        prepare(run->control);
    return LoadProbe(run->info.hProcess) && ResumeThread(run->info.hThread) != (DWORD)-1;
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
    UINT period[TimedPhases] = {};  // of the armed timer as each tick and the quit begin
    DWORD exitCode[2] = {STILL_ACTIVE, STILL_ACTIVE};
    FaultControl control[2] = {};
    std::string output;  // the status report's, or the custom action's outcome
    std::string log;     // the custom action's lines
};

bool g_battery;
const Machine *g_machine;

// A tick comes only while the timer is armed, as the system delivers it.
void SendEvent(HWND window, LONG phase, UINT period)
{
    static const UINT messages[] = {WM_POWERBROADCAST, WM_ENDSESSION};
    static const WPARAM wParams[] = {PBT_APMSUSPEND, TRUE};
    const bool tick = phase >= PhaseEngage;
    if (tick && !period)
        return;
    if (tick)
        SimSetBattery(g_machine->acLine, g_machine->percent[phase - PhaseEngage]);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, tick ? WM_TIMER : messages[phase - PhaseSuspend],
                        tick ? 101 : wParams[phase - PhaseSuspend], 0, SMTO_NORMAL, WaitMs, &result);
}

// Whether the process has called GetMessageA.
bool AsksForMessages(const FaultControl &c)
{
    const FaultCall *end = c.calls + std::min(c.callCount, (LONG)FaultCallCapacity);
    return std::any_of(c.calls, end, [](const FaultCall &call) { return call.function == FaultGetMessageA; });
}

// The scenario, with the chain's failures injected.
std::unique_ptr<Observation> RunScenario(const Chain &chain)
{
    std::unique_ptr<Observation> seen(new Observation);
    SimClearDriverLog();
    WriteRunValue(StaleRunValue);
    if (g_battery)
        SimSetBattery(0, 80);

    ProbedProcess monitor;
    if (!StartProbed(MonitorExePath(), "/i", chain, Monitor, PhaseStart, &monitor)) {
        ADD_FAILURE() << "cannot start the probed monitor, error " << GetLastError();
        return seen;
    }
    HWND window = WaitForMonitorWindow(monitor, WaitMs);
    // The phase moves on only once the monitor waits for messages: Wine's
    // WaitForInputIdle may return at the dialog's own message calls, before
    // the loop's first GetMessageA, which the probe records as it is made.
    WaitForInputIdle(monitor.info.hProcess, WaitMs);
    for (int polls = 0; window && !AsksForMessages(*monitor.control) && polls < 1000; polls++)
        WaitForSingleObject(monitor.info.hProcess, 10);
    if (!window)
        WaitForExitCode(monitor, WaitMs);
    seen->runAfterStart = RunValue();
    for (LONG phase = PhaseSuspend; phase <= PhaseQuit; phase++) {
        monitor.control->phase = phase;
        const UINT period = monitor.control->timerPeriod;
        if (phase >= PhaseEngage)
            seen->period[phase - PhaseEngage] = period;
        const bool sent = phase < PhaseQuit && (phase < PhaseEngage || g_battery);
        if (window && sent && WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_TIMEOUT)
            SendEvent(window, phase, period);
    }

    {
        ProbedProcess uninstall;
        if (!StartProbed(MonitorExePath(), "/u", chain, Uninstall, PhaseQuit, &uninstall)) {
            ADD_FAILURE() << "cannot start the probed /u run, error " << GetLastError();
            return seen;
        }
        seen->exitCode[Uninstall] = WaitForExitCode(uninstall, WaitMs);
        seen->control[Uninstall] = *uninstall.control;
    }
    // The broadcast ends the monitor at once; where a failure in the /u run
    // kept it from being sent, the test sends the quit itself, so that the
    // monitor's end is still seen.
    const bool quitExpected = std::none_of(chain.begin(), chain.end(), [](const Fault &f) { return f.process == Uninstall; });
    seen->quitOnBroadcast = WaitForExitCode(monitor, quitExpected ? 5000 : 300) != STILL_ACTIVE;
    if (!seen->quitOnBroadcast && window)
        PostMessageA(window, RegisterWindowMessageA("ZN374-Quit Message"), 0, 0);
    seen->exitCode[Monitor] = WaitForExitCode(monitor, WaitMs);
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
    ReadingLost,       // a reading failed and no camera was found: the run ends, the value stays
    WalkCutShort,      // a walk passed a device it could not read: a later "no" becomes ReadingLost
    ValueNotRemoved,   // a refused run cannot remove the value
    NameUnknown,       // found, but without its friendly name: no event reaches it
    NoWindow,          // the window cannot be made: the run ends, the value stays
    TimerUnarmed,      // no battery tick ever comes
    PeriodKept,        // the tick cannot re-arm the timer: the period stays
    EventLost,         // the event of that phase does not reach the driver
    TickLost,          // the battery tick reads nothing: no band change, no period change
    LoopEnds,          // the message loop fails: the monitor ends there
    ValueKept,         // /u cannot delete the value
    QuitNotSent        // /u cannot broadcast the quit message
};

// Which calls of the function in the phase a rule is for, besides 1, 2, ...
enum { AnyCall = 0, BeforeCamera = -1 };  // any; a video device walked before the camera's

struct Rule
{
    Process process;
    std::vector<FaultFunction> functions;
    unsigned phases;  // bit per FaultPhase
    LONG ordinal;     // which call of the function in that phase, or AnyCall, BeforeCamera
    LONG variant;     // failure class; 0: any
    Effect effect;
};

const unsigned AtStart = 1u << PhaseStart;
const unsigned InEvents = (1u << PhaseSuspend) | (1u << PhaseSessionEnd) | (1u << PhaseEngage) | (1u << PhaseLeave);
const unsigned InTicks = (1u << PhaseEngage) | (1u << PhaseLeave);
const unsigned AtQuit = 1u << PhaseQuit;
const unsigned Always = AtStart | InEvents | AtQuit;

// The first rule that fits a failure gives its outcome.
const Rule Rules[] = {
    {Monitor, {Faultmalloc}, AtStart, AnyCall, 0, ReadingLost},  // the probe's buffers
    {Monitor, {FaultRegOpenKeyExA}, AtStart, 1, 0, ValueNotWritten},
    {Monitor, {FaultRegOpenKeyExA}, AtStart, 2, 0, ValueNotRemoved},
    {Monitor, {FaultRegSetValueExA}, AtStart, AnyCall, 0, ValueNotWritten},
    {Monitor, {FaultRegDeleteValueA}, AtStart, AnyCall, 0, ValueNotRemoved},
    {Monitor, {FaultGetModuleFileNameA, FaultGetFullPathNameA, FaultGetWindowsDirectoryA}, AtStart, AnyCall, 0,
     ValueWrittenEmpty},
    // The class walk ends, is cut short or passes a device; the USB walk finds the camera.
    {Monitor, {FaultSetupDiEnumDeviceInfo}, AtStart, AnyCall, 1, Unaffected},
    {Monitor, {FaultSetupDiEnumDeviceInfo}, AtStart, AnyCall, 2, WalkCutShort},
    {Monitor, {FaultCM_Get_DevNode_Registry_PropertyA}, AtStart, 1, 3, WalkCutShort},
    {Monitor, {FaultCM_Get_DevNode_Registry_PropertyA}, AtStart, 1, 0, Unaffected},
    // The camera in the USB walk.
    {Monitor, {FaultCM_Get_DevNode_Registry_PropertyA}, AtStart, 2, 3, ReadingLost},
    {Monitor, {FaultCM_Get_DevNode_Registry_PropertyA}, AtStart, 2, 0, RunRefused},
    // A device arrived since the size was asked: asked again, up to three times.
    {Monitor, {FaultCM_Get_Device_ID_ListA}, AtStart, 3, 2, ReadingLost},
    {Monitor, {FaultCM_Get_Device_ID_ListA}, AtStart, AnyCall, 2, Unaffected},
    // The camera does not exist, or is not present: answers.
    {Monitor, {FaultCM_Locate_DevNodeA, FaultCM_Get_DevNode_Status}, AtStart, AnyCall, 1, RunRefused},
    {Monitor, {FaultSetupDiGetClassDevsA, FaultCM_Get_Device_ID_List_SizeA, FaultCM_Get_Device_ID_ListA,
               FaultCM_Locate_DevNodeA, FaultCM_Get_DevNode_Status}, AtStart, AnyCall, 0, ReadingLost},
    {Monitor, {FaultCM_Open_DevNode_Key}, AtStart, AnyCall, 0, NameUnknown},
    {Monitor, {FaultRegQueryValueExA}, AtStart, 1, 0, NameUnknown},  // FriendlyName
    // SelectiveSuspend missing or longer than four bytes is a no; refused, no answer.
    {Monitor, {FaultRegQueryValueExA}, AtStart, 2, 3, ReadingLost},
    {Monitor, {FaultRegQueryValueExA}, AtStart, 2, 0, RunRefused},
    {Monitor, {FaultGetVersionExA}, AtStart, 2, 0, ReadingLost},  // both records refused
    {Monitor, {FaultGetVersionExA}, AtStart, AnyCall, 0, Unaffected},  // the plain record follows
    {Monitor, {FaultCreateDialogParamA}, AtStart, AnyCall, 0, NoWindow},
    {Monitor, {FaultSetTimer}, AtStart, AnyCall, 0, TimerUnarmed},
    {Monitor, {FaultSetTimer}, InTicks, AnyCall, 0, PeriodKept},
    {Monitor, {FaultKillTimer}, Always, AnyCall, 0, Unaffected},
    {Monitor, {FaultGetMessageA}, Always, AnyCall, 0, LoopEnds},
    // The quit message is registered again at the next message.
    {Monitor, {FaultRegisterWindowMessageA}, AtStart | InEvents, AnyCall, 0, Unaffected},
    {Monitor, {FaultCoInitialize}, InEvents, AnyCall, 1, EventLost},
    {Monitor, {FaultCoInitialize}, InEvents, AnyCall, 0, Unaffected},  // already initialised, in either apartment
    // A device before the camera whose name cannot be read does not match.
    {Monitor, {FaultBindToStorage, FaultPropertyBagRead, FaultWideCharToMultiByte}, InEvents, BeforeCamera, 0, Unaffected},
    {Monitor, {FaultCoCreateInstance, FaultCreateClassEnumerator, FaultEnumMonikerNext, FaultBindToStorage,
               FaultPropertyBagRead, FaultWideCharToMultiByte, FaultBindToObject, FaultQueryInterface,
               FaultPropertySetSet}, InEvents, AnyCall, 0, EventLost},
    {Monitor, {FaultGetCurrentPowerPolicies, FaultGetSystemPowerStatus}, InTicks, AnyCall, 0, TickLost},
    {Uninstall, {FaultRegOpenKeyExA, FaultRegDeleteValueA}, AtQuit, AnyCall, 0, ValueKept},
    {Uninstall, {FaultRegisterWindowMessageA, FaultBroadcastSystemMessageA}, AtQuit, AnyCall, 0, QuitNotSent},
};

const Rule *FindRule(const Fault &fault)
{
    for (const Rule &rule : Rules) {
        const bool call = rule.ordinal == AnyCall || rule.ordinal == fault.ordinal ||
                          (rule.ordinal == BeforeCamera && fault.ordinal < g_machine->videoDevices);
        if (rule.process == fault.process && std::count(rule.functions.begin(), rule.functions.end(), fault.function) &&
            (rule.phases & (1u << fault.phase)) && call && (rule.variant == 0 || rule.variant == fault.variant))
            return &rule;
    }
    return NULL;
}

struct Expected
{
    std::string runAfterStart;
    unsigned lost = 0;             // bit per phase whose event does not reach the driver
    LONG mayFollow = 0;            // a phase whose event may come or not
    LONG endPhase = PhaseQuit;     // when the monitor process ends, at the earliest
    bool endsLater = false;        // or in any phase up to the quit: the test moves on meanwhile
    bool quitOnBroadcast = true;
    std::string runAtEnd = Absent;
    UINT period[TimedPhases] = {};
    bool walkCutShort = false;     // no "no" of the probe stands
};

std::string WrittenValue()
{
    return WindowsDirectory() + "\\ZN374Mon.exe";
}

// What a clean run shows, then each failure's effect in turn.
Expected Expect(const Chain &chain, std::vector<const Rule *> rules)
{
    Expected e;
    e.runAfterStart = WrittenValue();
    e.period[0] = e.period[1] = ShortPeriod;
    e.period[2] = g_battery && g_machine->leaveRearms ? LongPeriod : ShortPeriod;
    for (size_t i = 0; i < chain.size(); i++) {
        const LONG phase = chain[i].phase;
        switch (rules[i]->effect) {
        case Unaffected:
            break;
        case ValueNotWritten:
            e.runAfterStart = StaleRunValue;
            break;
        case ValueWrittenEmpty:
            e.runAfterStart = "";
            break;
        case WalkCutShort:
            e.walkCutShort = true;
            break;
        case RunRefused:
            e.runAfterStart = e.walkCutShort ? WrittenValue() : Absent;
            e.endPhase = PhaseStart;
            break;
        case ReadingLost:
        case NoWindow:
            e.endPhase = PhaseStart;
            break;
        case ValueNotRemoved:
            e.runAfterStart = WrittenValue();
            break;
        case NameUnknown:
            e.lost |= InEvents;
            break;
        case TimerUnarmed:
            e.period[0] = e.period[1] = e.period[2] = 0;
            e.lost |= InTicks;
            break;
        case TickLost:
            // Without the engaging tick there is no band to leave either.
            e.lost |= phase == PhaseEngage ? InTicks : 1u << phase;
            [[fallthrough]];
        case PeriodKept:
            e.period[phase + 1 - PhaseEngage] = e.period[phase - PhaseEngage];
            break;
        case EventLost:
            e.lost |= 1u << phase;
            break;
        case LoopEnds:
            e.endPhase = e.mayFollow = phase;
            e.endsLater = true;
            e.lost |= InEvents & ~((1u << phase) - 1);
            break;
        case ValueKept:
            e.runAtEnd = WrittenValue();
            break;
        case QuitNotSent:
            e.quitOnBroadcast = false;
            break;
        }
    }
    e.lost |= e.endPhase == PhaseStart ? InEvents : 0;
    return e;
}

std::string Text(const std::vector<uint32_t> &events)
{
    std::ostringstream text;
    for (uint32_t event : events)
        text << event << " ";
    return "{ " + text.str() + "}";
}

// The CoUninitialize calls the design predicts from the calls traced: the
// COM flag is set by an S_OK and cleared, with one CoUninitialize, by the
// close that follows closer: in the monitor the close after an open that
// succeeded (it reached Set), where a failed open keeps COM initialised and
// the flag as it was; in the report the close after every open (closer is
// CoInitialize itself).
std::string ComBalance(const FaultControl &c, FaultFunction closer)
{
    LONG flag = 0, owed = 0, predicted = 0, made = 0, misplaced = 0;
    for (LONG i = 0; i < std::min(c.callCount, (LONG)FaultCallCapacity); i++) {
        const FaultCall &call = c.calls[i];
        if (call.function == FaultCoInitialize) {
            misplaced += owed;
            owed = 0;
            flag = flag || call.result == S_OK;
        }
        if (call.function == closer && flag) {
            owed = 1;
            flag = 0;
            predicted++;
        } else if (call.function == FaultCoUninitialize) {
            made++;
            misplaced += !owed;
            owed = 0;
        }
    }
    return made == predicted && !misplaced && !owed ? "" : "  CoUninitialize calls: expected " + std::to_string(predicted) +
        ", each in the close after a successful open, got " + std::to_string(made) + " (" +
        std::to_string(misplaced + owed) + " out of place)\n";
}

// What a process holds when it ends, and how it ended.
std::string Leftovers(const char *process, DWORD exitCode, const FaultControl &c)
{
    static const char *const kinds[HeldKindCount] = {"registry keys", "device information lists", "heap blocks",
                                                     "BSTRs", "COM references", "kernel handles",
                                                     "installer handles"};
    std::ostringstream out;
    if (exitCode != 0)
        out << "  " << process << " exit code: expected 0, got " << exitCode << "\n";
    if (c.crashed)
        out << "  " << process << " crash: expected none, got exception " << c.crashCode << " at +" << c.crashSite << "\n";
    for (int k = 0; k < HeldKindCount; k++) {
        if (c.left[k] || c.unheld[k])
            out << "  " << process << " " << kinds[k] << ": expected each released once, got " << c.left[k]
                << " left and " << c.unheld[k] << " released without being held\n";
    }
    if (c.liveFilters)
        out << "  " << process << " live camera filters: expected 0, got " << c.liveFilters << "\n";
    if (c.unterminatedPaths)
        out << "  " << process << " paths given without a terminator: expected 0, got " << c.unterminatedPaths << "\n";
    if (c.offVolumePaths)
        out << "  " << process << " files opened off the installed file's volume: expected 0, got "
            << c.offVolumePaths << "\n";
    return out.str();
}

// Every mismatch between what the run should show and what it showed, one
// "what: expected ..., got ..." per line; empty when the run is right.
std::string Compare(const Expected &e, const Observation &seen)
{
    std::ostringstream out;
    auto check = [&out](const std::string &what, const std::string &expected, const std::string &got) {
        if (expected != got)
            out << "  " << what << ": expected " << expected << ", got " << got << "\n";
    };
    auto number = [](long value) { return std::to_string(value); };
    const FaultControl &m = seen.control[Monitor];
    out << Leftovers("monitor", seen.exitCode[Monitor], m) << Leftovers("/u run", seen.exitCode[Uninstall], seen.control[Uninstall])
        << ComBalance(m, FaultPropertySetSet);
    std::vector<uint32_t> events, withFollower;
    // The driver sees the event code plus 2; the phases are in event order.
    for (LONG p = PhaseSuspend; p <= (g_battery ? PhaseLeave : PhaseSessionEnd); p++) {
        if ((g_machine->events & ~e.lost & (1u << p)))
            events.push_back(p + 1);
        if ((g_machine->events & (~e.lost | (1u << e.mayFollow)) & (1u << p)))
            withFollower.push_back(p + 1);
    }
    check("Run value after start-up", e.runAfterStart, seen.runAfterStart);
    if (!(e.mayFollow && seen.events == withFollower))
        check("events at the driver", Text(events), Text(seen.events));
    if (!e.endsLater || !m.ended || m.endPhase < e.endPhase)
        check("phase the monitor ended in", number(e.endPhase), m.ended ? number(m.endPhase) : "none");
    if (e.endPhase == PhaseQuit && !e.endsLater)
        check("monitor ended on the broadcast quit", e.quitOnBroadcast ? "yes" : "no", seen.quitOnBroadcast ? "yes" : "no");
    for (LONG p = PhaseEngage; g_battery && p <= PhaseQuit; p++) {
        if (p < e.endPhase || (e.endPhase == PhaseQuit && !e.endsLater))
            check("timer period as phase " + number(p) + " began", number(e.period[p - PhaseEngage]),
                  number(seen.period[p - PhaseEngage]));
    }
    check("Run value at the end", e.runAtEnd, seen.runAtEnd);
    return out.str();
}

// The imports that cannot fail where the images call them, by why: no failure
// result, or no result; failing only for an argument the callers never pass (an
// invalid pointer, key, list, handle, record or window, a variant other than a
// BSTR or empty one); answering a question; NULL naming the executable itself;
// -1 being _vsnprintf's answer for text that does not fit, which the report
// grows for; writing the report's output: what could not be written, nobody
// would read. QueryDosDeviceA fails for a letter that names no device, which the
// report passes over, as it does A: and B: in every run that reads a device path.
// GetDriveTypeA answers DRIVE_UNKNOWN or DRIVE_NO_ROOT_DIR rather than failing.
const char NeverFailing[] =
    " GetCommandLineA lstrcmpiA lstrlenA _stricmp memchr memcmp strchr strlen strtok GetCurrentProcess"
    " GetLastError DispatchMessageA PostQuitMessage SetLastError lstrcatA lstrcpynA DestroyWindow"
    " GetWindowLongA SetWindowLongA EqualSid IsDialogMessageA IsWindow TranslateMessage GetConsoleMode"
    " GetModuleHandleA _vsnprintf GetStdHandle MultiByteToWideChar WriteConsoleW _write"
    " QueryDosDeviceA GetDriveTypeA lstrcmpA GetCurrentThread MsiRecordSetStringA MsiRecordSetInteger"
    " IsDBCSLeadByte ";

// The imports that the sweep's machines never reach, by why: the report asks
// for the installed package's version only when one is registered, which none
// is here (the package test reads it after an install).
const char NotReachedHere[] = " MsiGetProductInfoA ";

// ---- The sweep

void SetUpMachine(const Machine &machine)
{
    ASSERT_TRUE(ResetMachine());
    const SimDevice other = {OtherInstance, OtherHardwareIds, sizeof OtherHardwareIds,
                             SimDeviceImaging | SimDevicePresent | SimDeviceDriverLoaded};
    const unsigned imaging = machine.cameraImaging ? (unsigned)SimDeviceImaging : 0u;
    ASSERT_EQ(1, machine.cameraImaging || SimAddDevice(&other));
    for (int i = 1; i < machine.videoDevices; i++)
        ASSERT_EQ(1, SimAddCamera(OtherCameraName, 0));
    ASSERT_TRUE(AddSupportedCamera(CameraName, 1, imaging | SimDevicePresent | SimDeviceDriverLoaded));
    g_machine = &machine;
}

class FaultInjection : public ::testing::Test
{
protected:
    void SetUp() override { g_battery = SimBatteryAvailable() != 0; }

    void TearDown() override { ResetMachine(); }
};

#if defined(ZN_COVERAGE)
// The instrumented build's runtime brings imports, heap blocks and an exit of
// its own, so there the sweep only drives the failure paths for their
// counters; the outcome and leak checks belong to the ordinary build.
const bool g_checkOutcomes = false;
#else
const bool g_checkOutcomes = true;
#endif

// A call the sweep fails: in which machine and process, which function,
// where, when, which of the function's calls in that phase (or, negative,
// which turn of a loop there, as TurnLabels gives it), and how.
typedef std::tuple<int, LONG, DWORD, LONG, LONG, LONG> Site;

struct Tally
{
    std::set<DWORD> sites;
    std::set<LONG> classes;
    int tried = 0, failed = 0;
};

// An image's sweep: what was failed, how many runs, and the image's imports.
struct Totals
{
    std::map<LONG, Tally> tally;
    unsigned runs = 0, firstPlan = 0;
    std::string imports;
    DWORD start = GetTickCount();
};

// A loop's calls at one site in one phase with one failure class, and the
// functions called between each and the next, by their order in the trace.
typedef std::tuple<LONG, DWORD, LONG, LONG> Turn;  // function, site, phase, class

// Which turns of each loop in the trace take a path of their own, by the
// label a later run knows them by: the first (-1), the second (-2), the last
// (-3), and one followed, before the next turn, by a function that no
// earlier turn was (-1000 - that function: the monitor among the processes).
// Every other turn takes an earlier one's path again. 0: not failed.
std::vector<LONG> TurnLabels(const FaultControl &c, LONG traced, std::map<Turn, LONG> *turns)
{
    std::vector<LONG> labels(traced * 3, 0);
    std::map<Turn, std::vector<LONG>> at;
    for (LONG i = 0; i < traced; i++) {
        for (LONG v = 1; v <= FailureClasses(c.calls[i].function); v++) {
            if ((c.calls[i].classes >> (v - 1)) & 1)
                at[Turn(c.calls[i].function, c.calls[i].site, c.calls[i].phase, v)].push_back(i);
        }
    }
    for (const auto &loop : at) {
        const std::vector<LONG> &calls = loop.second;
        const LONG v = std::get<3>(loop.first);
        (*turns)[loop.first] = (LONG)calls.size();
        std::set<LONG> followed;  // by any earlier turn
        for (size_t k = 0; k < calls.size(); k++) {
            const LONG end = k + 1 < calls.size() ? calls[k + 1] : traced;
            LONG fresh = 0;
            for (LONG i = calls[k] + 1; i < end; i++) {
                if (followed.insert(c.calls[i].function).second && !fresh)
                    fresh = 1000 + c.calls[i].function;
            }
            const LONG label = k < 2 ? (LONG)k + 1 : k + 1 == calls.size() ? 3 : fresh;
            labels[calls[k] * 3 + v - 1] = -label;
        }
    }
    return labels;
}

// Adds a run for each call of the run's trace not yet failed at that site in
// that phase, with each failure class of its function, after the run's own
// failures, up to four of them: a call that comes only after more failures
// than that is a retry at each message, which goes on until one succeeds.
// Of a loop's turns only those that take a path of their own are failed, and
// in a later run only such a turn not yet failed there (the USB walk's third
// attempt) is new: a failure that changes the loop's length or its calls'
// ordinals opens no other path in it. Calls are failed only in the phases
// swept (a bit per phase; the /u run's with the quit's).
void PlanFrom(const Chain &chain, const Observation &seen, int machine, unsigned swept,
              std::set<Site> *failed, std::deque<Chain> *queue)
{
    for (int p = Monitor; p <= Uninstall && chain.size() < FaultChainCapacity; p++) {
        const FaultControl &c = seen.control[p];
        const LONG traced = std::min(c.callCount, (LONG)FaultCallCapacity);
        std::map<Turn, LONG> turns;
        const std::vector<LONG> labels = TurnLabels(c, traced, &turns);
        std::map<LONG, LONG> callsSoFar;
        std::map<std::pair<LONG, LONG>, LONG> inPhase;
        for (LONG i = 0; i < traced; i++) {
            const FaultCall &call = c.calls[i];
            const LONG n = ++callsSoFar[call.function];
            const LONG ordinal = ++inPhase[{call.function, call.phase}];
            const bool sweptHere = swept & (1u << (p == Monitor ? call.phase : (LONG)PhaseQuit));
            for (LONG v = 1; sweptHere && v <= FailureClasses(call.function); v++) {
                const LONG label = labels[i * 3 + v - 1];
                if (!label)
                    continue;
                const int where = machine * 2 + p;
                const Site byOrdinal(where, call.function, call.site, call.phase, ordinal, v);
                const Site byTurn(where, call.function, call.site, call.phase, label, v);
                const bool loop = turns[Turn(call.function, call.site, call.phase, v)] > 2;
                if (failed->count(loop ? byTurn : byOrdinal))
                    continue;
                failed->insert(byOrdinal);
                failed->insert(byTurn);
                queue->push_back(chain);
                queue->back().push_back(
                    {(Process)p, (FaultFunction)call.function, n, v, call.phase, call.site, ordinal});
            }
        }
    }
}

typedef std::function<std::unique_ptr<Observation>(const Chain &)> Runner;
// Every mismatch of a run, one "what: expected ..., got ..." per line.
typedef std::function<std::string(const Chain &, const Observation &)> Checker;

// The clean run, the runs it plans and the runs they plan in turn.
void Sweep(int machine, const char *what, Runner run, Checker check, Totals *totals, unsigned swept = ~0u)
{
    std::unique_ptr<Observation> clean = run(Chain());
    totals->imports = clean->control[Monitor].imports;
    const std::string cleanMismatch = check(Chain(), *clean);
    ASSERT_TRUE(!g_checkOutcomes || cleanMismatch.empty()) << "on " << what << " the run without a fault already "
                                                           << "differs:\n" << cleanMismatch;
    std::set<Site> failed;
    std::deque<Chain> queue;
    PlanFrom(Chain(), *clean, machine, swept, &failed, &queue);
    totals->firstPlan += queue.size();
    for (; !queue.empty(); queue.pop_front(), ++totals->runs) {
        const Chain &chain = queue.front();
        Tally &t = totals->tally[chain.back().function];
        t.tried++;
        t.sites.insert(chain.back().site);
        t.classes.insert(chain.back().variant);
        std::unique_ptr<Observation> seen = run(chain);
        std::ostringstream name;
        name << what << ":";
        std::string mismatch;
        for (size_t i = 0; i < chain.size(); i++) {
            const Fault &f = chain[i];
            name << "\n  " << (f.process == Monitor ? "" : "/u run ") << FaultFunctions[f.function].name << " call "
                 << f.call << " at +" << std::hex << f.site << std::dec << " (phase " << f.phase << ") -> "
                 << FaultFunctions[f.function].failure[f.variant - 1].text;
            const FaultPlan &fired = seen->control[f.process].faults[std::count_if(
                chain.begin(), chain.begin() + i, [&](const Fault &g) { return g.process == f.process; })];
            if (!fired.fired || fired.firedSite != f.site || fired.firedPhase != f.phase)
                mismatch += "  failure " + std::to_string(i + 1) + " did not fire at its planned site and phase\n";
        }
        if (mismatch.empty())
            mismatch = check(chain, *seen);
        if (!mismatch.empty() && g_checkOutcomes) {
            t.failed++;
            ADD_FAILURE() << name.str() << "\n" << mismatch;
        }
        PlanFrom(chain, *seen, machine, swept, &failed, &queue);
    }
}

// The table of what was failed, and whether every import of the image is
// failed or known not to fail where it is called.
void Summarise(const char *image, const Totals &totals, bool methods)
{
    printf("%-40s %6s %7s %5s  %s\n", "function", "sites", "classes", "runs", "outcome");
    size_t sites = 0, classes = 0;
    for (const auto &entry : totals.tally) {
        const Tally &t = entry.second;
        sites += t.sites.size();
        classes += t.classes.size();
        printf("%-40s %6u %7u %5d  %s\n", FaultFunctions[entry.first].name, (unsigned)t.sites.size(),
               (unsigned)t.classes.size(), t.tried,
               t.failed ? (std::to_string(t.failed) + " wrong").c_str() : "as expected, nothing left behind");
    }
    printf("%s: %u runs in %lu ms, %u planned from the clean runs, %u more by the closure; %u sites, %u failure "
           "classes\n", image, totals.runs, GetTickCount() - totals.start, totals.firstPlan,
           totals.runs - totals.firstPlan, (unsigned)sites, (unsigned)classes);
    if (!g_checkOutcomes)
        return;
    std::istringstream names(totals.imports);
    const std::vector<std::string> imports{std::istream_iterator<std::string>(names), std::istream_iterator<std::string>()};
    EXPECT_FALSE(imports.empty()) << "expected the imports of " << image << ", got none";
    for (int f = 0; f < FaultFunctionCount; f++) {
        const bool method = methods && strstr(FaultFunctions[f].name, "::") != NULL;
        const bool imported = std::find(imports.begin(), imports.end(), FaultFunctions[f].name) != imports.end();
        const bool reached = !strstr(NotReachedHere, (std::string(" ") + FaultFunctions[f].name + " ").c_str());
        EXPECT_TRUE(totals.tally.count(f) || !FailureClasses(f) || !(method || imported) || !reached)
            << FaultFunctions[f].name << " can fail: expected in the table, but the run never called it";
    }
    for (const std::string &import : imports) {
        bool known = false;
        for (const FaultFunctionInfo &info : FaultFunctions)
            known = known || import == info.name;
        known = known || strstr(NeverFailing, (" " + import + " ").c_str());
        EXPECT_TRUE(known) << image << " imports " << import << ": expected it failed here or listed as unable to fail";
    }
}

TEST_F(FaultInjection, EveryPlatformCallFailsOnceWithoutCrashLeakOrWrongOutcome)
{
    if (!g_battery)
        printf("no simulated battery here: the two battery ticks are left out\n");
    EXPECT_TRUE(g_battery || !EveryTestMustRun()) << "no simulated battery here, and CI=true needs the ticks";
    Totals totals;
    std::set<std::pair<const Rule *, LONG>> used;  // each rule, with each of its functions
    const Checker check = [&used](const Chain &chain, const Observation &seen) {
        std::vector<const Rule *> rules;
        for (const Fault &f : chain) {
            rules.push_back(FindRule(f));
            if (!rules.back())
                return std::string("  no expected outcome is known for this failure\n");
        }
        if (!chain.empty())
            used.insert({rules.back(), chain.back().function});
        return Compare(Expect(chain, rules), seen);
    };
    for (int machine = 0; machine < (int)(sizeof Machines / sizeof Machines[0]); machine++) {
        SetUpMachine(Machines[machine]);
        Sweep(machine, Machines[machine].name, RunScenario, check, &totals, Machines[machine].swept);
        if (HasFatalFailure())
            return;  // the clean run already differs: nothing else is told
    }
    Summarise("ZN374Mon.exe on 2 machines", totals, true);
    for (const Rule &rule : Rules) {
        for (FaultFunction function : rule.functions) {
            EXPECT_TRUE(!g_checkOutcomes || used.count({&rule, function}) || (!g_battery && (rule.phases & ~InTicks) == 0))
                << "the rule for " << FaultFunctions[function].name << " (phases " << rule.phases << ", call "
                << rule.ordinal << ", class " << rule.variant << "): expected to decide a run, but it matched none";
        }
    }
}

// ---- The status report, swept the same way with a monitor running

// What a failed reading makes the report print, from docs/status-report.md
// and the design: the reason code when the monitor would not run (NULL: it
// runs; "*": a code the page does not name), and the facts it must show, each
// "key=text": a line of that key holding the text, where %lu or 0x%lx stands
// for the code injected; "a|b": either, as the call's process is the monitor
// or not.
struct ReportRule
{
    std::vector<FaultFunction> functions;
    LONG ordinal;  // which call of the function, or AnyCall
    LONG variant;  // failure class; 0: any
    const char *reasonCode;
    std::vector<const char *> facts;
};

const char Unknown[] = "summary=at the next log-on unknown (error %lu)";
const char NoRun[] = "summary=at the next log-on unknown: the Run value cannot be read (error %lu)";
const char NoProgram[] = "summary=at the next log-on nothing starts: Windows finds no program";
// The process counted among those that could not be checked, or it is the
// monitor. The sweep's machine has every other process checked (under WOW64,
// where a 64-bit Windows' own processes are not, the report is run clean only).
const char Unchecked[] = "monitors.unchecked=1 (error %lu)|monitors.0.installed=unknown (error %lu)";
const char NoEvent[] = "summary=, but no event would reach its driver: the ";
const char Policy[] = "autostart.policy_machine=unreadable (error %lu)|autostart.policy_user=unreadable (error %lu)";
const char LongPath[] = "autostart.file_exists=unreadable (error 122)";  // ERROR_INSUFFICIENT_BUFFER

// The first rule that fits a failure gives its outcome.
const ReportRule ReportRules[] = {
    {{FaultGetModuleFileNameA, FaultGetFileVersionInfoSizeA, FaultGetFileVersionInfoA}, 1, 0, NULL,
     {"report.version=unreadable (error %lu)"}},
    {{FaultVerQueryValueA}, 1, 0, NULL, {"report.version=unreadable (error "}},
    {{Faultmalloc}, 1, 0, NULL, {"report.version=unreadable (error 8)"}},  // ERROR_NOT_ENOUGH_MEMORY
    {{FaultGetFileVersionInfoSizeA, FaultGetFileVersionInfoA}, 2, 0, NULL,
     {"autostart.file_version=unreadable (error %lu)"}},
    {{FaultVerQueryValueA}, 2, 0, NULL, {"autostart.file_version=unreadable (error "}},
    {{Faultmalloc}, 5, 0, NULL, {"autostart.file_version=unreadable (error 8)"}},
    {{Faultmalloc}, 4, 0, NULL, {"autostart.file_exists=unreadable (error 8)"}},
    {{FaultGetVersionExA}, 1, 0, NULL, {"windows.version=unreadable (error %lu)"}},
    // The extended record refused: the plain one tells the monitor's answer.
    {{FaultGetVersionExA}, AnyCall, 0, NULL, {"windows.supported=unreadable (error %lu)"}},
    // The probe's buffers: the search has no answer, and says why.
    {{Faultmalloc}, AnyCall, 0, "no-memory", {"search.no_memory="}},
    {{FaultSetupDiGetClassDevsA}, AnyCall, 0, "class-list", {"search.class_list_error=%lu"}},
    // The list ends early (the USB walk finds the camera), or fails.
    {{FaultSetupDiEnumDeviceInfo}, AnyCall, 1, NULL, {"search.usb_walk=run"}},
    {{FaultSetupDiEnumDeviceInfo}, AnyCall, 2, NULL, {"search.class_walk_error=%lu"}},
    {{FaultCM_Get_DevNode_Registry_PropertyA}, 1, 2, NULL, {"search.usb_walk=run"}},
    {{FaultCM_Get_Device_IDA}, 1, 0, NULL, {"search.0.instance=unreadable (CONFIGRET 0x%lx)"}},
    {{FaultCM_Get_Device_IDA}, 2, 0, NULL, {"camera.instance=unreadable (CONFIGRET 0x%lx)"}},
    {{FaultCM_Get_DevNode_Registry_PropertyA}, 1, 0, NULL,
     {"search.0.hardware_ids=unreadable (CONFIGRET 0x%lx)"}},
    {{FaultCM_Get_DevNode_Registry_PropertyA}, 2, 1, "no-camera",
     {"search.1.hardware_ids=unreadable (CONFIGRET 0x%lx)"}},
    {{FaultCM_Get_DevNode_Registry_PropertyA}, 2, 2, "ids-too-long", {"search.1.supported=yes, beyond"}},
    {{FaultCM_Get_DevNode_Registry_PropertyA}, 2, 3, "reading-failed",
     {"search.1.hardware_ids=unreadable (CONFIGRET 0x%lx)"}},
    {{FaultCM_Get_Device_ID_List_SizeA}, AnyCall, 0, "usb-list", {"search.usb_count_error=0x%lx"}},
    // A device arrived since the size was asked: asked again.
    {{FaultCM_Get_Device_ID_ListA}, AnyCall, 2, NULL, {"search.usb_list_retries=1"}},
    {{FaultCM_Get_Device_ID_ListA}, AnyCall, 1, "usb-list", {"search.usb_list_error=0x%lx"}},
    {{FaultCM_Locate_DevNodeA}, AnyCall, 1, "no-camera", {"search.1.locate_error=0x%lx"}},
    {{FaultCM_Locate_DevNodeA}, AnyCall, 2, "reading-failed", {"search.1.locate_error=0x%lx"}},
    {{FaultCM_Get_DevNode_Status}, AnyCall, 1, "driver-not-loaded",
     {"search.1.driver_loaded=unknown (CONFIGRET 0x%lx"}},
    {{FaultCM_Get_DevNode_Status}, AnyCall, 2, "reading-failed",
     {"search.1.driver_loaded=unknown (CONFIGRET 0x%lx"}},
    {{FaultCM_Open_DevNode_Key}, AnyCall, 0, NULL,
     {"camera.driver_key_error=0x%lx", "summary=ZN374Mon would run for camera \"\""}},
    {{FaultRegQueryValueExA}, 1, 0, NULL, {"camera.driver_desc_read=error %lu"}},
    {{FaultRegQueryValueExA}, 2, 0, NULL, {"camera.friendly_name_read=error %lu"}},
    {{FaultRegQueryValueExA}, 3, 1, "no-suspend-value", {"camera.selective_suspend_read=error %lu"}},
    {{FaultRegQueryValueExA}, 3, 2, "suspend-size", {"camera.selective_suspend_read=error %lu"}},
    {{FaultRegQueryValueExA}, 3, 3, "reading-failed", {"camera.selective_suspend_read=error %lu"}},
    {{FaultCoInitialize}, AnyCall, 1, NULL, {"directshow.reason.code=com", NoEvent}},
    // In another apartment, or initialised before: the walk goes on.
    {{FaultCoInitialize}, AnyCall, 0, NULL, {"directshow.property_set=yes"}},
    {{FaultCoCreateInstance}, AnyCall, 0, NULL, {"directshow.reason.code=enumerator", NoEvent}},
    {{FaultCreateClassEnumerator}, AnyCall, 1, NULL, {"directshow.reason.code=category", NoEvent}},
    {{FaultCreateClassEnumerator}, AnyCall, 2, NULL, {"directshow.inputs=0 (the category is empty)"}},
    {{FaultEnumMonikerNext}, AnyCall, 1, NULL, {"directshow.inputs=0", "directshow.reason.code=no-device"}},
    {{FaultEnumMonikerNext}, AnyCall, 2, NULL, {"directshow.inputs=0, then HRESULT 0x%08lx"}},
    {{FaultBindToStorage, FaultPropertyBagRead}, AnyCall, 0, NULL,
     {"directshow.input.0=name unreadable (HRESULT 0x%08lx)"}},
    {{FaultWideCharToMultiByte}, AnyCall, 0, NULL, {"directshow.input.0=name not converted (error %lu)"}},
    {{FaultBindToObject}, AnyCall, 0, NULL, {"directshow.reason.code=bind", NoEvent}},
    {{FaultQueryInterface}, AnyCall, 0, NULL, {"directshow.reason.code=property-set", NoEvent}},
    {{FaultOpenProcessToken, FaultGetTokenInformation, FaultLookupAccountSidA}, AnyCall, 0, NULL,
     {"power.account=unknown (error %lu)"}},
    {{FaultGetCurrentPowerPolicies, FaultGetSystemPowerStatus}, AnyCall, 0, NULL,
     {"power.readings=failed (error %lu)"}},
    // The policies are read first, the machine's, then the user's: unread,
    // they leave unknown whether the monitor starts.
    {{FaultRegOpenKeyExA}, 1, 0, NULL, {"autostart.policy_machine=unreadable (error %lu)", Unknown}},
    {{FaultRegOpenKeyExA}, 2, 0, NULL, {"autostart.policy_user=unreadable (error %lu)", Unknown}},
    {{FaultRegOpenKeyExA}, AnyCall, 0, NULL, {"autostart.read=error %lu", NoRun}},
    // The policies' values, after the camera's three (both keys there, see
    // below): absent or no REG_DWORD, not set; unread, unknown.
    {{FaultRegQueryValueExA}, 4, 3, NULL, {Policy, Unknown}},
    {{FaultRegQueryValueExA}, 5, 3, NULL, {Policy, Unknown}},
    {{FaultRegQueryValueExA}, 4, 0, NULL, {"autostart.starts_monitor=yes"}},
    {{FaultRegQueryValueExA}, 5, 0, NULL, {"autostart.starts_monitor=yes"}},
    // The Run value absent, or gone between its size and its data.
    {{FaultRegQueryValueExA}, AnyCall, 1, NULL, {"summary=at the next log-on nothing starts (no Run value)"}},
    {{FaultRegQueryValueExA}, AnyCall, 0, NULL, {"autostart.read=error %lu", NoRun}},
    {{Faultcalloc}, 3, 0, NULL, {"autostart.read=error 14", "summary=be read (error 14)"}},  // ERROR_OUTOFMEMORY
    {{FaultExpandEnvironmentStringsA, FaultGetFileAttributesA}, AnyCall, 1, NULL,
     {"autostart.file_exists=unreadable (error %lu)", Unknown}},
    {{FaultExpandEnvironmentStringsA, FaultSearchPathA}, AnyCall, 2, NULL, {LongPath}},
    {{FaultSearchPathA, FaultGetFileAttributesA}, AnyCall, 0, NULL, {"autostart.file_exists=no", NoProgram}},
    {{FaultGetWindowsDirectoryA}, 1, 1, NULL, {"autostart.installed_monitor=unreadable (error %lu)"}},
    {{FaultGetWindowsDirectoryA}, 1, 2, NULL, {"autostart.installed_monitor=unreadable (error 122)"}},
    {{FaultCreateToolhelp32Snapshot}, AnyCall, 0, NULL, {"monitors.count=unreadable (error %lu)"}},
    {{Faultcalloc}, 4, 0, NULL, {"monitors.count=unreadable (error 8)"}},
    // The IDs of a device that find no memory.
    {{Faultcalloc}, AnyCall, 0, NULL, {"report.facts_lost="}},
    // The installed file unreadable: no process can be matched to it.
    {{FaultGetWindowsDirectoryA}, 2, 1, NULL, {"monitors.0.installed=unknown (error %lu)"}},
    {{FaultGetWindowsDirectoryA}, 2, 2, NULL, {"monitors.0.installed=unknown (error 122)"}},
    // The Run program told by its file: the installed file's identity, the
    // program's, then the installed file's again for the monitors.
    {{FaultCreateFileA, FaultGetFileInformationByHandle}, 1, 0, NULL,
     {"autostart.installed_monitor=unreadable (error %lu)", Unknown}},
    {{FaultCreateFileA, FaultGetFileInformationByHandle}, 2, 0, NULL,
     {"autostart.installed_monitor=unreadable (error %lu)", Unknown}},
    {{FaultCreateFileA, FaultGetFileInformationByHandle}, 3, 0, NULL, {"monitors.0.installed=unknown (error %lu)"}},
    // The process list ends early: the monitor is listed if it came before.
    // Listed late: the report has no deadline.
    {{FaultProcess32First}, AnyCall, 2, NULL, {"monitors.0.installed=yes"}},
    {{FaultProcess32First}, AnyCall, 0, NULL, {"monitors.count=0"}},
    {{FaultProcess32Next}, AnyCall, 0, NULL, {"monitors.count=0|monitors.count=1"}},
    {{FaultOpenProcess, FaultEnumProcessModules, FaultCreateFileA, FaultGetFileInformationByHandle,
      FaultGetMappedFileNameA}, AnyCall, 1, NULL, {Unchecked}},
    // Windows' spelling of the same file: the monitor is still recognised.
    {{FaultGetMappedFileNameA}, AnyCall, 2, NULL, {"monitors.0.installed=yes"}},
    // An image on a share is another file, the monitor's or not, and is not opened.
    {{FaultGetMappedFileNameA}, AnyCall, 3, NULL, {"monitors.0.installed=no|monitors.0.installed=yes"}},
    {{FaultGetProcAddress}, AnyCall, 0, NULL, {"monitors.0.session=unknown (error %lu)"}},
    {{FaultGetModuleFileNameExA}, AnyCall, 0, NULL, {"monitors.0.image=unreadable (error %lu)"}},
    {{FaultMsiEnumRelatedProductsA}, AnyCall, 0, NULL, {"package.product_code=unreadable (error %lu)"}},
    // A fact, or a monitor's process ID, that finds no memory is counted as lost.
    {{Faultrealloc}, AnyCall, 0, NULL, {"report.facts_lost="}},
};

const ReportRule *FindReportRule(const Fault &fault)
{
    for (const ReportRule &rule : ReportRules) {
        if (std::count(rule.functions.begin(), rule.functions.end(), fault.function) &&
            (rule.ordinal == AnyCall || rule.ordinal == fault.ordinal) &&
            (rule.variant == 0 || rule.variant == fault.variant))
            return &rule;
    }
    return NULL;
}

std::unique_ptr<Observation> RunReport(const Chain &chain)
{
    std::unique_ptr<Observation> seen(new Observation);
    OutputFile output;
    {
        ProbedProcess report;
        const std::string exe = MonitorExePath().substr(0, MonitorExePath().rfind('\\') + 1) + "ZN374Stat.exe";
        if (!StartProbed(exe, "/values", chain, Monitor, PhaseStart, &report, output.handle))
            ADD_FAILURE() << "cannot start the probed report, error " << GetLastError();
        seen->exitCode[Monitor] = WaitForExitCode(report, WaitMs);
        seen->control[Monitor] = *report.control;
    }
    seen->output = output.Text();
    seen->output.erase(std::remove(seen->output.begin(), seen->output.end(), '\r'), seen->output.end());
    return seen;
}

// Whether a line of the output has the fact's key and holds its text; of
// "a|b", either.
bool Shows(const std::string &output, const std::string &fact)
{
    const size_t bar = fact.find('|'), equals = fact.find('=') + 1;
    if (bar != std::string::npos)
        return Shows(output, fact.substr(0, bar)) || Shows(output, fact.substr(bar + 1));
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, equals, fact, 0, equals) == 0 && line.find(fact.substr(equals), equals) != line.npos)
            return true;
    }
    return false;
}

std::set<const ReportRule *> g_usedReportRules;

// The report's outcome: that of its failure's rule (the exit code, verdict
// and reason code, the facts, but where the failure lost a fact); a run that
// adds failures at sites the first one opened, only the exit code 0 or 1.
// Every run: one verdict line, COM initialised and uninitialised as the
// design says, and nothing left behind.
std::string CheckReport(const Chain &chain, const Observation &seen)
{
    const FaultControl &c = seen.control[Monitor];
    const ReportRule *rule = chain.size() == 1 ? FindReportRule(chain[0]) : NULL;
    if (chain.size() == 1 && !rule)
        return "  no expected outcome is known for this failure\n";
    g_usedReportRules.insert(rule);
    const char *reason = rule ? rule->reasonCode : NULL;
    const bool lost = rule && rule->functions[0] == Faultrealloc;
    std::vector<std::string> facts;
    for (size_t i = 0; rule && i < rule->facts.size(); i++) {
        char text[256];
        const unsigned long code = c.faults[0].code;
        snprintf(text, sizeof text, rule->facts[i], code, code);
        facts.push_back(text);
    }
    if (!lost && chain.size() < 2)
        facts.push_back(std::string("verdict=") + (reason ? "does-not-run" : "runs"));
    std::ostringstream out;
    out << Leftovers("report", 0, c) << ComBalance(c, FaultCoInitialize);
    if (chain.size() < 2 ? seen.exitCode[Monitor] != (reason ? 1u : 0u) : seen.exitCode[Monitor] > 1)
        out << "  exit code: expected " << (chain.size() > 1 ? "0 or 1" : reason ? "1" : "0") << ", got "
            << seen.exitCode[Monitor] << "\n";
    const std::string code = "\nreason.code=" + std::string(reason ? reason : "") + "\n";
    const bool named = !reason || strcmp(reason, "*") != 0;
    // The reading failed, or was answered: whether the monitor leaves the Run value.
    const std::set<std::string> unanswered = {"class-list", "usb-list", "no-memory", "reading-failed"};
    const char *retries = !reason ? "" : unanswered.count(reason) ? "yes" : "no";
    const std::string again = "\nreason.tries_again=" + std::string(retries) + "\n";
    if (!lost && chain.size() < 2 && named && ("\n" + seen.output).find(again) == std::string::npos)
        out << "  tries again: expected" << again << "  got another\n";
    if (chain.size() < 2 && !lost && named && ("\n" + seen.output).find(code) == std::string::npos)
        out << "  reason code: expected" << code << "  got another\n";
    for (const std::string &fact : facts) {
        if (!Shows(seen.output, fact))
            out << "  fact: expected " << fact << ", got none\n";
    }
    const std::regex verdict("(^|\n)summary=");
    const auto verdicts = std::distance(std::sregex_iterator(seen.output.begin(), seen.output.end(), verdict), {});
    if (verdicts != 1)
        out << "  verdict lines: expected 1, got " << verdicts << "\n";
    return out.str().empty() ? "" : out.str() + "  in:\n" + seen.output;
}

const char PoliciesKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

TEST_F(FaultInjection, ReportFailsEachReadingWithOneVerdictItsCodeAndNothingLeft)
{
    SetUpMachine(Machines[0]);
    // Both hives' Explorer policies there without the value, as where other
    // policies are set, so that the report reads both values.
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        HKEY key = NULL;
        RegCreateKeyExA(root, PoliciesKeyPath, 0, NULL, 0, KEY_READ, NULL, &key, NULL);
        RegCloseKey(key);
    }
    const std::string installed = CopyMonitorExe(WindowsDirectory(), "ZN374Mon.exe");
    WriteRunValue(installed);
    ProgramRun monitor;
    ASSERT_TRUE(StartProgram(installed, "", &monitor));
    HWND window = WaitForMonitorWindow(monitor, WaitMs);
    ASSERT_TRUE(window != NULL) << "expected a running monitor for the report to find, got none";
    // Under WOW64 (Windows XP x64 Edition) the same image takes the same
    // failure paths as here on a 32-bit machine: there its clean run is
    // checked alone, for what WOW64 may change (its output, leaks, COM).
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    Totals totals;
    Sweep(2, "the status report", RunReport, CheckReport, &totals, wow64 ? 0u : ~0u);
    if (wow64)
        printf("ZN374Stat.exe under WOW64: the clean run, its output, leaks and COM checked\n");
    else if (!HasFatalFailure())
        Summarise("ZN374Stat.exe", totals, false);
    for (const ReportRule &rule : ReportRules) {
        EXPECT_TRUE(!g_checkOutcomes || wow64 || HasFatalFailure() || g_usedReportRules.count(&rule)) << "the report's rule for "
            << FaultFunctions[rule.functions[0]].name << " (call " << rule.ordinal << ", class " << rule.variant
            << "): expected to decide a run, but it matched none";
    }
    PostMessageA(window, RegisterWindowMessageA("ZN374-Quit Message"), 0, 0);
    EXPECT_EQ(0u, WaitForExitCode(monitor, WaitMs));
    DeleteFileA(installed.c_str());
}

// ---- The package's custom actions, each called in the stand-in installer's process

// What is around the action: one stand-in process at most, a copy of the host.
enum World { Nothing, MonitorEndsWhenAsked, MonitorNeverEnds, FileHeld, RunKeyAbsent, PolicyOff };

const struct ActionScenario
{
    const char *action;
    World world;
    const char *dataPrefix;  // of CustomActionData, before the installed file's path
    const char *what;
    bool swept = true;  // else its clean run alone: its failures repeat another's path
} ActionScenarios[] = {
    {"CheckInteractiveLogon", Nothing, "", "as Wine's one user, a person at an interactive log-on"},
    {"SetRunCommand", Nothing, "", ""},
    {"RestartMonitor", Nothing, "1|", "for a person"},
    {"RestartMonitor", Nothing, "|", "for an account nobody sees"},
    {"RestartMonitor", Nothing, "1", "with data that lacks its bar", false},
    {"EndMonitor", Nothing, "", ""},
    {"EndRemainingMonitors", MonitorEndsWhenAsked, "", "a monitor ending in the grace period"},
    {"EndRemainingMonitors", MonitorNeverEnds, "", "a monitor that must be ended"},
    {"EndRemainingMonitors", FileHeld, "", "the file held by another process"},
    {"CreateRunKey", Nothing, "", "the Run key there"},
    {"CheckRunListPolicy", Nothing, "", "no policy set"},
    {"CheckRunListPolicy", PolicyOff, "", "the policy 0, which is not set", false},
    {"CreateRunKey", RunKeyAbsent, "", "the Run key absent"}};

// What a failure keeps an action from doing ("The package" in docs/design.md).
enum ActionStep
{
    AllDone, NoData, PersonUnknown, NotStarted, NotEnded, KeyNotCreated, PolicyUnread
};

struct ActionEffect
{
    ActionStep step;
    bool logged;  // the design has the action log the failure's code
};

// What each function's failure keeps an action from doing, where EffectOf
// finds that it changes something.
const std::map<LONG, ActionEffect> ActionEffects = {
    {FaultMsiGetPropertyA, {NoData, false}}, {FaultGetWindowsDirectoryA, {NoData, false}},
    {FaultMsiSetPropertyA, {NoData, false}}, {FaultCreateProcessA, {NotStarted, true}},
    {FaultOpenThreadToken, {PersonUnknown, true}}, {Faultmalloc, {PersonUnknown, true}},
    {FaultOpenProcessToken, {PersonUnknown, true}},
    {FaultGetTokenInformation, {PersonUnknown, true}},
    {FaultCreateToolhelp32Snapshot, {NotEnded, true}}, {FaultProcess32First, {NotEnded, false}},
    {FaultOpenProcess, {NotEnded, false}}, {FaultEnumProcessModules, {NotEnded, false}},
    {FaultGetMappedFileNameA, {NotEnded, false}}, {FaultTerminateProcess, {NotEnded, false}},
    {FaultCreateFileA, {NotEnded, false}}, {FaultGetFileInformationByHandle, {NotEnded, false}},
    {FaultRegCreateKeyExA, {KeyNotCreated, true}}, {FaultRegOpenKeyExA, {PolicyUnread, true}},
    {FaultRegQueryValueExA, {PolicyUnread, true}}};

std::set<LONG> g_usedEffects;  // the entries that decided a run

// The installed file's identity is read first (its failure is logged), then
// the image's of each process; the file is tried for writing last, which
// decides no end. An image named by its device path is opened through
// "\\?\GLOBALROOT" first (which Wine's does not open), then through its
// drive letter: that failure changes nothing.
ActionEffect EffectOf(const Fault &f, bool devicePath, const FaultControl &c)
{
    const auto effect = ActionEffects.find(f.function);
    const bool file =
        f.function == FaultCreateFileA || f.function == FaultGetFileInformationByHandle;
    const FaultCall *end = c.calls + std::min(c.callCount, (LONG)FaultCallCapacity);
    const bool forWriting = std::any_of(c.calls, end, [&f](const FaultCall &call) {
        return call.function == FaultCreateFileA && call.site == f.site && call.classes == 3;
    });
    // Windows' spelling of the image's file still names it; the policy's
    // value absent or larger than a DWORD is not set. A monitor's file not in
    // place (ERROR_FILE_NOT_FOUND) is expected in a rollback, and has no code.
    if ((f.function == FaultGetMappedFileNameA && f.variant == 2) || forWriting ||
        (f.function == FaultCreateFileA && devicePath && f.ordinal == 2) ||
        (f.function == FaultRegQueryValueExA && f.variant != 3) || effect == ActionEffects.end())
        return {AllDone, false};
    g_usedEffects.insert(f.function);
    if (f.function == FaultCreateProcessA && f.variant == 2)
        return {NotStarted, false};
    if (file)
        return {NotEnded, f.ordinal == 1};
    return effect->second;
}

// What an action's run shows, as the test words it.
std::string ActionOutcome(UINT result, const std::string &properties, const char *standIn,
                          bool started, bool key)
{
    return "returned " + std::to_string(result) + "\nproperties set: " + properties +
           "\nstand-in: " + standIn + "\nmonitor started: " + (started ? "yes" : "no") +
           "\nRun key: " + (key ? "present" : "absent");
}

// What the action must do ("The package" in docs/design.md), given the
// chain's failures: its answer, the properties it sets, whether the stand-in
// runs on or ended (by itself, with the monitor's exit code 0, or by the
// action), a monitor was started and the Run key is there; and each failure
// the design has it log, its code in the log.
std::string CheckAction(const ActionScenario &s, const Chain &chain, const Observation &seen)
{
    const FaultControl &c = seen.control[Monitor];
    const std::string action = s.action;
    std::set<ActionStep> undone;
    std::string mismatch;
    bool devicePath = false;  // the image named by its device path
    // A record not made may take any line.
    const bool linesLost = std::any_of(chain.begin(), chain.end(), [](const Fault &f) {
        return f.function == FaultMsiCreateRecord;
    });
    for (size_t i = 0; i < chain.size(); i++) {
        const ActionEffect effect = EffectOf(chain[i], devicePath, c);
        undone.insert(effect.step);
        const LONG function = chain[i].function;
        devicePath = devicePath || (function == FaultGetMappedFileNameA && chain[i].variant == 2);
        const DWORD code = function == Faultmalloc ? ERROR_NOT_ENOUGH_MEMORY : c.faults[i].code;
        const std::regex number("(^|\\D)" + std::to_string(code) + "(\\D|$)");
        if (effect.logged && !linesLost && !std::regex_search(seen.log, number))
            mismatch += "  the failure's code " + std::to_string(code) +
                        ": expected in the log, got:\n" + seen.log;
    }
    const bool noData = undone.count(NoData), person = !undone.count(PersonUnknown);
    std::string properties;
    if (action == "SetRunCommand" && !noData)
        properties = "MonitorRunCommand=" + WrittenValue() + "\n";
    if (action == "CheckInteractiveLogon" && !noData)
        properties = std::string("InteractiveLogon=") + (person ? "1" : "") + "\n";
    const char *standIn = "none";
    if (c.shown)
        standIn = s.world == FileHeld || noData || undone.count(NotEnded) ? "running" : "ended";
    if (c.shown && !strcmp(standIn, "ended"))
        standIn = s.world == MonitorNeverEnds ? "ended by the action" : "ended by itself";
    const bool started = action == "RestartMonitor" && !strcmp(s.dataPrefix, "1|") && !noData &&
                         !undone.count(NotStarted);
    const UINT result = action == "SetRunCommand" && noData ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
    const bool key = s.world != RunKeyAbsent || !undone.count(KeyNotCreated);
    const std::string expected = ActionOutcome(result, properties, standIn, started, key);
    if (seen.output != expected)
        mismatch += "  expected:\n" + expected + "\n  got:\n" + seen.output + "\n";
    if (s.world == PolicyOff && chain.empty() && !seen.log.empty())
        mismatch += "  a policy that is not set: expected no log line, got:\n" + seen.log;
    return Leftovers(s.action, 0, c) + mismatch;
}

std::string ActionsFolder()
{
    return WindowsDirectory() + "\\zn374actions\\";
}

// The action called with the chain's failures in its world.
std::unique_ptr<Observation> RunAction(const ActionScenario &s, const Chain &chain)
{
    std::unique_ptr<Observation> seen(new Observation);
    const std::string installed = ActionsFolder() + "ZN374Mon.exe";
    const std::string hostPath = BuildFilePath(ZN_ACTIONS_HOST_UNIX_PATH);
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, FAULT_READY_EVENT);
    const bool asked = s.world == MonitorEndsWhenAsked;
    HANDLE quit = CreateEventA(NULL, TRUE, FALSE, asked ? FAULT_QUIT_EVENT : NULL);
    ProgramRun standIn;
    if (s.world == FileHeld)
        StartProgram(hostPath, installed, &standIn);
    else if (asked || s.world == MonitorNeverEnds)
        StartProgram(installed, "", &standIn);
    if (standIn.info.hProcess && WaitForSingleObject(ready, WaitMs) != WAIT_OBJECT_0)
        ADD_FAILURE() << "the stand-in process: expected it ready, got no sign of it";
    if (s.world == RunKeyAbsent)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, RunKeyPath);
    HKEY policy = NULL;
    const DWORD off = 0;
    if (s.world == PolicyOff && !RegCreateKeyExA(HKEY_LOCAL_MACHINE, PoliciesKeyPath, 0, NULL, 0,
                                                 KEY_SET_VALUE, NULL, &policy, NULL))
        RegSetValueExA(policy, "DisableLocalMachineRun", 0, REG_DWORD, (const BYTE *)&off, 4);
    const std::string session =
        "\nCustomActionData=" + (s.dataPrefix + installed) + "\nMonitorFileName=ZN374Mon.exe\n";
    const auto prepare = [&](FaultControl *c) {
        lstrcpynA(c->image, BuildFilePath(ZN_ACTIONS_DLL_UNIX_PATH).c_str(), MAX_PATH);
        lstrcpynA(c->action, s.action, sizeof c->action);
        lstrcpynA(c->session, session.c_str(), sizeof c->session);
        c->shown = standIn.info.dwProcessId;
    };
    ProbedProcess host;
    if (!StartProbed(hostPath, "", chain, Monitor, PhaseStart, &host, NULL, prepare))
        ADD_FAILURE() << "cannot start the probed action host, error " << GetLastError();
    const UINT result = WaitForExitCode(host, WaitMs);
    seen->control[Monitor] = *host.control;
    DWORD standInCode = STILL_ACTIVE;
    GetExitCodeProcess(standIn.info.hProcess, &standInCode);
    HANDLE started = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, host.control->started);
    const bool startedRuns = WaitForSingleObject(started, 0) == WAIT_TIMEOUT;
    for (HANDLE process : {standIn.info.hProcess, started}) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, WaitMs);
    }
    CloseHandle(started);
    RegDeleteValueA(policy, "DisableLocalMachineRun");
    RegCloseKey(policy);
    // The Run key as the action left it, made again for the next run.
    HKEY key = NULL;
    DWORD found = 0;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, NULL, 0, KEY_READ, NULL, &key, &found);
    RegCloseKey(key);
    // What the action appended: a property set is "name=value", a log line
    // begins with the action's name.
    std::istringstream lines(host.control->session + session.size());
    std::string properties;
    for (std::string line; std::getline(lines, line);)
        (line.find(' ') < line.find('=') ? seen->log : properties) += line + "\n";
    const char *ended = standInCode ? "ended by the action" : "ended by itself";
    const bool runs = standInCode == STILL_ACTIVE;
    seen->output = ActionOutcome(result, properties,
                                 standIn.info.hProcess ? (runs ? "running" : ended) : "none",
                                 startedRuns, found == REG_OPENED_EXISTING_KEY);
    CloseHandle(quit);
    CloseHandle(ready);
    return seen;
}

TEST_F(FaultInjection, ActionsFailEachCallWithTheDesignsOutcomeAndNothingLeft)
{
    CreateDirectoryA(ActionsFolder().c_str(), NULL);
    const std::string host = BuildFilePath(ZN_ACTIONS_HOST_UNIX_PATH);
    ASSERT_TRUE(CopyFileA(host.c_str(), (ActionsFolder() + "ZN374Mon.exe").c_str(), FALSE))
        << "copying the host: expected success, got error " << GetLastError();
    Totals totals;
    for (const ActionScenario &s : ActionScenarios) {
        const Runner run = [&s](const Chain &chain) { return RunAction(s, chain); };
        const Checker check = [&s](const Chain &chain, const Observation &seen) {
            return CheckAction(s, chain, seen);
        };
        const std::string what = s.action + std::string(", ") + s.what;
        Sweep(3, what.c_str(), run, check, &totals, s.swept ? ~0u : 0u);
        if (HasFatalFailure())
            return;  // the clean run already differs: nothing else is told
    }
    Summarise("ZN374Actions.dll", totals, false);
    for (const auto &effect : ActionEffects) {
        EXPECT_TRUE(!g_checkOutcomes || g_usedEffects.count(effect.first))
            << "the actions' entry for " << FaultFunctions[effect.first].name
            << ": expected to decide a run, but it matched none";
    }
}

}  // namespace
