// NextMultiString over any device-ID list, walked from its start as the probe
// walks it.
#include "discovery/multi_string.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *list = ExactBlock(size, data, size, 0);

    // Each string starts where the last one ended, is not empty and ends
    // inside the list; together they are the list up to where the walk stops.
    unsigned long offset = 0;
    unsigned long next = 0;
    for (const char *entry; (entry = NextMultiString(list, size, &offset)) != NULL; next = offset) {
        FUZZ_EXPECT(entry == list + next);
        const size_t length = strnlen(entry, size - next);
        FUZZ_EXPECT(length > 0 && length < size - next);
        FUZZ_EXPECT(offset == next + length + 1);
    }
    // It stops at the end of the bytes, at the empty string or at a string
    // not terminated inside them, and leaves the offset there.
    FUZZ_EXPECT(offset == next);
    FUZZ_EXPECT(offset >= size || list[offset] == '\0' ||
                memchr(list + offset, '\0', size - offset) == NULL);

    free(list);
    return 0;
}
