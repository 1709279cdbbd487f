// Start-up control: the main routine and the Windows version gate.
#pragma once

#include <windows.h>

// Applies the switches in commandTail (/i, -i write the autostart value; /u,
// -u delete it and tell running monitors to quit), then either monitors the
// supported camera until told to quit or, on an unusable machine, removes the
// autostart value; a reading that failed leaves it for the next log-on.
// Always returns 0, the process exit code.
int MainRoutine(HINSTANCE instance, const char *commandTail);

// What the running Windows reports: major version 5 (2000, XP, Server 2003),
// another, or nothing, when neither version record can be read. Scoped, so
// that no caller takes a failed reading for an answer.
enum class WindowsVersion
{
    OtherThanNt5,
    Nt5,
    Unreadable
};
WindowsVersion CheckWindowsVersion(void);

// Posts the quit message to the top-level windows of the recipients
// (BSM_APPLICATIONS: every application's on this desktop). buffer holds at
// least TextBufferSize bytes and is overwritten. The package's actions post it
// too, without the /u run that would also delete the autostart value.
void BroadcastQuit(char *buffer, DWORD *recipients);
