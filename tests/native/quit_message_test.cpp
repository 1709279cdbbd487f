#include <gtest/gtest.h>
#include <cstring>

#include "common/common.h"

TEST(QuitMessageName, IsTheSameTextAtEveryUse)
{
    char first[TextBufferSize];
    char second[TextBufferSize];
    memset(first, 0x23, sizeof first);
    memset(second, 0xcc, sizeof second);

    BuildQuitMessageName(first);
    BuildQuitMessageName(second);

    EXPECT_STREQ("ZN374-Quit Message", first);
    EXPECT_STREQ(first, second);
}
