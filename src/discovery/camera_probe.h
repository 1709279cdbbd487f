// Finding a supported camera in the device tree. No Windows header here: the
// main routine and the native tests include this file too.
#pragma once

enum
{
    HardwareIdSlotSize = 80,      // each table entry, terminator and zero fill included
    SupportedHardwareIdCount = 4
};

// Interface 0 of the composite USB cameras this program serves, in the order
// they are tried.
extern const char SupportedHardwareIds[SupportedHardwareIdCount][HardwareIdSlotSize];

// Looks for a device whose hardware IDs contain one of ids[0..count), first in
// the Imaging setup class and then among the USB devices, and requires a
// non-zero SelectiveSuspend in its driver key. driverDesc and friendlyName are
// optional (NULL or size 0 skips them); each given one always ends up a
// NUL-terminated string, empty when the value is unusable. Returns 1 when a
// camera was found and passed the selective-suspend rule, else 0.
int ProbeCamera(const char *const *ids, unsigned count,
                char *driverDesc, unsigned driverDescSize,
                char *friendlyName, unsigned friendlyNameSize);
