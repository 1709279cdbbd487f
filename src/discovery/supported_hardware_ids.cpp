#include "discovery/camera_probe.h"

// Fixed slots, zero-filled past each terminator.
const char SupportedHardwareIds[SupportedHardwareIdCount][HardwareIdSlotSize] = {
    "USB\\VID_05CA&PID_1814&MI_00",
    "USB\\VID_05CA&PID_180F&MI_00",
    "USB\\VID_0461&PID_4DB1&MI_00",
    "USB\\VID_0AC8&PID_C501&MI_00",
};
