// The hidden monitor window: turns suspend, session end and the battery poll
// into camera events, and ends when the quit message arrives.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "common/common.h"
#include "monitor/battery_rule.h"

// Refreshed by every battery poll; kept for the life of the process.
extern PowerSnapshot g_PowerSnapshot;
// 1 from the "battery critical" event to the "battery recovered" event,
// whether or not the camera accepted them.
extern uint32_t g_LowBatteryEngaged;

// Creates the window from template 101 of instance and runs the thread's
// message loop until the window is gone. The context must outlive the call.
void RunMonitor(HINSTANCE instance, MonitorContext *context);

INT_PTR CALLBACK MonitorDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Reads the power policy's critical level and the power status into
// g_PowerSnapshot; 1 when both readings succeeded.
int RefreshPowerState(void);
