// The process entry of ZN374Stat.exe: the sections in order, then the verdict
// and the exit code a management system collects.
#include <windows.h>

#include "startup/command_tail.h"
#include "status/status_report.h"

namespace {

enum
{
    ExitWouldRun = 0,
    ExitWouldNotRun = 1,
    ExitUsage = 2
};

void PrintUsage(void)
{
    ReportText("usage: ZN374Stat.exe [/?]\n"
           "Explains from this machine why ZN374Mon.exe runs or not. Changes nothing.\n"
           "Exit code: 0 the monitor would run, 1 it would not, 2 usage error.\n");
}

void DescribeNextLogon(const StatusFacts *facts, char *text, unsigned size)
{
    switch (facts->runValue) {
    case RunValueAbsent:
        FormatText(text, size, "nothing starts (no Run value)");
        break;
    case RunValueUnreadable:
        FormatText(text, size, "unknown: the Run value cannot be read (error %ld)",
                   facts->runValueError);
        break;
    case RunValueFileMissing:
        FormatText(text, size, "nothing starts: the Run value names \"%s\", which does not exist",
                   facts->runFile);
        break;
    case RunValueFileExists:
        FormatText(text, size, "\"%s\" starts and decides again", facts->runFile);
        break;
    }
}

// The main routine's order: the camera first, then the Windows version.
int PrintVerdict(const StatusFacts *facts)
{
    char nextLogon[TextBufferSize * 2];
    DescribeNextLogon(facts, nextLogon, sizeof nextLogon);
    ReportText("\nVerdict: ");
    if (!facts->cameraFound) {
        ReportText("ZN374Mon would not run: %s", facts->cameraReason);
    } else if (!facts->windowsSupported) {
        ReportText("ZN374Mon would not run: Windows %lu.%lu is not Windows NT 5.x",
               facts->windowsMajor, facts->windowsMinor);
    } else {
        ReportText("ZN374Mon would run for camera \"%s\"", facts->friendlyName);
        if (!facts->nameReached)
            ReportText(", but no DirectShow video input device has that name, so every event "
                   "would reach nothing");
        else if (!facts->propertySet)
            ReportText(", but its capture filter offers no property set, so every event would fail");
    }
    ReportText("; at the next log-on %s.\n", nextLogon);
    return facts->cameraFound && facts->windowsSupported ? ExitWouldRun : ExitWouldNotRun;
}

int StatusMain(const char *commandTail)
{
    if (commandTail[0]) {
        const int asked = lstrcmpA(commandTail, "/?") == 0 || lstrcmpA(commandTail, "-?") == 0;
        if (!asked)
            ReportText("ZN374Stat.exe: unknown argument \"%s\"\n", commandTail);
        PrintUsage();
        return asked ? ExitWouldRun : ExitUsage;
    }

    StatusFacts facts;
    ZeroMemory(&facts, sizeof facts);
    ReportText("ZN374Stat: why ZN374Mon.exe runs on this machine or not\n");
    ReportWindows(&facts);
    ReportCameraSearch(&facts);
    ReportDirectShow(&facts);
    ReportPower();
    ReportAutostart(&facts);
    ReportRunningMonitors(&facts);
    return PrintVerdict(&facts);
}

}  // namespace

extern "C" void WINAPI StatusEntry(void)
{
    ExitProcess(static_cast<UINT>(StatusMain(SkipProgramName(GetCommandLineA()))));
}
