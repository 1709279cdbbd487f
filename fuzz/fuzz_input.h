// What the fuzz targets share: numbers read off the front of an input,
// exact-size heap copies (so that AddressSanitizer reports any byte read or
// written past them), and stopping on a broken promise, which libFuzzer
// reports as a crash and saves the input for.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct FuzzInput
{
    const uint8_t *data;
    size_t size;

    // The next bytes as a little-endian number; bytes past the end read as 0.
    uint32_t Take(unsigned bytes)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < bytes && size > 0; i++, data++, size--)
            value |= (uint32_t)*data << (8 * i);
        return value;
    }
};

// A heap block of exactly size bytes, filled from bytes (repeated when shorter,
// or with fill when there are none).
inline char *ExactBlock(size_t size, const uint8_t *bytes, size_t count, char fill)
{
    char *block = static_cast<char *>(malloc(size));
    if (!block)
        abort();
    for (size_t i = 0; i < size; i++)
        block[i] = count ? (char)bytes[i % count] : fill;
    return block;
}

// The bytes up to the first NUL (or all of them) as a string in a heap block
// of exactly its length plus the terminator.
inline char *ExactString(const uint8_t *bytes, size_t count)
{
    const void *end = memchr(bytes, '\0', count);
    const size_t length = end ? (size_t)((const uint8_t *)end - bytes) : count;
    char *text = ExactBlock(length + 1, bytes, length, 0);
    text[length] = '\0';
    return text;
}

[[noreturn]] inline void BrokenPromise(const char *condition, const char *file, int line)
{
    fprintf(stderr, "%s:%d: promise broken: %s\n", file, line, condition);
    abort();
}

#define FUZZ_EXPECT(condition) \
    ((condition) ? (void)0 : BrokenPromise(#condition, __FILE__, __LINE__))
