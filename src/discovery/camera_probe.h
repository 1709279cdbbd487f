// Finding a supported camera in the device tree. No Windows header here: the
// main routine and the native tests include this file too.
#pragma once

#include <stddef.h>

enum
{
    HardwareIdSlotSize = 80,      // each table entry, terminator and zero fill included
    SupportedHardwareIdCount = 4
};

// Interface 0 of the composite USB cameras this program serves, in the order
// they are tried.
extern const char SupportedHardwareIds[SupportedHardwareIdCount][HardwareIdSlotSize];

// What the probe's walks visit, told to an optional observer. Results are
// passed as the platform returned them (CONFIGRET, LONG, GetLastError).
enum ProbeWalk
{
    ProbeWalkClass = 0,       // the Imaging class, read 4096 bytes of each list
    ProbeWalkUsb = 1          // the USB enumerator's devices, 260 bytes of each list
};

enum ProbeStep
{
    ProbeStepClassList = 0,   // the Imaging class list; result: 0, or the error
    ProbeStepUsbListSize = 1, // size of the enumerator's device list
    ProbeStepUsbList = 2,     // the list itself; the USB walk follows
    ProbeStepUsbListGrew = 3, // the list outgrew its size (CR_BUFFER_SMALL): the
                              // walk asks for the size and the list again
    ProbeStepClassEnd = 4,    // the class walk's end; result: ERROR_NO_MORE_ITEMS at
                              // the list's end, else the error that cut it short
    ProbeStepNoMemory = 5     // a block the probe needs could not be allocated, which
                              // ends its walk; result: the block's size in bytes
};

struct ProbeObserver
{
    void *context;
    void (*Step)(void *context, ProbeStep step, unsigned long result);
    // USB walk: an instance ID from the list and the result of locating it.
    void (*Located)(void *context, const char *instanceId, unsigned long result);
    // Either walk: a device's hardware-ID list as read (readSize bytes at most),
    // before the matching. On CR_BUFFER_SMALL, length is the size the list needs.
    void (*HardwareIds)(void *context, ProbeWalk walk, unsigned long node, unsigned long result,
                        const char *list, unsigned long length, unsigned long readSize);
    // The matching's verdict on the list just told.
    void (*Matched)(void *context, ProbeWalk walk, int matched);
    // USB walk, matching device: its status, and whether the walk takes it
    // (only with its driver loaded).
    void (*Status)(void *context, unsigned long result, unsigned long status,
                   unsigned long problem, int taken);
    // The chosen device's driver key, and each value read from it: the query's
    // result, the stored type, the bytes as the probe keeps them and the size
    // the query reported.
    void (*DriverKey)(void *context, unsigned long node, unsigned long result);
    void (*DriverValue)(void *context, const char *name, long result, unsigned long type,
                        const void *data, unsigned long size);
};

// What the probe can tell. Only NoCamera is an answer that the machine has no
// usable camera; a reading that failed leaves the question open. A scoped
// enumeration, so that no caller can test it as a found flag.
enum class ProbeResult
{
    NoCamera,       // every list read to its end and no camera, or selective suspend off
    Found,          // a supported camera with selective suspend on
    ReadingFailed   // not found, and a reading the answer rests on failed
};

// Looks for a device whose hardware IDs contain one of ids[0..count), first in
// the Imaging setup class and then among the USB devices, and requires a
// non-zero SelectiveSuspend in its driver key. driverDesc and friendlyName are
// optional (NULL or size 0 skips them); each given one always ends up a
// NUL-terminated string, empty when the value is unusable. A code that
// Windows documents as an answer (the end of a list, a device or value that
// does not exist, a device not present, a value longer than asked for) is
// taken as one; any other failure of a call the answer needs makes a "no"
// ReadingFailed. observer (NULL for none) is told what the walks visit; it
// changes nothing they decide, and only a build with ZN_WALK_OBSERVERS tells
// it anything.
ProbeResult ProbeCamera(const char *const *ids, unsigned count,
                        char *driverDesc, unsigned driverDescSize,
                        char *friendlyName, unsigned friendlyNameSize,
                        const ProbeObserver *observer = NULL);
