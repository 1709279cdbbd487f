#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "status/status_report.h"

namespace {

// Wide enough for the longest name, so that every value starts in one column.
const int NameWidth = 22;

// Longer output is cut, never overrun.
enum { LineBufferSize = 1024 };

// msvcrt's own formatting and low-level write: the C++ headers switch the
// printf family to MinGW's static copy, which the executable must not carry.
// _write on the standard output translates "\n" as the console expects.
void WriteFormatted(const char *format, va_list arguments)
{
    char text[LineBufferSize];
    _vsnprintf(text, sizeof text - 1, format, arguments);
    text[sizeof text - 1] = '\0';
    _write(1, text, (unsigned)strlen(text));
}

}  // namespace

void ReportText(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WriteFormatted(format, arguments);
    va_end(arguments);
}

void ReportSection(const char *title)
{
    ReportText("\n%s\n", title);
}

void ReportLine(const char *name, const char *format, ...)
{
    va_list arguments;
    ReportText("  %-*s: ", NameWidth, name);
    va_start(arguments, format);
    WriteFormatted(format, arguments);
    va_end(arguments);
    ReportText("\n");
}

void FormatText(char *buffer, unsigned size, const char *format, ...)
{
    va_list arguments;
    if (size == 0)
        return;
    // _vsnprintf leaves a string that fills the buffer unterminated.
    va_start(arguments, format);
    _vsnprintf(buffer, size - 1, format, arguments);
    va_end(arguments);
    buffer[size - 1] = '\0';
}
