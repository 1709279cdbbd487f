// SettleQueriedString over whatever a registry query could leave behind: 1
// byte whose low bit says whether the query succeeded with a string type, 2
// bytes of buffer size, 4 of reported data size, then the buffer's bytes.
#include "discovery/registry_string.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    const int queried = input.Take(1) & 1;
    const unsigned long bufferSize = input.Take(2) % 1024;
    const unsigned long dataSize = input.Take(4);

    char *buffer = ExactBlock(bufferSize, input.data, input.size, 'x');
    char *before = ExactBlock(bufferSize, input.data, input.size, 'x');

    SettleQueriedString(buffer, bufferSize, queried, dataSize);

    if (bufferSize > 0) {
        // Terminated inside the buffer, by at most one NUL written, and what
        // it holds is a string the value carried, or nothing.
        const void *end = memchr(buffer, '\0', bufferSize);
        FUZZ_EXPECT(end != NULL);
        const size_t length = (const char *)end - buffer;
        unsigned changed = 0;
        for (unsigned long i = 0; i < bufferSize; i++) {
            if (buffer[i] != before[i]) {
                FUZZ_EXPECT(buffer[i] == '\0');
                changed++;
            }
        }
        FUZZ_EXPECT(changed <= 1);
        FUZZ_EXPECT(length == 0 || (queried && length <= dataSize && dataSize <= bufferSize));
        // A string terminated inside the data is kept as stored, and one that
        // fits without its terminator is kept whole.
        if (queried && dataSize <= bufferSize) {
            const void *stored = memchr(before, '\0', dataSize);
            if (stored)
                FUZZ_EXPECT(length == (size_t)((const char *)stored - before));
            else if (dataSize < bufferSize)
                FUZZ_EXPECT(length == dataSize);
        }
    }

    free(before);
    free(buffer);
    return 0;
}
