#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "common/common.h"
#include "discovery/camera_probe.h"
#include "monitor/monitor.h"
#include "startup/autostart.h"
#include "startup/command_tail.h"
#include "startup/startup.h"

namespace {

int IsSwitch(const char *token, const char *slashForm, const char *dashForm)
{
    return lstrcmpiA(token, slashForm) == 0 || lstrcmpiA(token, dashForm) == 0;
}

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
    DWORD recipients = BSM_APPLICATIONS;

    const unsigned tailLength = static_cast<unsigned>(lstrlenA(commandTail));
    char *copy = static_cast<char *>(malloc(CommandCopySize(tailLength)));
    if (!copy)
        return 0;
    memcpy(copy, commandTail, tailLength + 1);

    // Only the space separates switches; a tab stays inside its token.
    for (char *token = strtok(copy, " "); token; token = strtok(NULL, " ")) {
        if (IsSwitch(token, "/i", "-i")) {
            SetAutostart(1);
        } else if (IsSwitch(token, "/u", "-u")) {
            SetAutostart(0);
            BroadcastQuit(copy, &recipients);
            free(copy);
            return 0;
        }
    }

    MonitorOrWithdraw(instance);
    free(copy);
    return 0;
}
