#include <windows.h>

#include "common/common.h"
#include "discovery/camera_probe.h"
#include "monitor/monitor.h"
#include "startup/autostart.h"
#include "startup/command_tail.h"
#include "startup/startup.h"

namespace {

// Runs the monitor when a supported camera with selective suspend is present
// on Windows NT 5.x; otherwise removes the autostart value so that the next
// log-on does not start this program again.
void MonitorOrWithdraw(HINSTANCE instance)
{
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];

    char friendlyName[TextBufferSize];
    friendlyName[0] = '\0';
    if (!ProbeCamera(ids, SupportedHardwareIdCount, NULL, 0, friendlyName, TextBufferSize) ||
        !IsSupportedWindowsVersion()) {
        SetAutostart(0);
        return;
    }

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
