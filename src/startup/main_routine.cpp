#include <windows.h>

#include "common/common.h"
#include "discovery/camera_probe.h"
#include "monitor/monitor.h"
#include "startup/autostart.h"
#include "startup/command_tail.h"
#include "startup/startup.h"

namespace {

// What this start does with the machine: monitor a camera found on Windows
// NT 5.x; withdraw where it is unusable for certain (no camera in lists read
// to their end, selective suspend off, or a Windows other than NT 5.x); or
// try again at the next log-on after a reading that failed, which proves
// nothing about the machine.
enum class StartDecision { Monitor, Withdraw, TryAgain };

StartDecision DecideStart(char *friendlyName)
{
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];

    const ProbeResult probe =
        ProbeCamera(ids, SupportedHardwareIdCount, NULL, 0, friendlyName, TextBufferSize);
    if (probe == ProbeResult::NoCamera)
        return StartDecision::Withdraw;
    if (probe == ProbeResult::ReadingFailed)
        return StartDecision::TryAgain;
    const WindowsVersion version = CheckWindowsVersion();
    if (version == WindowsVersion::OtherThanNt5)
        return StartDecision::Withdraw;
    return version == WindowsVersion::Nt5 ? StartDecision::Monitor : StartDecision::TryAgain;
}

// Runs the monitor when a supported camera with selective suspend is present
// on Windows NT 5.x. On an unusable machine removes the autostart value so
// that the next log-on does not start this program again; after a failed
// reading ends quietly and leaves the value, so that the next log-on tries
// again.
void MonitorOrWithdraw(HINSTANCE instance)
{
    char friendlyName[TextBufferSize];
    friendlyName[0] = '\0';
    const StartDecision decision = DecideStart(friendlyName);
    if (decision == StartDecision::Withdraw)
        SetAutostart(0);
    if (decision != StartDecision::Monitor)
        return;

    MonitorContext context;
    ZeroMemory(&context, sizeof context);
    lstrcpynA(context.friendlyName, friendlyName, TextBufferSize);
    RunMonitor(instance, &context);
}

}  // namespace

int MainRoutine(HINSTANCE instance, const char *commandTail)
{
    // The report reads the Run value's switches with the same matcher, so
    // that what it says the next log-on does is what this does.
    const int switches = FindSwitches(commandTail, MonitorSwitchNames);
    if (switches & UninstallSwitch) {
        char buffer[TextBufferSize];
        DWORD recipients = BSM_APPLICATIONS;
        SetAutostart(0);
        BroadcastQuit(buffer, &recipients);
        return 0;
    }
    if (switches & InstallSwitch)
        SetAutostart(1);
    MonitorOrWithdraw(instance);
    return 0;
}
