#include "process_meter.h"

#include <psapi.h>
#include <stdlib.h>
#include <string.h>

#include "simkit.h"

namespace {

// Wine answers GetProcessHandleCount with 0, so handles are counted in the
// system handle table (SystemHandleInformation), entry by entry.
const ULONG SystemHandleInformation = 16;
const LONG StatusInfoLengthMismatch = (LONG)0xC0000004;

struct SystemHandleEntry
{
    ULONG ownerPid;
    BYTE objectType;
    BYTE handleFlags;
    USHORT handleValue;
    PVOID objectPointer;
    ULONG accessMask;
};

struct SystemHandleTable
{
    ULONG count;
    SystemHandleEntry handles[1];
};

typedef LONG(WINAPI *QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

struct DialogSearch
{
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM lParam)
{
    DialogSearch *search = (DialogSearch *)lParam;
    DWORD owner = 0;
    char className[16] = "";
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && GetClassNameA(window, className, sizeof className) > 0 &&
        lstrcmpA(className, "#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

long CountHandles(DWORD processId)
{
    QuerySystemInformation query =
        (QuerySystemInformation)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    ULONG size = 256 * 1024;
    SystemHandleTable *table = NULL;
    long count = -1;
    LONG status;

    if (!query)
        return -1;
    for (;;) {
        table = (SystemHandleTable *)malloc(size);
        if (!table)
            return -1;
        status = query(SystemHandleInformation, table, size, NULL);
        if (status != StatusInfoLengthMismatch)
            break;
        free(table);
        size *= 2;
    }
    if (status >= 0) {
        count = 0;
        for (ULONG i = 0; i < table->count; ++i)
            count += table->handles[i].ownerPid == processId;
    }
    free(table);
    return count;
}

}  // namespace

int MeasureProcess(HANDLE process, DWORD processId, ProcessCost *cost)
{
    PROCESS_MEMORY_COUNTERS memory;

    memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    cost->handles = CountHandles(processId);
    cost->liveFilters = SimLiveFilterObjectsOf(processId);
    if (!GetProcessMemoryInfo(process, &memory, sizeof memory))
        return 0;
    cost->privateBytes = memory.PagefileUsage;
    cost->workingSet = memory.WorkingSetSize;
    return cost->handles >= 0;
}

int StartProgram(const char *exePath, const char *tail, PROCESS_INFORMATION *info)
{
    char commandLine[1024];
    STARTUPINFOA startup;

    wsprintfA(commandLine, "\"%s\"%s%s", exePath, tail[0] ? " " : "", tail);
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    memset(info, 0, sizeof *info);
    return CreateProcessA(exePath, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, info) != 0;
}

void EndProgram(PROCESS_INFORMATION *info)
{
    if (!info->hProcess)
        return;
    TerminateProcess(info->hProcess, 0);
    WaitForSingleObject(info->hProcess, 10000);
    CloseHandle(info->hThread);
    CloseHandle(info->hProcess);
    memset(info, 0, sizeof *info);
}

HWND FindDialogWindow(DWORD processId)
{
    DialogSearch search = {processId, NULL};
    EnumWindows(MatchDialog, (LPARAM)&search);
    return search.found;
}

HWND WaitForDialogWindow(const PROCESS_INFORMATION &info, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    HWND window;

    while (!(window = FindDialogWindow(info.dwProcessId))) {
        if (WaitForSingleObject(info.hProcess, 1) == WAIT_OBJECT_0 || GetTickCount() - start > timeoutMs)
            return NULL;
    }
    return window;
}

LARGE_INTEGER Now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double ElapsedMs(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now = Now(), frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}
