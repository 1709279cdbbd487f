// The facts as collected, and the two ways of printing them.
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "status/status_report.h"

namespace {

// Text is escaped and written in chunks; an escaped byte takes at most four.
enum { ChunkSize = 512, WriteBufferSize = ChunkSize * 4 + 64 };

char *g_Facts;  // "key=value" strings, one after the other
unsigned g_Used;
unsigned g_Capacity;
unsigned g_Lost;

int Reserve(unsigned size)
{
    if (g_Used + size <= g_Capacity)
        return 1;
    char *grown = static_cast<char *>(realloc(g_Facts, g_Used + size + g_Capacity));
    if (grown)
        g_Facts = grown, g_Capacity += g_Used + size;
    return grown != NULL;
}

// Control characters as \r, \n or \xNN, every other byte as it is.
void WriteEscaped(const char *text, unsigned length)
{
    static const char hex[] = "0123456789abcdef";
    char escaped[WriteBufferSize];
    while (length > 0) {
        char *end = escaped;
        for (unsigned i = 0; i < ChunkSize && length > 0; i++, length--) {
            const unsigned char c = (unsigned char)*text++;
            if (c == '\r' || c == '\n')
                *end++ = '\\', *end++ = c == '\r' ? 'r' : 'n';
            else if (c < 0x20 || c == 0x7F)
                *end++ = '\\', *end++ = 'x', *end++ = hex[c >> 4], *end++ = hex[c & 15];
            else
                *end++ = (char)c;
        }
        *end = '\0';
        WriteText(escaped);
    }
}

}  // namespace

// A console shows bytes in its OEM code page, so text for it goes as UTF-16,
// converted from the ANSI code page the names were read in. Files and pipes
// get the ANSI bytes through msvcrt's _write, which writes "\n" as "\r\n".
void WriteText(const char *text)
{
    WCHAR wide[WriteBufferSize];
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (!GetConsoleMode(output, &mode)) {
        _write(1, text, (unsigned)strlen(text));
        return;
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, WriteBufferSize);
    if (length > 1)
        WriteConsoleW(output, wide, (DWORD)length - 1, &written, NULL);
}

// msvcrt's own formatting: the C++ headers switch the printf family to
// MinGW's static copy, which the executable must not carry.
void FormatText(char *buffer, unsigned size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    _vsnprintf(buffer, size - 1, format, arguments);
    va_end(arguments);
    buffer[size - 1] = '\0';
}

// Formatted straight into the collection, with twice the room until it fits:
// _vsnprintf answers -1 when it does not.
void Fact(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    for (unsigned size = 256;; size *= 2) {
        if (!Reserve(size)) {
            g_Lost++;
            break;
        }
        va_list copy;
        va_copy(copy, arguments);
        const int length = _vsnprintf(g_Facts + g_Used, size, format, copy);
        va_end(copy);
        if (length >= 0 && (unsigned)length < size) {
            g_Facts[g_Used + length] = '\0';
            g_Used += length + 1;
            break;
        }
    }
    va_end(arguments);
}

// Prose: a header per first part of the keys, then "  rest: value" lines in
// one column; keys without a dot (the verdict's) only with /values.
void PrintFacts(int values, const char *verdict)
{
    char line[WriteBufferSize];
    const char *group = "";
    unsigned groupLength = 0;
    for (unsigned at = 0; at < g_Used; at += (unsigned)strlen(g_Facts + at) + 1) {
        const char *key = g_Facts + at;
        const char *value = strchr(key, '=') + 1;
        const char *dot = strchr(key, '.');
        const unsigned length = (unsigned)(dot - key);
        if (values) {
            FormatText(line, sizeof line, "%.*s", (int)(value - key), key);
        } else if (dot && dot < value) {
            const int newGroup = length != groupLength || memcmp(group, key, length) != 0;
            FormatText(line, sizeof line, "%s%.*s%s  %-26.*s: ", newGroup ? "\n" : "", newGroup ? (int)length : 0,
                       key, newGroup ? "\n" : "", (int)(value - dot - 2), dot + 1);
            group = key, groupLength = length;
        } else {
            continue;
        }
        WriteText(line);
        WriteEscaped(value, (unsigned)strlen(value));
        WriteText("\n");
    }
    FormatText(line, sizeof line, values ? "report.facts_lost=%u\n" : "\nFacts lost (no memory): %u\n", g_Lost);
    if (g_Lost)
        WriteText(line);
    WriteText(values ? "summary=" : "\nVerdict: ");
    WriteEscaped(verdict, (unsigned)strlen(verdict));
    WriteText("\n");
    free(g_Facts);
}
