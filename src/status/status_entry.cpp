// The process entry of ZN374Stat.exe: the sections in order, then the verdict
// and the exit code a management system collects.
#include <windows.h>

#include "startup/command_tail.h"
#include "status/status_report.h"

namespace {

enum { ExitWouldRun = 0, ExitWouldNotRun = 1, ExitUsage = 2 };

// The report's switches, named in the order of FindSwitches' bits.
const char SwitchNames[] = "?\0values\0";
enum { HelpSwitch = 1, ValuesSwitch = 2 };

// The main routine's order: the camera first, then the Windows version.
int Verdict(StatusFacts *facts, char *verdict, unsigned size)
{
    const int runs = facts->cameraFound && facts->windowsSupported;
    if (facts->cameraFound && facts->windowsUnreadable) {
        facts->reasonCode = Refusal(facts->reason, "reading-failed",
                                    "the Windows version cannot be read");
        facts->readingFailed = 1;
    } else if (facts->cameraFound && !facts->windowsSupported) {
        facts->reasonCode = Refusal(facts->reason, "windows-version",
                                    "Windows %lu.%lu is not Windows NT 5.x", facts->windowsMajor,
                                    facts->windowsMinor);
    }
    const char *but = facts->noEventReason[0] ? ", but no event would reach its driver: " : "";
    char would[TextBufferSize * 3];
    if (!runs)
        FormatText(would, sizeof would, "not run: %s", facts->reason);
    else
        FormatText(would, sizeof would, "run for camera \"%s\"%s%s", facts->friendlyName, but,
                   facts->noEventReason);
    FormatText(verdict, size, "ZN374Mon would %s; at the next log-on %s.", would, facts->nextLogon);
    Fact("verdict=%s", runs ? "runs" : "does-not-run");
    // Both empty unless a reason above was found.
    Fact("reason=%s", facts->reason);
    Fact("reason.code=%s", facts->reasonCode);
    // A failed reading leaves the Run value for the next log-on; an answer
    // makes the monitor remove it.
    Fact("reason.tries_again=%s", runs ? "" : facts->readingFailed ? "yes" : "no");
    return runs ? ExitWouldRun : ExitWouldNotRun;
}

int StatusMain(const char *commandLine)
{
    // The monitor's own rules: the tail after the program name, cut at spaces.
    // Like the monitor, the report passes over a word that is no switch, such
    // as the rest of an unquoted program path with a space.
    const int switches = FindSwitches(SkipProgramName(commandLine), SwitchNames);
    const int unknownSwitch = switches & UnknownSwitch;
    const int values = switches & ValuesSwitch;
    if (unknownSwitch || (switches & HelpSwitch)) {
        WriteText(unknownSwitch ? "ZN374Stat.exe: unknown argument\n" : "");
        WriteText("usage: ZN374Stat.exe [/values] [/?]\n"
                  "Explains from this machine why ZN374Mon.exe runs or not. "
                  "It sends no request and writes nothing.\n"
                  "/values: the same facts as key=value lines.\n"
                  "Exit code: 0 the monitor would run, 1 it would not, 2 usage error.\n");
        return unknownSwitch ? ExitUsage : ExitWouldRun;
    }

    StatusFacts facts = {};
    facts.reasonCode = "";
    ReportWindows(&facts);
    ReportCameraSearch(&facts);
    ReportDirectShow(&facts);
    ReportPower();
    ReportAutostart(&facts);
    ReportRunningMonitors();
    ReportPackage();
    char verdict[TextBufferSize * 5];
    const int exitCode = Verdict(&facts, verdict, sizeof verdict);
    if (!values)
        WriteText("ZN374Stat: why ZN374Mon.exe runs on this machine or not\n");
    PrintFacts(values, verdict);
    ForgetFacts();
    return exitCode;
}

}  // namespace

extern "C" void WINAPI StatusEntry(void)
{
    ExitProcess(static_cast<UINT>(StatusMain(GetCommandLineA())));
}
