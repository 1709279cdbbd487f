#include "discovery/multi_string.h"

#include <string.h>

const char *NextMultiString(const char *list, unsigned long size, unsigned long *offset)
{
    if (*offset >= size || list[*offset] == '\0')
        return NULL;
    const char *entry = list + *offset;
    const void *end = memchr(entry, '\0', size - *offset);
    if (!end)
        return NULL;
    *offset += (unsigned long)((const char *)end - entry) + 1;
    return entry;
}
