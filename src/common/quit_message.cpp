#include "common/common.h"

namespace {

const char QuitPrefix[] = "ZN374";
const char QuitSeparator[] = "-";
const char QuitSuffix[] = "Quit Message";

char *AppendText(char *cursor, const char *text)
{
    while (*text)
        *cursor++ = *text++;
    *cursor = '\0';
    return cursor;
}

}  // namespace

void BuildQuitMessageName(char *buffer)
{
    char *cursor = AppendText(buffer, QuitPrefix);
    cursor = AppendText(cursor, QuitSeparator);
    AppendText(cursor, QuitSuffix);
}
