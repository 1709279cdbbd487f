// zn_bench: measures ZN374Mon.exe on the simulated machine and prints one
// table, each figure beside a floor taken in the same run. scripts/bench.sh
// runs it on a fresh prefix with everything pinned to one core.
//   zn_bench [SAMPLES [ENDURANCE_EVENTS]]     (defaults 200 and 10000)
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/common.h"
#include "design_floor.h"
#include "devtree.h"
#include "process_meter.h"
#include "simkit.h"

namespace {

const char CameraName[] = "ZN374 USB Camera";
const wchar_t CameraNameW[] = L"ZN374 USB Camera";
const char MonitorExe[] = "ZN374Mon.exe";
const char MinimalExe[] = "zn_bench_minimal.exe";
const char ExitExe[] = "zn_bench_exit.exe";
const char WalkFloorExe[] = "zn_bench_walk.exe";
const DWORD WindowTimeoutMs = 20000;
const DWORD SendTimeoutMs = 30000;
const int StartRuns = 15;
const int EventWarmUp = 10;
const int EnduranceWarmUp = 100;
const int DeviceCounts[] = {1, 16, 64};
// Device trees of the start-up rows, smallest first (two at least): the
// third argument, as "16,256,1024", or these; and the starts on each (see
// MeasureStarts).
enum { MaxTrees = 8 };
int g_TreeSizes[MaxTrees] = {16, 256, 1024};
int g_TreeCount = 3;
const int TreeStarts = 8;
const int MaxTreeStarts = 32;
const double TreeStartSeconds = 8;
const double StartUpMargin = 1.15;
const unsigned CriticalLevel = 5;
const double SizeBudget = 12288;
const double IdleMargin = 1.10;
const double SuspendMargin = 1.15;
// At one device the monitor's own COM start-up for each event weighs most.
const double SingleDeviceMargin = 1.30;
// Private bytes grow in steps as the heap commits more memory, not event by
// event: one step beside the floor's is no leak, while a leak of 13 bytes per
// event would pass it within 10,000 events.
const long PrivateSlackKiB = 128;

char g_BinDir[MAX_PATH];
// Targets missed and measurements that could not be made; the exit code.
int g_Failures;

struct Figures
{
    double median;
    double p99;
};

// ---- Output

void Row(const char *measure, const char *value, const char *floor, const char *target, const char *verdict)
{
    printf("%-40s %-34s %-52s %-24s %s\n", measure, value, floor, target, verdict);
    fflush(stdout);
}

const char *Verdict(int pass)
{
    g_Failures += !pass;
    return pass ? "pass" : "FAIL";
}

void Note(const char *text)
{
    printf("  note: %s\n", text);
    fflush(stdout);
}

// A row that could not be measured fails like a missed target.
void Unmeasured(const char *text)
{
    g_Failures++;
    printf("  FAIL: %s\n", text);
    fflush(stdout);
}

// ---- Figures

int CompareDoubles(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y ? 1 : 0;
}

// Median, and the 99th percentile by nearest rank. Sorts the samples.
Figures Summarise(double *samples, int count)
{
    Figures figures;
    int rank = (count * 99 + 99) / 100;

    qsort(samples, count, sizeof *samples, CompareDoubles);
    figures.median = count % 2 ? samples[count / 2] : (samples[count / 2 - 1] + samples[count / 2]) / 2;
    figures.p99 = samples[rank - 1];
    return figures;
}

double Median(double *samples, int count)
{
    return Summarise(samples, count).median;
}

void ProgramPath(const char *name, char *path)
{
    wsprintfA(path, "%s\\%s", g_BinDir, name);
}

DWORD FileSize(const char *name)
{
    char path[MAX_PATH];
    WIN32_FILE_ATTRIBUTE_DATA data;

    ProgramPath(name, path);
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return data.nFileSizeLow;
}

// ---- The machine

// The monitor's camera, as its driver package installs it, after count - 1
// other video input devices.
int InstallCameras(int count)
{
    char other[64];

    if (!SimRemoveAllCameras() || !SimRemoveAllDevices() || !SimAddSupportedCamera(CameraName, 1))
        return 0;
    for (int i = 1; i < count; ++i) {
        wsprintfA(other, "Bench Capture Device %02d", i);
        if (!SimAddCamera(other, 0))
            return 0;
    }
    return SimAddCamera(CameraName, 0);
}

int RemoveCameras(void)
{
    return SimRemoveAllCameras() && SimRemoveAllDevices();
}

// Starts one of the bench's programs and waits for its dialog; the time from
// creation to the window goes into *ms when asked.
HWND StartWithWindow(const char *name, PROCESS_INFORMATION *info, double *ms)
{
    char path[MAX_PATH];
    LARGE_INTEGER start = Now();
    HWND window;

    ProgramPath(name, path);
    if (!StartProgram(path, "", info))
        return NULL;
    window = WaitForDialogWindow(*info, WindowTimeoutMs);
    if (ms)
        *ms = ElapsedMs(start);
    return window;
}

// Creation to the hidden window, or -1 when no window came.
double TimeStart(const char *name)
{
    PROCESS_INFORMATION info = {};
    double ms = -1;
    HWND window = StartWithWindow(name, &info, &ms);

    EndProgram(&info);
    return window ? ms : -1;
}

// Creation to exit, or a negative time when it did not end by itself.
double TimeToExit(const char *name)
{
    char path[MAX_PATH];
    PROCESS_INFORMATION info = {};
    LARGE_INTEGER start = Now();
    double ms = -1;

    ProgramPath(name, path);
    if (!StartProgram(path, "", &info))
        return -1;
    if (WaitForSingleObject(info.hProcess, WindowTimeoutMs) == WAIT_OBJECT_0)
        ms = ElapsedMs(start);
    EndProgram(&info);
    return ms;
}

LRESULT SendTo(HWND window, UINT message, WPARAM wParam, double *ms)
{
    DWORD_PTR result = 0;
    LARGE_INTEGER start = Now();

    if (!SendMessageTimeoutA(window, message, wParam, 0, SMTO_NORMAL, SendTimeoutMs, &result))
        result = (DWORD_PTR)-1;
    if (ms)
        *ms = ElapsedMs(start);
    return (LRESULT)result;
}

// ---- Rows

void MeasureSize(void)
{
    char value[64], floor[64], target[64];
    DWORD monitor = FileSize(MonitorExe), minimal = FileSize(MinimalExe);

    wsprintfA(value, "%lu B", monitor);
    wsprintfA(floor, "%lu B minimal hidden dialog", minimal);
    wsprintfA(target, "<= %d B", (int)SizeBudget);
    Row("executable size", value, floor, target, Verdict(monitor && monitor <= SizeBudget));
}

// Taken in turn, run by run, so that both see the same machine.
void MeasureExit(void)
{
    double exiting[StartRuns], floorExit[StartRuns];
    char measure[64], value[64], floor[80];

    RemoveCameras();
    for (int i = 0; i < StartRuns; ++i) {
        exiting[i] = TimeToExit(MonitorExe);
        floorExit[i] = TimeToExit(ExitExe);
    }
    // Median sorts the runs, so a failed one (-1) comes first.
    sprintf(measure, "exit without a camera, median of %d", StartRuns);
    sprintf(value, "%.1f ms", Median(exiting, StartRuns));
    sprintf(floor, "%.1f ms program that exits at once", Median(floorExit, StartRuns));
    Row(measure, value, floor, "-", exiting[0] < 0 ? "FAIL (did not exit)" : "");
    g_Failures += exiting[0] < 0;
}

// The camera last of count devices: after count - 1 others of the Imaging
// class, or, outside that class, after count - 1 USB instances of which one
// in eight is plugged in without a driver and the rest are phantoms. Each
// kind of device has eight instances, as one plugged into eight ports has.
int InstallTree(int count, int imaging)
{
    const unsigned setupClass = imaging ? (unsigned)SimDeviceImaging : 0;
    const char format[] = "USB\\VID_0001&PID_%04X&REV_0001%cUSB\\VID_0001&PID_%04X%c";
    SimDevice *devices = (SimDevice *)malloc(count * sizeof *devices);
    char *text = (char *)malloc(count * 128);
    int ok = devices && text && SimRemoveAllDevices();

    for (int i = 0; ok && i < count - 1; ++i) {
        char *id = text + i * 128, *ids = id + 48;
        // Two hardware IDs; the terminator sprintf adds closes the list.
        DWORD size = sprintf(ids, format, i / 8, 0, i / 8, 0) + 1;
        unsigned flags = setupClass | (i % 8 ? 0 : (unsigned)SimDevicePresent);
        sprintf(id, "USB\\VID_0001&PID_%04X\\5&1B2C&0&%d", i / 8, 1 + i % 8);
        SimDevice device = {id, ids, size, flags};
        devices[i] = device;
    }
    ok = ok && SimAddDevices(devices, count - 1) &&
         SimAddSupportedCamera(CameraName, 1,
                               setupClass | SimDevicePresent | SimDeviceDriverLoaded);
    free(text);
    free(devices);
    return ok;
}

struct StartUps
{
    double monitor;   // the medians of the starts, ms
    double floor;
    double ratio;     // the median of the pairs' ratios
};

// Starts of the monitor and the walk floor in pairs, an even number of them,
// each in the other order than the last; returns how many, 0 when a start
// found no window. Other load moves both of a pair alike, so their ratio
// holds where either median moves; short starts feel it most, so pairs go on
// for TreeStartSeconds, from TreeStarts up to MaxTreeStarts of them.
int MeasureStarts(StartUps *figures)
{
    double times[3][MaxTreeStarts];
    const char *const programs[] = {MonitorExe, WalkFloorExe};
    LARGE_INTEGER start = Now();
    int pairs = 0;
    int windows = 1;

    while (pairs < MaxTreeStarts &&
           (pairs < TreeStarts || pairs % 2 || ElapsedMs(start) < TreeStartSeconds * 1000)) {
        times[pairs % 2][pairs] = TimeStart(programs[pairs % 2]);
        times[1 - pairs % 2][pairs] = TimeStart(programs[1 - pairs % 2]);
        times[2][pairs] = times[0][pairs] / times[1][pairs];
        // Any start without its window fails the row, not only the first.
        windows = windows && times[0][pairs] >= 0 && times[1][pairs] >= 0;
        ++pairs;
    }
    figures->monitor = Median(times[0], pairs);
    figures->floor = Median(times[1], pairs);
    figures->ratio = Median(times[2], pairs);
    return windows ? pairs : 0;
}

void StartUpRow(const char *measure, const char *sign, double monitor, double floor, double ratio)
{
    char value[64], floorText[64], target[64], verdict[64];

    sprintf(value, "%s%.1f ms", sign, monitor);
    sprintf(floorText, "%s%.1f ms walk floor", sign, floor);
    sprintf(target, "<= %.2f x floor%s", StartUpMargin, sign[0] ? "'s" : "");
    sprintf(verdict, "%s (pairs %.2f x)", Verdict(ratio <= StartUpMargin), ratio);
    Row(measure, value, floorText, target, verdict);
}

// Each tree's start-up beside the walk floor's, then the growth from the
// smallest tree to the largest beside the floor's, the monitor's figures
// read as the floor's times the pairs' ratio.
void MeasureTreeStartUps(void)
{
    const char *const shapes[] = {"USB/phantoms", "Imaging"};
    const int last = g_TreeCount - 1;
    StartUps first = {0, 0, 0}, figures = {0, 0, 0};
    char measure[96];
    int pairs;

    for (int imaging = 1; imaging >= 0; --imaging) {
        for (int n = 0; n <= last; ++n) {
            pairs = InstallTree(g_TreeSizes[n], imaging) ? MeasureStarts(&figures) : 0;
            if (!pairs)
                return Unmeasured("start-up: no tree of devices, or no window");
            sprintf(measure, "start-up, N = %d %s, %d pairs", g_TreeSizes[n], shapes[imaging],
                    pairs);
            StartUpRow(measure, "", figures.monitor, figures.floor, figures.ratio);
            if (n == 0)
                first = figures;
        }
        double growth = figures.floor - first.floor;
        sprintf(measure, "start-up growth %d -> %d %s", g_TreeSizes[0], g_TreeSizes[last],
                shapes[imaging]);
        StartUpRow(measure, "+", figures.monitor - first.monitor, growth,
                   (figures.ratio * figures.floor - first.ratio * first.floor) / growth);
    }
}

void MeasureIdle(void)
{
    PROCESS_INFORMATION monitorRun = {}, minimalRun = {};
    ProcessCost monitor, minimal;
    char value[64], floor[80], target[64];
    int ok;

    if (!InstallCameras(1))
        return Unmeasured("idle: cannot install the camera");
    ok = StartWithWindow(MinimalExe, &minimalRun, NULL) && StartWithWindow(MonitorExe, &monitorRun, NULL);
    Sleep(5000);
    ok = ok && MeasureProcess(monitorRun.hProcess, monitorRun.dwProcessId, &monitor) &&
         MeasureProcess(minimalRun.hProcess, minimalRun.dwProcessId, &minimal);
    EndProgram(&monitorRun);
    EndProgram(&minimalRun);
    if (!ok)
        return Unmeasured("idle: a program did not start or could not be measured");
    sprintf(value, "%lu KiB", (unsigned long)(monitor.privateBytes / 1024));
    sprintf(floor, "%lu KiB minimal hidden dialog", (unsigned long)(minimal.privateBytes / 1024));
    sprintf(target, "<= %.2f x floor", IdleMargin);
    Row("idle after 5 s: private bytes", value, floor, target,
        Verdict(monitor.privateBytes <= minimal.privateBytes * IdleMargin));
    sprintf(value, "%lu KiB", (unsigned long)(monitor.workingSet / 1024));
    sprintf(floor, "%lu KiB minimal hidden dialog", (unsigned long)(minimal.workingSet / 1024));
    Row("idle after 5 s: working set", value, floor, "-", "");
    sprintf(value, "%ld", monitor.handles);
    sprintf(floor, "%ld minimal hidden dialog", minimal.handles);
    Row("idle after 5 s: handles", value, floor, "-", "");
}

struct LogCheck
{
    int logged, missing, extra, misplaced;
};

// Every logged request against the expected codes, in order: tallies per
// code give what is missing or extra, positions what came out of order.
LogCheck CheckDriverLog(const uint32_t *expected, int count)
{
    LogCheck check = {0, 0, 0, 0};
    SimDriverRequest *log = (SimDriverRequest *)malloc(2 * count * sizeof *log);
    int tally[8] = {0}, n;

    if (!log) {
        check.missing = count;
        return check;
    }
    check.logged = SimReadDriverLog(log, 2 * count);
    n = check.logged < 2 * count ? check.logged : 2 * count;
    for (int i = 0; i < count; ++i)
        tally[expected[i] & 7]++;
    for (int i = 0; i < n; ++i) {
        uint32_t code = log[i].words[7];
        tally[code & 7]--;
        if (i >= count || code != expected[i] || log[i].result != S_OK || code > 7)
            check.misplaced++;
    }
    for (int code = 0; code < 8; ++code) {
        if (tally[code] > 0)
            check.missing += tally[code];
        else
            check.extra -= tally[code];
    }
    free(log);
    return check;
}

// One suspend to the monitor, one design-floor event, one ignored message,
// in turn, sample by sample. The row fails when it is too slow beside the
// design floor, or when any event of either did not reach the driver as a
// suspend that it accepted, or the ignored message reached it.
int SampleEvents(HWND window, int devices, int samples)
{
    double *suspend = (double *)malloc(3 * samples * sizeof(double));
    double *designFloor = suspend + samples, *ignored = designFloor + samples;
    int failures = 0, expected = 2 * (EventWarmUp + samples);
    uint32_t *suspends = (uint32_t *)malloc(expected * sizeof(uint32_t));
    char measure[64], value[64], floor[96], target[64], verdict[96];

    if (!suspend || !suspends) {
        free(suspend);
        free(suspends);
        return 0;
    }
    for (int i = 0; i < expected; ++i)
        suspends[i] = CameraEventSuspend + 2;
    SimClearDriverLog();
    for (int i = -EventWarmUp; i < samples; ++i) {
        double a, b, c;
        LARGE_INTEGER start;

        SendTo(window, WM_POWERBROADCAST, PBT_APMSUSPEND, &a);
        start = Now();
        failures += !SendDesignFloorEvent(CameraNameW);
        b = ElapsedMs(start);
        SendTo(window, WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE, &c);
        if (i >= 0)
            suspend[i] = a, designFloor[i] = b, ignored[i] = c;
    }
    LogCheck check = CheckDriverLog(suspends, expected);
    Figures s = Summarise(suspend, samples), f = Summarise(designFloor, samples),
            r = Summarise(ignored, samples);
    double ratio = s.median / f.median, margin = devices == 1 ? SingleDeviceMargin : SuspendMargin;
    int delivered = !failures && check.logged == expected && !check.missing && !check.extra && !check.misplaced;
    sprintf(measure, "suspend, %d device%s: median / p99", devices, devices == 1 ? "" : "s");
    sprintf(value, "%.2f / %.2f ms", s.median, s.p99);
    sprintf(floor, "%.2f / %.2f design floor; %.3f / %.3f ignored msg", f.median, f.p99, r.median, r.p99);
    sprintf(target, "<= %.2f x design floor", margin);
    sprintf(verdict, "%s%s (%.2f x; p99 %.2f x)", Verdict(ratio <= margin && delivered),
            delivered ? "" : ", not all delivered", ratio, s.p99 / f.p99);
    Row(measure, value, floor, target, verdict);
    if (!delivered) {
        char text[192];
        sprintf(text, "%d device%s: driver logged %d requests (%d missing, %d extra, %d out of place or "
                "refused), expected %d; %d design-floor events failed",
                devices, devices == 1 ? "" : "s", check.logged, check.missing, check.extra, check.misplaced,
                expected, failures);
        Note(text);
    }
    free(suspends);
    free(suspend);
    return 1;
}

void MeasureEvents(int samples)
{
    PROCESS_INFORMATION info = {};
    HWND window;

    if (!InstallCameras(1) || !(window = StartWithWindow(MonitorExe, &info, NULL))) {
        EndProgram(&info);
        return Unmeasured("events: the monitor did not start");
    }
    for (int devices : DeviceCounts) {
        if (!InstallCameras(devices))
            Unmeasured("events: cannot install the cameras");
        else if (!SampleEvents(window, devices, samples))
            Unmeasured("events: out of memory");
    }
    EndProgram(&info);
}

// ---- Endurance

// Event i of the endurance run: what the driver must receive (code + 2) after
// the message is sent. With a battery the cycle crosses the critical band
// once each way; without one it is suspends and session ends only.
uint32_t SendEnduranceEvent(HWND window, int i, int battery)
{
    switch (i % (battery ? 4 : 2)) {
    case 0:
        SendTo(window, WM_POWERBROADCAST, PBT_APMSUSPEND, NULL);
        return 2;
    case 1:
        SendTo(window, WM_ENDSESSION, TRUE, NULL);
        return 3;
    case 2:
        SimSetBattery(0, CriticalLevel);
        SendTo(window, WM_TIMER, 101, NULL);
        return 4;
    default:
        SimSetBattery(0, 50);
        SendTo(window, WM_TIMER, 101, NULL);
        return 5;
    }
}

void GrowthRow(const char *measure, long warm, long end, long floorWarm, long floorEnd, const char *unit,
               long slack)
{
    char value[64], floor[96], target[64];

    sprintf(value, "%+ld%s (%ld -> %ld)", end - warm, unit, warm, end);
    sprintf(floor, "%+ld%s (%ld -> %ld) design floor alone", floorEnd - floorWarm, unit, floorWarm, floorEnd);
    if (slack)
        sprintf(target, "<= floor's +%ld%s", slack, unit);
    else
        strcpy(target, "<= floor's growth");
    Row(measure, value, floor, target, Verdict(end - warm <= floorEnd - floorWarm + slack));
}

// What the design floor alone leaves behind in this process over the same
// number of opens: the platform's own growth.
int MeasureFloorGrowth(int opens, ProcessCost *warm, ProcessCost *end)
{
    HANDLE self = GetCurrentProcess();
    DWORD id = GetCurrentProcessId();
    int failures = 0;

    SimClearDriverLog();
    for (int i = 0; i < opens; ++i) {
        if (i == EnduranceWarmUp)
            MeasureProcess(self, id, warm);
        failures += !SendDesignFloorEvent(CameraNameW);
    }
    MeasureProcess(self, id, end);
    SimClearDriverLog();
    return failures == 0;
}

void MeasureEndurance(int events)
{
    PROCESS_INFORMATION info = {};
    ProcessCost warm, end, floorWarm, floorEnd;
    uint32_t *expected = (uint32_t *)malloc(events * sizeof(uint32_t));
    int battery = SimBatteryAvailable();
    HWND window;
    LARGE_INTEGER start;
    char measure[96], value[64], floor[96];

    if (!expected || events <= EnduranceWarmUp || !InstallCameras(1) || !SimSetCriticalLevel(CriticalLevel) ||
        (battery && !SimSetBattery(0, 50)) || !(window = StartWithWindow(MonitorExe, &info, NULL))) {
        EndProgram(&info);
        free(expected);
        return Unmeasured("endurance: the monitor did not start (or too few events)");
    }
    SimClearDriverLog();
    start = Now();
    for (int i = 0; i < events; ++i) {
        if (i == EnduranceWarmUp)
            MeasureProcess(info.hProcess, info.dwProcessId, &warm);
        expected[i] = SendEnduranceEvent(window, i, battery);
    }
    MeasureProcess(info.hProcess, info.dwProcessId, &end);
    double seconds = ElapsedMs(start) / 1000;
    EndProgram(&info);
    LogCheck check = CheckDriverLog(expected, events);
    free(expected);
    SimSetBattery(1, 100);
    int floorOk = MeasureFloorGrowth(events, &floorWarm, &floorEnd);

    sprintf(measure, "endurance, 1 device: %d events", events);
    sprintf(value, "%d logged (%d missing, %d extra)", check.logged, check.missing, check.extra);
    sprintf(floor, "%d expected, %d out of place", events, check.misplaced);
    Row(measure, value, floor, "all, none extra",
        Verdict(check.logged == events && !check.missing && !check.extra && !check.misplaced));
    GrowthRow("endurance: handles, warm-up -> end", warm.handles, end.handles, floorWarm.handles,
              floorEnd.handles, "", 0);
    GrowthRow("endurance: private KiB, warm-up -> end", (long)(warm.privateBytes / 1024),
              (long)(end.privateBytes / 1024), (long)(floorWarm.privateBytes / 1024),
              (long)(floorEnd.privateBytes / 1024), " KiB", PrivateSlackKiB);
    sprintf(value, "%ld -> %ld", warm.liveFilters, end.liveFilters);
    sprintf(floor, "%ld -> %ld design floor", floorWarm.liveFilters, floorEnd.liveFilters);
    Row("endurance: live filter objects", value, floor, "no growth",
        Verdict(end.liveFilters <= warm.liveFilters));
    char text[256];
    sprintf(text, "endurance: %s, %.1f s (%.2f ms each); growth counted from event %d to the end, for the "
            "monitor and for as many opens of the design floor alone",
            battery ? "suspends, session ends, battery ticks crossing the critical band"
                    : "suspends and session ends (no simulated battery)",
            seconds, seconds * 1000 / events, EnduranceWarmUp);
    Note(text);
    if (!floorOk)
        Unmeasured("endurance: some design-floor events failed");
}

// Reads "16,256,1024" into the tree sizes; 0 unless two or more sizes,
// each positive and larger than the one before.
int ReadTreeSizes(const char *text)
{
    char *end = NULL;
    g_TreeCount = 0;
    while (g_TreeCount < MaxTrees) {
        const long size = strtol(text, &end, 10);
        if (end == text || size <= (g_TreeCount ? g_TreeSizes[g_TreeCount - 1] : 0))
            return 0;
        g_TreeSizes[g_TreeCount] = size;
        g_TreeCount++;
        if (*end != ',')
            break;
        text = end + 1;
    }
    return g_TreeCount >= 2 && *end == '\0';
}

}  // namespace

int main(int argc, char **argv)
{
    int samples = argc > 1 ? atoi(argv[1]) : 200;
    int events = argc > 2 ? atoi(argv[2]) : 10000;
    char *slash;

    GetModuleFileNameA(NULL, g_BinDir, MAX_PATH);
    if ((slash = strrchr(g_BinDir, '\\')) != NULL)
        *slash = '\0';
    const int trees = argc > 3 ? ReadTreeSizes(argv[3]) : 1;
    if (samples < 1 || !trees || FAILED(CoInitialize(NULL))) {
        fprintf(stderr, "usage: zn_bench [SAMPLES [ENDURANCE_EVENTS [TREES]]]\n");
        return 2;
    }
    Row("measure", "ZN374Mon", "floor, same run", "target", "verdict");
    MeasureSize();
    MeasureTreeStartUps();
    MeasureExit();
    MeasureIdle();
    MeasureEvents(samples);
    MeasureEndurance(events);
    RemoveCameras();
    CoUninitialize();
    if (g_Failures)
        printf("\n%d target%s failed.\n", g_Failures, g_Failures == 1 ? "" : "s");
    else
        printf("\nEvery target met.\n");
    return g_Failures ? 1 : 0;
}
