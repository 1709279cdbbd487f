// How Windows reads a command line such as the Run value, and whether the
// monitor takes /u from it. No Windows header: tested natively and fuzzed.
#pragma once

// Writes the attempt-th program name that CreateProcess, given the command line
// and no application name, tries: the text inside a leading pair of quotes
// (to the end when the quote is not closed), or else the text before each
// space or tab in turn and at last the whole line. Returns 1 with program
// NUL-terminated, or 0 with program empty when there is no such attempt or it
// does not fit into size bytes.
int TakeRunProgram(const char *commandLine, unsigned attempt, char *program, unsigned size);

// 1 when the monitor, given this whole command line, would take /u or -u
// (remove its Run value and end) instead of deciding again.
int HoldsUninstallSwitch(const char *commandLine);
