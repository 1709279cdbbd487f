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
