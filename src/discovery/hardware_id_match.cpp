#include "discovery/hardware_id_match.h"

#include <string.h>

namespace {

char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

int IsWantedId(const char *piece, const char *const *ids, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        if (ids[i] && CompareAsciiNoCase(piece, ids[i]) == 0)
            return 1;
    }
    return 0;
}

}  // namespace

int CompareAsciiNoCase(const char *a, const char *b)
{
    // Hardware IDs are ASCII; folding by the C runtime's locale or the ANSI
    // code page would make the answer depend on the machine it runs on.
    for (;; a++, b++) {
        const unsigned char fa = (unsigned char)FoldAscii(*a);
        const unsigned char fb = (unsigned char)FoldAscii(*b);
        if (fa != fb)
            return fa < fb ? -1 : 1;
        if (fa == 0)
            return 0;
    }
}

int MatchHardwareIdList(char *list, unsigned long length, unsigned long capacity,
                        const char *const *ids, unsigned count)
{
    if (capacity < MultiStringGuardBytes)
        return 0;
    // The device decides what is in its list; a list that fills the read
    // without its closing empty string must not lead the scan past the bytes
    // that were actually read.
    if (length > capacity - MultiStringGuardBytes)
        length = capacity - MultiStringGuardBytes;
    list[length] = '\0';
    list[length + 1] = '\0';

    char *cursor = list;
    while (*cursor != '\0') {
        char *piece = strtok(cursor, ",");
        if (!piece) {
            // Commas alone: strtok found nothing before the terminator.
            cursor += strlen(cursor) + 1;
            continue;
        }
        if (IsWantedId(piece, ids, count))
            return 1;
        // Past the piece's terminator: the next piece of a string cut at a
        // comma, or the next string. A string that ended in a comma leads to
        // its own terminator here, which ends the scan.
        cursor = piece + strlen(piece) + 1;
    }
    return 0;
}

const char *TakeEnumeratorName(char *buffer, unsigned long capacity, const char *hardwareId)
{
    if (!hardwareId || capacity == 0)
        return NULL;
    const size_t length = strlen(hardwareId);
    if (length >= capacity)
        return NULL;
    memcpy(buffer, hardwareId, length + 1);
    return strtok(buffer, "\\");
}
