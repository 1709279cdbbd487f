#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/command_tail.h"
#include "status/run_command.h"

namespace {

// Every program name CreateProcess tries for the command line, in order.
std::vector<std::string> Attempts(const char *commandLine, unsigned size = 260)
{
    std::vector<std::string> attempts;
    std::vector<char> program(size ? size : 1, '#');
    for (unsigned attempt = 0; TakeRunProgram(commandLine, attempt, program.data(), size); attempt++)
        attempts.push_back(program.data());
    return attempts;
}

TEST(RunCommand, ProgramIsTheQuotedPathOrEachPrefixBeforeABlank)
{
    using List = std::vector<std::string>;
    EXPECT_EQ(List({"C:\\Program Files\\ZN\\ZN374Mon.exe"}), Attempts("\"C:\\Program Files\\ZN\\ZN374Mon.exe\" /u"));
    EXPECT_EQ(List({"C:\\a b"}), Attempts("\"C:\\a b"));  // no closing quote: to the end
    EXPECT_EQ(List({"C:\\windows\\notepad.exe", "C:\\windows\\notepad.exe /x"}),
              Attempts("C:\\windows\\notepad.exe /x"));
    EXPECT_EQ(List({"C:\\Program", "C:\\Program Files\\a.exe", "C:\\Program Files\\a.exe\t/i"}),
              Attempts("C:\\Program Files\\a.exe\t/i"));
    EXPECT_EQ(List({"notepad"}), Attempts("notepad"));
    EXPECT_EQ(List({"", " a"}), Attempts(" a"));
    EXPECT_EQ(List({""}), Attempts(""));
}

TEST(RunCommand, ProgramThatDoesNotFitEndsTheAttemptsEmpty)
{
    char program[4] = "##";
    EXPECT_EQ(std::vector<std::string>({"abc"}), Attempts("abc defg", 4));
    EXPECT_EQ(0, TakeRunProgram("abcd", 0, program, sizeof program));
    EXPECT_EQ('\0', program[0]);
    EXPECT_EQ(0, TakeRunProgram("abc", 0, program, 0));
}

TEST(RunCommand, UninstallSwitchFollowsTheMonitorsTailRules)
{
    const struct
    {
        const char *commandLine;
        int holds;
    } cases[] = {
        {"C:\\windows\\ZN374Mon.exe /u", 1},     {"C:\\windows\\ZN374Mon.exe /i -U", 1},
        {"\"C:\\a b\\ZN374Mon.exe\" /u", 1},     {"\"C:\\a b\\ZN374Mon.exe\"/u", 1},
        {"C:\\windows\\ZN374Mon.exe /i", 0},     {"C:\\windows\\ZN374Mon.exe /ux", 0},
        {"C:\\windows\\ZN374Mon.exe\t/u", 1},    // any blank ends the program name
        {"C:\\windows\\ZN374Mon.exe /i\t/u", 0}, // but only a space a switch
        {"\"C:\\a /u b\\ZN374Mon.exe\"", 0},     {"C:\\a /u b\\ZN374Mon.exe", 1},
        {"/u", 0},                               {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.holds, HoldsUninstallSwitch(c.commandLine)) << c.commandLine;
}

TEST(RunCommand, SwitchesAreCutAtSpacesAndNamedWithoutCase)
{
    const struct
    {
        const char *tail;
        int found;
    } cases[] = {
        {"", 0}, {"/?", 1}, {"  -VALUES   /? ", 3}, {"/values", 2}, {"Files\\ZN374Stat.exe /?", 1},
        {"/?x", UnknownSwitch}, {"-?\t/values", UnknownSwitch}, {"/", UnknownSwitch}, {"?", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.found, FindSwitches(c.tail, "?\0values\0")) << c.tail;
}

}  // namespace
