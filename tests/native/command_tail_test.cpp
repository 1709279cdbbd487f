#include <gtest/gtest.h>

#include "startup/command_tail.h"

namespace {

TEST(CommandTail, IsWhatFollowsTheProgramNameAndTheBlanksAfterIt)
{
    const struct
    {
        const char *commandLine;
        const char *tail;
    } cases[] = {
        // An unquoted name ends at the first blank or control character.
        {"ZN374Mon.exe /i", "/i"},
        {"C:\\WINDOWS\\ZN374Mon.exe /i -u", "/i -u"},
        {"ZN374Mon.exe", ""},
        {"", ""},
        {"x.exe\x01/i", "/i"},
        // A quoted one runs to the closing quote, which needs no blank after
        // it; without a closing quote it takes everything.
        {"\"C:\\Program Files\\ZN Tools\\ZN374Mon.exe\" /u", "/u"},
        {"\"C:\\a b\\x.exe\"/i", "/i"},
        {"\"C:\\a b\\x.exe\"", ""},
        {"\"C:\\a b\\x.exe /i", ""},
        // Every control character and space after the name goes; the blanks
        // between switches stay.
        {"x.exe \t\r\n\x01\x1f /i", "/i"},
        {"x.exe\t/i\t/u ", "/i\t/u "},
        // 0xE9 is a letter in code page 1252; read as a signed char it would
        // be negative and end the name early.
        {"caf\xe9\xa0mon.exe /i", "/i"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.tail, SkipProgramName(c.commandLine)) << c.commandLine;
}

TEST(CommandTail, NullCommandLineGivesEmptyTail)
{
    const char *tail = SkipProgramName(nullptr);
    ASSERT_NE(nullptr, tail);
    EXPECT_EQ('\0', tail[0]);
}

}  // namespace
