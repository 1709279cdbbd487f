#include <gtest/gtest.h>

#include <string>

#include "startup/command_tail.h"

namespace {

std::string TailOf(const char *commandLine)
{
    return SkipProgramName(commandLine);
}

TEST(CommandTail, UnquotedNameEndsAtFirstBlank)
{
    EXPECT_EQ("/i", TailOf("ZN374Mon.exe /i"));
    EXPECT_EQ("/i -u", TailOf("C:\\WINDOWS\\ZN374Mon.exe /i -u"));
    EXPECT_EQ("", TailOf("ZN374Mon.exe"));
    EXPECT_EQ("", TailOf(""));
}

TEST(CommandTail, QuotedNameRunsToClosingQuote)
{
    EXPECT_EQ("/u", TailOf("\"C:\\Program Files\\ZN Tools\\ZN374Mon.exe\" /u"));
    // Nothing needs to separate the closing quote from the first switch.
    EXPECT_EQ("/i", TailOf("\"C:\\a b\\x.exe\"/i"));
    EXPECT_EQ("", TailOf("\"C:\\a b\\x.exe\""));
}

TEST(CommandTail, QuotedNameWithoutClosingQuoteTakesEverything)
{
    EXPECT_EQ("", TailOf("\"C:\\a b\\x.exe /i"));
}

TEST(CommandTail, EveryControlCharacterAndSpaceAfterNameIsSkipped)
{
    EXPECT_EQ("/i", TailOf("x.exe \t\r\n\x01\x1f /i"));
    // Only the blanks before the first switch go; the ones between switches stay.
    EXPECT_EQ("/i\t/u ", TailOf("x.exe\t/i\t/u "));
}

TEST(CommandTail, ControlCharacterEndsUnquotedName)
{
    EXPECT_EQ("/i", TailOf("x.exe\x01/i"));
}

TEST(CommandTail, HighAnsiCharactersBelongToTheName)
{
    // 0xE9 is a letter in code page 1252; read as a signed char it would be
    // negative and end the name early.
    EXPECT_EQ("/i", TailOf("caf\xe9\xa0mon.exe /i"));
}

TEST(CommandTail, NullCommandLineGivesEmptyTail)
{
    const char *tail = SkipProgramName(nullptr);
    ASSERT_NE(nullptr, tail);
    EXPECT_EQ('\0', tail[0]);
}

}  // namespace
