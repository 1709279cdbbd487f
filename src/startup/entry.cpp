// The process entry. The executable has no C runtime start-up of its own:
// msvcrt.dll initialises itself when it is loaded, and nothing here needs
// static constructors, so the entry only finds the command-line tail.
#include <windows.h>

#include "startup/command_tail.h"
#include "startup/startup.h"

extern "C" void WINAPI ProcessEntry(void)
{
    const char *tail = SkipProgramName(GetCommandLineA());
    ExitProcess(static_cast<UINT>(MainRoutine(GetModuleHandleA(NULL), tail)));
}
