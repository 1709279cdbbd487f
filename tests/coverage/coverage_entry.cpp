// The entry of the instrumented images that scripts/coverage.sh builds;
// never part of a shipped one. The images start at their own entry, with no
// C runtime start-up or exit, so nothing would register GCC's counters (the
// constructors of every instrumented object do that) or write them out (the C
// runtime's exit does). This entry runs the constructors, then the image's
// own entry (ZN_PROGRAM_ENTRY). An executable's every ExitProcess call writes
// the counters first; the DLL (ZN_DLL) writes them when it is unloaded, which
// its process's end does too.
#include <windows.h>

extern "C" void __gcov_dump(void);

typedef void (*Constructor)(void);
// Made by the linker: -1 or the count, the constructors, then a null entry.
extern "C" Constructor __CTOR_LIST__[];

namespace {

void RunConstructors(void)
{
    size_t count = reinterpret_cast<size_t>(__CTOR_LIST__[0]);
    if (count == static_cast<size_t>(-1)) {
        count = 0;
        while (__CTOR_LIST__[count + 1])
            ++count;
    }
    // In reverse, as the C runtime's start-up runs them.
    for (size_t i = count; i >= 1; --i)
        __CTOR_LIST__[i]();
}

}  // namespace

#if defined(ZN_DLL)
extern "C" BOOL WINAPI ZN_PROGRAM_ENTRY(HINSTANCE, DWORD, LPVOID);
extern "C" BOOL WINAPI CoverageEntry(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        RunConstructors();
    if (reason == DLL_PROCESS_DETACH)
        __gcov_dump();
    return ZN_PROGRAM_ENTRY(instance, reason, reserved);
}
#else
extern "C" void WINAPI ZN_PROGRAM_ENTRY(void);
typedef void(WINAPI *ExitProcessFunction)(UINT);

static void WINAPI WriteCountersAndExit(UINT exitCode)
{
    FARPROC exitProcess = GetProcAddress(GetModuleHandleA("kernel32.dll"), "ExitProcess");

    __gcov_dump();
    reinterpret_cast<ExitProcessFunction>(reinterpret_cast<void *>(exitProcess))(exitCode);
}

// The import slot the program's own ExitProcess calls go through. Defined
// here, it is taken instead of kernel32's import library entry.
extern "C" const ExitProcessFunction ExitProcessSlot __asm__("__imp__ExitProcess@4") = WriteCountersAndExit;

extern "C" void WINAPI CoverageEntry(void)
{
    RunConstructors();
    ZN_PROGRAM_ENTRY();
}
#endif
