// Reading the process command line. No Windows header: built natively too.
#pragma once

// Returns the command-line tail: what follows the program name and the blanks
// after it. A name that starts with a double quote runs to the closing quote
// (or to the end); any other name runs to the first character at or below the
// space. Every following character from 0x01 to 0x20 is then skipped. The
// result points into commandLine; a null commandLine gives an empty tail.
const char *SkipProgramName(const char *commandLine);

// The switches of a command-line tail, cut at spaces only (a tab stays
// inside its token): bit i of the result is set when "/name" or "-name" for
// the i-th of names (a list of strings ended by an empty one) is among them,
// ASCII letters compared without case; UnknownSwitch when another token
// starting with '/' or '-' is. The monitor reads its own switches so, and the
// report both its own and, for the Run value, the monitor's.
enum { UnknownSwitch = 0x80 };
int FindSwitches(const char *tail, const char *names);

// The monitor's switches, in the order of FindSwitches' bits.
const char MonitorSwitchNames[] = "i\0u\0";
enum { InstallSwitch = 1, UninstallSwitch = 2 };
