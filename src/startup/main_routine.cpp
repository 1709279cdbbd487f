#include <windows.h>

#include "common/common.h"
#include "discovery/camera_probe.h"
#include "monitor/monitor.h"
#include "startup/autostart.h"
#include "startup/command_tail.h"
#include "startup/startup.h"

namespace {

// Whether the machine is unusable for certain: no camera in lists read to
// their end, selective suspend off, or a Windows other than NT 5.x. Sets
// *usable when a camera was found on Windows NT 5.x. A reading that failed
// is neither: it proves nothing about the machine.
int IsUnusable(char *friendlyName, int *usable)
{
    const char *ids[SupportedHardwareIdCount];
    for (unsigned i = 0; i < SupportedHardwareIdCount; ++i)
        ids[i] = SupportedHardwareIds[i];

    *usable = 0;
    const ProbeResult probe =
        ProbeCamera(ids, SupportedHardwareIdCount, NULL, 0, friendlyName, TextBufferSize);
    if (probe != ProbeResult::Found)
        return probe == ProbeResult::NoCamera;
    const WindowsVersion version = CheckWindowsVersion();
    *usable = version == WindowsVersion::Nt5;
    return version == WindowsVersion::OtherThanNt5;
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
    int usable;
    if (IsUnusable(friendlyName, &usable))
        SetAutostart(0);
    if (!usable)
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
