#include <gtest/gtest.h>

#include "discovery/multi_string.h"

namespace {

TEST(MultiStringWalk, YieldsEachStringThenStopsAtTheEmptyOne)
{
    const char list[] = "USB\\A\\1\0USB\\B\\2\0\0tail";
    unsigned long offset = 0;
    EXPECT_STREQ("USB\\A\\1", NextMultiString(list, sizeof list, &offset));
    EXPECT_STREQ("USB\\B\\2", NextMultiString(list, sizeof list, &offset));
    EXPECT_EQ(nullptr, NextMultiString(list, sizeof list, &offset));
    EXPECT_EQ(16ul, offset);
}

TEST(MultiStringWalk, StopsAtAStringNotTerminatedInsideTheSize)
{
    const char list[] = {'U', 'S', 'B', '\0', 'X', 'Y'};
    unsigned long offset = 0;
    EXPECT_STREQ("USB", NextMultiString(list, sizeof list, &offset));
    EXPECT_EQ(nullptr, NextMultiString(list, sizeof list, &offset));
    offset = 0;
    EXPECT_EQ(nullptr, NextMultiString(list, 0, &offset));
}

}  // namespace
