#include "startup/autostart_value.h"

namespace {

unsigned TextLength(const char *text)
{
    unsigned length = 0;
    while (text[length])
        ++length;
    return length;
}

int HasSpace(const char *text)
{
    for (; *text; ++text) {
        if (*text == ' ')
            return 1;
    }
    return 0;
}

char *Append(char *cursor, const char *text, unsigned length)
{
    for (unsigned i = 0; i < length; ++i)
        *cursor++ = text[i];
    return cursor;
}

}  // namespace

int BuildAutostartValue(const char *windowsDirectory, const char *fileName,
                        char *data, unsigned dataSize)
{
    if (!data || dataSize == 0)
        return 0;
    data[0] = '\0';
    if (!windowsDirectory || !fileName || !windowsDirectory[0] || !fileName[0])
        return 0;

    const unsigned directoryLength = TextLength(windowsDirectory);
    const unsigned fileLength = TextLength(fileName);
    const int quoted = HasSpace(windowsDirectory) || HasSpace(fileName);
    // Directory, backslash, file name and terminator, plus the two quotes if
    // any; compared by subtraction so that no sum can wrap.
    const unsigned extra = 2 + (quoted ? 2u : 0u);
    if (extra > dataSize || directoryLength > dataSize - extra ||
        fileLength > dataSize - extra - directoryLength)
        return 0;

    char *cursor = data;
    if (quoted)
        *cursor++ = '"';
    cursor = Append(cursor, windowsDirectory, directoryLength);
    *cursor++ = '\\';
    cursor = Append(cursor, fileName, fileLength);
    if (quoted)
        *cursor++ = '"';
    *cursor = '\0';
    return 1;
}
