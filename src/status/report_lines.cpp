// The facts as collected, and the two ways of printing them.
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "status/status_report.h"

namespace {

// Text is written in chunks; an escaped byte takes at most four.
enum { ChunkSize = 512, WriteBufferSize = ChunkSize * 4 + 64 };

char *g_Facts;  // "key=value" strings one after the other, g_Used bytes of g_Capacity
unsigned g_Used;
unsigned g_Capacity;
unsigned g_Lost;

// Each chunk is converted alone, so a double-byte character of the ANSI code
// page the text was read in goes whole into one: its trail byte, which may
// itself look like a lead byte, is taken with its lead byte (IsDBCSLeadByte).
void WriteEscaped(const char *text)
{
    char escaped[WriteBufferSize];
    while (*text) {
        char *end = escaped;
        for (int i = 0; i < ChunkSize && *text; i++) {
            const unsigned char trail = (unsigned char)text[1];
            // A control character never passes unescaped, even after a lead byte.
            const int pair = IsDBCSLeadByte((BYTE)*text) && trail >= 0x20 && trail != 0x7F;
            if (pair && i == ChunkSize - 1)
                break;
            const unsigned char c = (unsigned char)*text++;
            if (pair) {
                *end++ = (char)c;
                *end++ = *text++;
                i++;
            } else if (c == '\r' || c == '\n') {
                *end++ = '\\';
                *end++ = c == '\r' ? 'r' : 'n';
            } else if (c < 0x20 || c == 0x7F) {
                FormatText(end, 5, "\\x%02x", c);
                end += 4;
            } else {
                *end++ = (char)c;
            }
        }
        *end = '\0';
        WriteText(escaped);
    }
}

// msvcrt's own formatting: the C++ headers switch the printf family to
// MinGW's static copy, which the executable must not carry.
void FormatArguments(char *buffer, unsigned size, const char *format, va_list arguments)
{
    _vsnprintf(buffer, size - 1, format, arguments);
    buffer[size - 1] = '\0';
}

int MakeRoom(unsigned size)
{
    if (g_Used + size <= g_Capacity)
        return 1;
    char *grown = static_cast<char *>(realloc(g_Facts, g_Used + size));
    if (!grown)
        return 0;
    g_Facts = grown;
    g_Capacity = g_Used + size;
    return 1;
}

}  // namespace

// A console shows bytes in its OEM code page, so text for it goes as UTF-16,
// converted from the ANSI code page the names were read in. Files and pipes
// get the ANSI bytes through msvcrt's _write, which writes "\n" as "\r\n";
// so does text that the console cannot take as UTF-16.
void WriteText(const char *text)
{
    WCHAR wide[WriteBufferSize];
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    int length = 0;
    if (GetConsoleMode(output, &mode))
        length = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, WriteBufferSize);
    if (length > 1)
        WriteConsoleW(output, wide, (DWORD)length - 1, &written, NULL);
    else if (!length)
        _write(1, text, (unsigned)strlen(text));
}

void FormatText(char *buffer, unsigned size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatArguments(buffer, size, format, arguments);
    va_end(arguments);
}

const char *Refusal(char *text, const char *code, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatArguments(text, TextBufferSize, format, arguments);
    va_end(arguments);
    return code;
}

// Formatted straight into the collection, with more room until it fits:
// _vsnprintf answers -1 when it does not.
void Fact(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = -1;
    for (unsigned size = 256; length < 0; size *= 2) {
        if (!MakeRoom(size))
            break;
        va_list copy;
        va_copy(copy, arguments);
        length = _vsnprintf(g_Facts + g_Used, size - 1, format, copy);
        va_end(copy);
    }
    va_end(arguments);
    if (length < 0) {
        g_Lost++;
        return;
    }
    g_Facts[g_Used + length] = '\0';
    g_Used += length + 1;
}

void LoseFact(void)
{
    g_Lost++;
}

void ErrorFact(const char *key, unsigned long error)
{
    Fact("%s=unreadable (error %lu)", key, error);
}

void YesNoFact(const char *key, int yes, unsigned long error)
{
    if (error)
        ErrorFact(key, error);
    else
        Fact("%s=%s", key, yes ? "yes" : "no");
}

const char *RegistryTypeName(DWORD type)
{
    static const char *const names[] = {
        "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN",
        "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
        "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    static_assert(sizeof names / sizeof names[0] == REG_QWORD + 1, "a name per type to REG_QWORD");
    return type < sizeof names / sizeof names[0] ? names[type] : "unknown type";
}

// Prose: a header per first part of the keys, then "  rest: value" lines in
// one column; keys without a dot (the verdict's) only with /values.
void PrintFacts(int values, const char *verdict)
{
    char line[WriteBufferSize];
    const char *group = "";  // the first part of the keys the last header named
    int groupLength = -1;
    for (unsigned at = 0; at < g_Used; at += (unsigned)strlen(g_Facts + at) + 1) {
        const char *key = g_Facts + at;
        const char *value = strchr(key, '=') + 1;
        const char *dot = strchr(key, '.');
        const int length = dot ? (int)(dot - key) : 0;
        if (values)
            FormatText(line, sizeof line, "%.*s", (int)(value - key), key);
        else if (!dot || dot >= value)
            continue;
        else if (length != groupLength || memcmp(group, key, length) != 0)
            FormatText(line, sizeof line, "\n%.*s\n  %-26.*s: ", length, key,
                       (int)(value - dot - 2), dot + 1);
        else
            FormatText(line, sizeof line, "  %-26.*s: ", (int)(value - dot - 2), dot + 1);
        group = key;
        groupLength = length;
        WriteText(line);
        WriteEscaped(value);
        WriteText("\n");
    }
    if (g_Lost && values)
        FormatText(line, sizeof line, "report.facts_lost=%u\n", g_Lost);
    else if (g_Lost)
        FormatText(line, sizeof line, "\nFacts lost (no memory): %u\n", g_Lost);
    WriteText(g_Lost ? line : "");
    WriteText(values ? "summary=" : "\nVerdict: ");
    WriteEscaped(verdict);
    WriteText("\n");
}

void ForgetFacts(void)
{
    free(g_Facts);
    g_Facts = NULL;
    g_Used = 0;
    g_Capacity = 0;
    g_Lost = 0;
}
