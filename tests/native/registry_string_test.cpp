#include <gtest/gtest.h>

#include <string.h>

#include "discovery/registry_string.h"

namespace {

struct QueriedCase
{
    const char *stored;       // bytes the query left in the buffer
    unsigned long storedSize;
    unsigned long dataSize;   // what the query reported
    int queried;
    const char *expected;
};

TEST(QueriedString, IsAlwaysTerminatedInsideItsBuffer)
{
    const QueriedCase cases[] = {
        {"Cam\0", 4, 4, 1, "Cam"},      // stored with its terminator
        {"Cam", 3, 3, 1, "Cam"},        // fits without its terminator: one is added
        {"Camera", 6, 6, 1, ""},        // fills the buffer with no terminator: dropped
        {"Cam\0ra", 6, 6, 1, "Cam"},    // a terminator inside the data is enough
        {"Camera", 6, 6, 0, ""},        // missing, not a string, or too large
        {"Cam\0", 4, 9, 1, ""},         // a size beyond the buffer is not believed
        {"", 0, 0, 1, ""},
    };
    for (const QueriedCase &c : cases) {
        char buffer[8];
        memset(buffer, 0xcc, sizeof buffer);
        memcpy(buffer, c.stored, c.storedSize);
        SettleQueriedString(buffer, 6, c.queried, c.dataSize);
        EXPECT_STREQ(c.expected, buffer) << "stored \"" << c.stored << "\", size " << c.dataSize;
        EXPECT_EQ((char)0xcc, buffer[6]) << "wrote past the buffer";
    }
}

TEST(QueriedString, LeavesAnAbsentOrEmptyBufferAlone)
{
    SettleQueriedString(nullptr, 10, 1, 3);
    char one = 'x';
    SettleQueriedString(&one, 0, 0, 0);
    EXPECT_EQ('x', one);
}

}  // namespace
