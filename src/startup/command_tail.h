// Reading the process command line. No Windows header: built natively too.
#pragma once

// Returns the command-line tail: what follows the program name and the blanks
// after it. A name that starts with a double quote runs to the closing quote
// (or to the end); any other name runs to the first character at or below the
// space. Every following character from 0x01 to 0x20 is then skipped. The
// result points into commandLine; a null commandLine gives an empty tail.
const char *SkipProgramName(const char *commandLine);

// Size of the heap copy the switches are cut from: 260 bytes, or the tail's
// length plus its terminator when the tail does not fit into 260.
unsigned CommandCopySize(unsigned tailLength);
