// The floor the monitor's size, start-up and idle cost are read against: a
// hidden dialog from the same template with the same kind of message loop,
// built with the product's own compile and link options, and nothing else.
// Built with ZN_BENCH_WALK_FLOOR it is the walk floor: the design's device
// tree walk (walk_floor.cpp) comes first, as the monitor's probe does.
#include <windows.h>

#include "resource.h"

namespace {

INT_PTR CALLBACK MinimalDialogProc(HWND window, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void WalkDeviceTree(void);  // walk_floor.cpp

extern "C" __attribute__((force_align_arg_pointer)) void WINAPI ProcessEntry(void)
{
    HINSTANCE instance = GetModuleHandleA(NULL);
    HWND window;
    MSG message;

#ifdef ZN_BENCH_WALK_FLOOR
    WalkDeviceTree();
#endif
    window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MONITOR), NULL, MinimalDialogProc, 0);
    if (window) {
        while (GetMessageA(&message, NULL, 0, 0) > 0) {
            if (IsWindow(window) && IsDialogMessageA(window, &message))
                continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    ExitProcess(0);
}
