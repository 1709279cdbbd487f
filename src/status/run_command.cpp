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
        const char *end = strchr(++start, '"');
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

const char *NextSwitch(const char **cursor, unsigned *length)
{
    const char *token = *cursor;
    while (*token == ' ')
        token++;
    const char *end = token;
    while (*end && *end != ' ')
        end++;
    *cursor = end;
    *length = (unsigned)(end - token);
    return *length ? token : NULL;
}

int IsSwitchNamed(const char *token, unsigned length, const char *name)
{
    if ((token[0] != '/' && token[0] != '-') || length != strlen(name) + 1)
        return 0;
    for (unsigned i = 1; i < length; i++) {
        const char c = token[i] >= 'A' && token[i] <= 'Z' ? (char)(token[i] + 32) : token[i];
        if (c != name[i - 1])
            return 0;
    }
    return 1;
}

int HoldsUninstallSwitch(const char *commandLine)
{
    const char *cursor = SkipProgramName(commandLine);
    unsigned length = 0;
    for (const char *token = NextSwitch(&cursor, &length); token; token = NextSwitch(&cursor, &length)) {
        if (IsSwitchNamed(token, length, "u"))
            return 1;
    }
    return 0;
}
