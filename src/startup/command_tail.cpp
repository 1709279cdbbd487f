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

namespace {

// 1 when the text from text to end is name, ASCII letters compared without
// case: the user's locale plays no part (in a Turkish one, lstrcmpiA does not
// take "I" for "i").
int IsNamed(const char *text, const char *end, const char *name)
{
    const char *letter = name;
    for (; text < end && *letter; text++) {
        const char folded = *text >= 'A' && *text <= 'Z' ? (char)(*text + 32) : *text;
        if (folded != *letter)
            return 0;
        letter++;
    }
    return text == end && !*letter;
}

}  // namespace

int FindSwitches(const char *tail, const char *names)
{
    int found = 0;
    const char *end = tail;
    while (*end) {
        const char *token = end;
        while (*token == ' ')
            token++;
        end = token;
        while (*end && *end != ' ')
            end++;
        if (token == end || (token[0] != '/' && token[0] != '-'))
            continue;
        int bit = UnknownSwitch;
        const char *name = names;
        for (int index = 0; *name; index++) {
            if (IsNamed(token + 1, end, name))
                bit = 1 << index;
            while (*name)
                name++;
            name++;
        }
        found |= bit;
    }
    return found;
}
