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

namespace {

// 1 when the text from text to end is name, ASCII letters compared without case.
int IsNamed(const char *text, const char *end, const char *name)
{
    const size_t length = strlen(name);
    if ((size_t)(end - text) != length)
        return 0;
    for (size_t i = 0; i < length; i++) {
        if ((text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]) != name[i])
            return 0;
    }
    return 1;
}

}  // namespace

int FindSwitches(const char *tail, const char *names)
{
    int found = 0;
    for (const char *token = tail, *end = tail; *token; token = end) {
        while (*token == ' ')
            token++;
        for (end = token; *end && *end != ' '; end++) {
        }
        if (token == end || (token[0] != '/' && token[0] != '-'))
            continue;
        int bit = UnknownSwitch;
        const char *name = names;
        for (int index = 0; *name; index++) {
            if (IsNamed(token + 1, end, name))
                bit = 1 << index;
            name += strlen(name) + 1;
        }
        found |= bit;
    }
    return found;
}

int HoldsUninstallSwitch(const char *commandLine)
{
    return FindSwitches(SkipProgramName(commandLine), "u\0") & 1;
}
