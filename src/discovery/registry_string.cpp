#include "discovery/registry_string.h"

#include <string.h>

void SettleQueriedString(char *buffer, unsigned long bufferSize, int queried,
                         unsigned long dataSize)
{
    if (!buffer || bufferSize == 0)
        return;
    if (!queried || dataSize > bufferSize) {
        buffer[0] = '\0';
        return;
    }
    if (memchr(buffer, '\0', dataSize))
        return;
    if (dataSize < bufferSize)
        buffer[dataSize] = '\0';
    else
        buffer[0] = '\0';  // fills the buffer with no room left for a terminator
}
