// What the bench reads about a process on the simulated machine, from
// outside: its cost in memory, handles and live stand-in filter objects, and
// its hidden dialog window.
#pragma once

#include <windows.h>

struct ProcessCost
{
    long handles;          // entries of the system handle table owned by the process
    SIZE_T privateBytes;   // PagefileUsage: Wine reports PrivateUsage as 0
    SIZE_T workingSet;
    long liveFilters;      // stand-in camera filter objects alive in it
};

// 1 when every figure was read.
int MeasureProcess(HANDLE process, DWORD processId, ProcessCost *cost);

// Starts the program with the command-line tail; 1 on success.
int StartProgram(const char *exePath, const char *tail, PROCESS_INFORMATION *info);

// Ends a started program by force and closes its handles.
void EndProgram(PROCESS_INFORMATION *info);

// The process's top-level dialog (#32770; Wine adds an IME window to every
// GUI thread), or NULL.
HWND FindDialogWindow(DWORD processId);

// Polls for the dialog every millisecond; NULL when the process ended or
// timeoutMs passed first.
HWND WaitForDialogWindow(const PROCESS_INFORMATION &info, DWORD timeoutMs);

// Milliseconds since start, from the performance counter.
double ElapsedMs(const LARGE_INTEGER &start);
LARGE_INTEGER Now(void);
