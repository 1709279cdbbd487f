#include "status/run_command.h"

#include <string.h>

#include "startup/command_tail.h"

int TakeRunProgram(const char *commandLine, unsigned attempt, char *program, unsigned size)
{
    if (size == 0)
        return 0;
    program[0] = '\0';
    const char *start = commandLine;
    size_t length = 0;
    if (commandLine[0] == '"') {
        if (attempt > 0)
            return 0;
        start++;
        const char *end = strchr(start, '"');
        length = end ? (size_t)(end - start) : strlen(start);
    } else {
        // The attempt-th blank ends the name; after the last blank, the line's end.
        unsigned blanks = 0;
        const char *end = commandLine;
        for (; *end; end++) {
            if ((*end == ' ' || *end == '\t') && blanks++ == attempt)
                break;
        }
        if (*end == '\0' && blanks != attempt)
            return 0;
        length = (size_t)(end - start);
    }
    if (length >= size)
        return 0;
    memcpy(program, start, length);
    program[length] = '\0';
    return 1;
}

int HoldsUninstallSwitch(const char *commandLine)
{
    const int switches = FindSwitches(SkipProgramName(commandLine), MonitorSwitchNames);
    return (switches & UninstallSwitch) != 0;
}
