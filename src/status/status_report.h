// ZN374Stat: explains from the live system why the monitor runs or not. Each
// section prints what it read and keeps what the verdict needs in
// StatusFacts. Nothing here writes to the registry, talks to the camera's
// driver or sends a message.
#pragma once

#include <windows.h>

#include "common/common.h"

enum RunValueState
{
    RunValueAbsent = 0,
    RunValueUnreadable = 1,
    RunValueFileMissing = 2,
    RunValueFileExists = 3
};

struct StatusFacts
{
    int windowsSupported;        // IsSupportedWindowsVersion
    DWORD windowsMajor;
    DWORD windowsMinor;
    int cameraFound;             // ProbeCamera's answer
    char cameraReason[TextBufferSize];  // why not, when cameraFound is 0
    char friendlyName[TextBufferSize];  // as the probe returned it
    int nameReached;             // the camera channel's walk bound a filter by that name
    int propertySet;             // and the filter offers the property set
    RunValueState runValue;
    LONG runValueError;
    char runFile[TextBufferSize];       // the file the Run value names
};

// Output: a header per section, then "name: value" lines in one column.
void ReportText(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ReportSection(const char *title);
void ReportLine(const char *name, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// vsnprintf into buffer, always terminated inside it.
void FormatText(char *buffer, unsigned size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void ReportWindows(StatusFacts *facts);
void ReportCameraSearch(StatusFacts *facts);
void ReportDirectShow(StatusFacts *facts);
void ReportPower(void);
void ReportAutostart(StatusFacts *facts);
void ReportRunningMonitors(const StatusFacts *facts);
