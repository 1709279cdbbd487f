#include "startup/command_tail.h"

#include "common/common.h"

const char *SkipProgramName(const char *commandLine)
{
    if (!commandLine)
        return "";

    // Unsigned, so that characters of the ANSI code page above 0x7F count as
    // part of a name rather than as blanks.
    const unsigned char *cursor = reinterpret_cast<const unsigned char *>(commandLine);
    if (*cursor == '"') {
        ++cursor;
        while (*cursor && *cursor != '"')
            ++cursor;
        if (*cursor == '"')
            ++cursor;
    } else {
        while (*cursor > ' ')
            ++cursor;
    }
    while (*cursor && *cursor <= ' ')
        ++cursor;
    return reinterpret_cast<const char *>(cursor);
}

unsigned CommandCopySize(unsigned tailLength)
{
    if (tailLength >= TextBufferSize)
        return tailLength + 1;
    return TextBufferSize;
}
