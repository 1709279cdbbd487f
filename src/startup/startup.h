// Start-up control: the main routine and the Windows version gate.
#pragma once

#include <windows.h>

// Applies the switches in commandTail (/i, -i write the autostart value; /u,
// -u delete it and tell running monitors to quit), then either monitors the
// supported camera until told to quit or, on an unusable machine, removes the
// autostart value. Always returns 0, the process exit code.
int MainRoutine(HINSTANCE instance, const char *commandTail);

// 1 when the running Windows reports major version 5 (2000, XP, Server 2003).
int IsSupportedWindowsVersion(void);

// Posts the quit message to the top-level windows of the recipients
// (BSM_APPLICATIONS: every application's on this desktop). buffer holds at
// least TextBufferSize bytes and is overwritten. The package's actions post it
// too, without the /u run that would also delete the autostart value.
void BroadcastQuit(char *buffer, DWORD *recipients);
