#include "monitor/monitor.h"

#include "camera/camera_channel.h"
#include "resource.h"

uint32_t g_LowBatteryEngaged;

namespace {

const UINT_PTR BatteryTimer = 101;

UINT g_QuitMessage;

// Registering the same name always yields the same identifier, so it is
// registered once; 0 (not registered) must never pass for WM_NULL.
int IsQuitMessage(UINT message)
{
    char name[TextBufferSize];

    if (!g_QuitMessage) {
        BuildQuitMessageName(name);
        g_QuitMessage = RegisterWindowMessageA(name);
    }
    return g_QuitMessage != 0 && message == g_QuitMessage;
}

INT_PTR OnInitDialog(HWND window, LPARAM context)
{
    SetWindowLongPtrA(window, DWLP_USER, context);
    SetTimer(window, BatteryTimer, BatteryPeriodShort, NULL);
    return TRUE;
}

INT_PTR OnBatteryPoll(HWND window, MonitorContext *context)
{
    BatteryAction action;

    if (!RefreshPowerState())
        return TRUE;
    action = DecideBatteryAction(&g_PowerSnapshot, g_LowBatteryEngaged);
    if (action.period != BatteryPeriodUnchanged)
        SetTimer(window, BatteryTimer, action.period, NULL);
    if (action.notify) {
        const CameraEvent event =
            action.engage ? CameraEventBatteryCritical : CameraEventBatteryRecovered;
        SendCameraEvent(context, event);
        g_LowBatteryEngaged = action.engage;
    }
    return TRUE;
}

INT_PTR OnPowerBroadcast(MonitorContext *context, WPARAM event)
{
    if (event != PBT_APMSUSPEND)
        return FALSE;
    return SendCameraEvent(context, CameraEventSuspend);
}

INT_PTR OnDestroy(HWND window)
{
    KillTimer(window, BatteryTimer);
    PostQuitMessage(0);
    return TRUE;
}

INT_PTR OnOtherMessage(HWND window, UINT message)
{
    if (!IsQuitMessage(message))
        return FALSE;
    DestroyWindow(window);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK MonitorDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    MonitorContext *context = (MonitorContext *)GetWindowLongPtrA(window, DWLP_USER);

    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(window, lParam);
    case WM_TIMER:
        return OnBatteryPoll(window, context);
    case WM_POWERBROADCAST:
        return OnPowerBroadcast(context, wParam);
    case WM_ENDSESSION:
        return SendCameraEvent(context, CameraEventSessionEnd);
    case WM_DESTROY:
        return OnDestroy(window);
    default:
        return OnOtherMessage(window, message);
    }
}

void RunMonitor(HINSTANCE instance, MonitorContext *context)
{
    HWND window;
    MSG message;

    window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MONITOR), NULL, MonitorDialogProc,
                                (LPARAM)context);
    if (!window)
        return;
    // GetMessageA answers 0 for the quit that WM_DESTROY posts and -1 on error.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsWindow(window) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}
