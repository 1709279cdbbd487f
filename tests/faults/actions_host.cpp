// The process the fault-injection test runs the package's custom actions in,
// standing in for Windows Installer's: with the probe loaded, the probe loads
// ZN374Actions.dll and calls the action the control block names. Without it,
// copied to the installed file's place, it stands in for a running monitor
// (one that ends when FAULT_QUIT_EVENT is set, or one that never ends); run
// with a path, it holds that file open for reading only, as another program
// may.
#include <windows.h>

#include "fault_control.h"

int main(int argc, char **argv)
{
    typedef UINT (*RunAction)(void);
    HMODULE probe = GetModuleHandleA(FAULT_PROBE_DLL);
    RunAction run = (RunAction)(void (*)(void))GetProcAddress(probe, "RunAction");
    if (run)
        return (int)run();
    const char *held = argc > 1 ? argv[1] : "";
    CreateFileA(held, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE quit = OpenEventA(SYNCHRONIZE, FALSE, FAULT_QUIT_EVENT);
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, FAULT_READY_EVENT));
    WaitForSingleObject(quit ? quit : GetCurrentProcess(), INFINITE);
    return 0;
}
