// The floor of the monitor's exit on a machine without a camera: a process
// built like the product that ends as soon as it starts.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer)) void WINAPI ProcessEntry(void)
{
    ExitProcess(0);
}
