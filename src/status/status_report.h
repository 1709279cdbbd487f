// ZN374Stat: explains from the live system why the monitor runs or not. The
// sections first collect facts, "key=value" in the order read, and the report
// prints them after: grouped by the key's first part, or as they are with
// /values. Nothing here sends the camera's driver a request, writes to the
// registry or sends a message.
#pragma once

#include <windows.h>

#include "common/common.h"

// A reason as a script counts it, by a token that is never renamed once
// released, and as a person reads it.
struct Reason
{
    const char *code;
    const char *text;
};

// What the verdict needs beyond the facts.
struct StatusFacts
{
    int windowsSupported;                // CheckWindowsVersion gave Nt5
    int windowsUnreadable;               // or Unreadable
    DWORD windowsMajor;
    DWORD windowsMinor;
    int cameraFound;                     // ProbeCamera gave Found
    int readingFailed;                   // a reading the monitor's decision rests on failed
                                         // (no answer): the Run value stays
    char reason[TextBufferSize];         // why not, when the monitor would not run
    const char *reasonCode;              // and its token
    char friendlyName[TextBufferSize];   // as the probe returned it
    char noEventReason[TextBufferSize];  // why an event would reach nothing, if it would
    char nextLogon[TextBufferSize * 2];  // what the Run value starts
};

// Records a fact formatted as "key=value"; the key ends at the first '='.
void Fact(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Counts facts that found no memory to be recorded in (report.facts_lost).
void LoseFact(void);
// Records "key=unreadable (error N)": the reading failed with Win32 error N.
void ErrorFact(const char *key, unsigned long error);
// Records "key=yes" when yes is not 0, else "key=no"; as ErrorFact when error
// is not 0.
void YesNoFact(const char *key, int yes, unsigned long error = 0);
// A registry value's type as the registry's documentation names it.
const char *RegistryTypeName(DWORD type);
// Prints the facts and the verdict sentence, control characters escaped as
// \r, \n and \xNN so that no text read from the machine can add a line.
void PrintFacts(int values, const char *verdict);
void WriteText(const char *text);
// vsnprintf into buffer, always terminated inside it.
void FormatText(char *buffer, unsigned size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes a reason's sentence into text (TextBufferSize bytes); returns code.
const char *Refusal(char *text, const char *code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Forgets the facts, so that the store can collect again.
void ForgetFacts(void);

// Shared by the sections.
extern const char MonitorFileName[];
// "<Windows directory>\ZN374Mon.exe", where the package and /i install it;
// returns 0, or the error that leaves the path unknown.
DWORD InstalledMonitorPath(char *path);
// The installed monitor's identity, or NULL when there is no such file or it
// cannot be read: then *error is why (0 when there is none).
struct FileIdentity;
const FileIdentity *InstalledMonitorIdentity(FileIdentity *identity, DWORD *error);
// key's file or product version of the file at path, or unreadable (error N).
void VersionFact(const char *key, const char *path, int product);
// text with its environment variables expanded, in a heap block; NULL on
// failure, with the error in *error.
char *Expand(const char *text, DWORD *error);

void ReportWindows(StatusFacts *facts);
void ReportCameraSearch(StatusFacts *facts);
void ReportDirectShow(StatusFacts *facts);
void ReportPower(void);
void ReportAutostart(StatusFacts *facts);
void ReportRunningMonitors(void);
void ReportPackage(void);
