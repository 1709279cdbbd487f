#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "discovery/camera_probe.h"
#include "discovery/hardware_id_match.h"

namespace {

const char *const Wanted[] = {
    SupportedHardwareIds[0], SupportedHardwareIds[1], SupportedHardwareIds[2],
    SupportedHardwareIds[3]};

// A working buffer as the probe has one: the list's bytes, then a pattern that
// shows whether the scan wrote or read where it must not.
struct ListBuffer
{
    char bytes[512];
    unsigned long length;

    explicit ListBuffer(const std::string &list)
    {
        memset(bytes, 0xcc, sizeof bytes);
        memcpy(bytes, list.data(), list.size());
        length = list.size();
    }
};

int Match(const std::string &list)
{
    ListBuffer buffer(list);
    return MatchHardwareIdList(buffer.bytes, buffer.length, sizeof buffer.bytes, Wanted, 4);
}

// A multi-string from a literal with embedded NULs, whose own terminator is the
// closing empty string: Multi("A\0B\0") is "A", "B" and the empty string.
template <size_t Size>
std::string Multi(const char (&text)[Size])
{
    return std::string(text, Size);
}

TEST(SupportedHardwareIds, AreTheFourCamerasInOrderInZeroFilledSlots)
{
    const char *expected[] = {"USB\\VID_05CA&PID_1814&MI_00", "USB\\VID_05CA&PID_180F&MI_00",
                              "USB\\VID_0461&PID_4DB1&MI_00", "USB\\VID_0AC8&PID_C501&MI_00"};
    EXPECT_EQ(4u * 80u, sizeof SupportedHardwareIds);
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(expected[i], SupportedHardwareIds[i]) << "slot " << i;
        for (size_t j = strlen(expected[i]); j < 80; j++)
            EXPECT_EQ(0, SupportedHardwareIds[i][j]) << "slot " << i << ", byte " << j;
    }
}

TEST(HardwareIdMatch, FindsAWantedIdWhereverTheScanReachesIt)
{
    const struct
    {
        const char *behaviour;
        std::string list;
        int expected;
    } cases[] = {
        {"wanted ID first", Multi("USB\\VID_05CA&PID_1814&MI_00\0USB\\VID_05CA&PID_1814\0"), 1},
        {"wanted ID later", Multi("USB\\VID_05CA&PID_1814\0USB\\VID_0AC8&PID_C501&MI_00\0"), 1},
        {"prefix of a wanted ID", Multi("USB\\VID_05CA&PID_1814\0USB\\Class_0e\0"), 0},
        {"other interface", Multi("USB\\VID_05CA&PID_1814&MI_01\0"), 0},
        {"ASCII letters case folded", Multi("usb\\vid_0461&pid_4db1&mi_00\0"), 1},
        {"ASCII letters in mixed case", Multi("uSb\\ViD_0461&PiD_4dB1&Mi_00\0"), 1},
        // A string with commas is compared piece by piece.
        {"piece after a comma", Multi("junk,USB\\VID_05CA&PID_180F&MI_00\0"), 1},
        {"empty pieces passed over", Multi(",,junk,,USB\\VID_05CA&PID_180F&MI_00,more\0"), 1},
        {"pieces of a later string", Multi("a,b\0c,USB\\VID_05CA&PID_180F&MI_00\0"), 1},
        // A string ending in a comma ends the scan of its list.
        {"string ending in a comma ends the scan", Multi("junk,\0USB\\VID_05CA&PID_180F&MI_00\0"), 0},
        {"string ending in two commas does not end the scan", Multi("junk,,\0USB\\VID_05CA&PID_180F&MI_00\0"), 1},
        {"wanted ID before the ending comma", Multi("USB\\VID_05CA&PID_180F&MI_00,\0"), 1},
        {"strings of commas alone passed over", Multi(",\0,,,\0USB\\VID_0AC8&PID_C501&MI_00\0"), 1},
        {"commas alone", Multi(",,,\0"), 0},
        {"empty list", Multi("\0"), 0},
        {"no bytes at all", std::string(), 0},
        {"wanted ID after an empty first string is never reached", Multi("\0USB\\VID_0AC8&PID_C501&MI_00\0"), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.behaviour);
        EXPECT_EQ(c.expected, Match(c.list));
    }
}

TEST(HardwareIdMatch, FoldsTheCaseOfAsciiLettersOnly)
{
    EXPECT_EQ(0, CompareAsciiNoCase("ABCXYZ@[`{", "abcxyz@[`{"));
    // '@' and '`', '[' and '{' differ by the case bit but are not letters.
    EXPECT_NE(0, CompareAsciiNoCase("@", "`"));
    EXPECT_NE(0, CompareAsciiNoCase("[", "{"));
    // Bytes of the upper half are never folded, whatever the code page.
    EXPECT_NE(0, CompareAsciiNoCase("\xc4", "\xe4"));
    EXPECT_NE(0, CompareAsciiNoCase("USB", "USB\\"));
    EXPECT_LT(CompareAsciiNoCase("a", "B"), 0);
}

TEST(HardwareIdMatch, ClosesTheListAtTheBytesRead)
{
    // Read returned 27 bytes of a list that had no terminator at all: the
    // pattern after them must neither be scanned nor survive as part of it.
    ListBuffer buffer("USB\\VID_0461&PID_4DB1&MI_00");
    EXPECT_EQ(1, MatchHardwareIdList(buffer.bytes, buffer.length, sizeof buffer.bytes, Wanted, 4));
    EXPECT_EQ(0, buffer.bytes[27]);
    EXPECT_EQ(0, buffer.bytes[28]);
    EXPECT_EQ((char)0xcc, buffer.bytes[29]) << "wrote past the two closing bytes";

    // A read cut short in the middle of a wanted ID does not match it.
    ListBuffer cut("USB\\VID_0461&PID_4DB1&MI_00");
    EXPECT_EQ(0, MatchHardwareIdList(cut.bytes, 20, sizeof cut.bytes, Wanted, 4));
}

TEST(HardwareIdMatch, AListFillingTheWholeBufferStaysInsideIt)
{
    // The buffer is exactly as long as the bytes claimed to be read, with no
    // terminator anywhere; the sanitizers catch any read past its end.
    const std::string id = "xUSB\\VID_0461&PID_4DB1&MI_00";
    char *exact = new char[id.size()];
    memcpy(exact, id.data(), id.size());
    EXPECT_EQ(0, MatchHardwareIdList(exact, id.size(), id.size(), Wanted, 4));
    EXPECT_EQ(0, exact[id.size() - 1]);
    EXPECT_EQ(0, exact[id.size() - 2]);
    delete[] exact;

    char tiny[1] = {'x'};
    EXPECT_EQ(0, MatchHardwareIdList(tiny, 1, 1, Wanted, 4));
    EXPECT_EQ('x', tiny[0]);
}

TEST(HardwareIdMatch, NoWantedIdsMatchNothing)
{
    ListBuffer buffer("USB\\VID_0461&PID_4DB1&MI_00");
    EXPECT_EQ(0, MatchHardwareIdList(buffer.bytes, buffer.length, sizeof buffer.bytes, Wanted, 0));
}

TEST(HardwareIdMatch, AnEmptySlotAmongTheWantedIdsIsPassedOver)
{
    const char *const wanted[] = {nullptr, "USB\\VID_0461&PID_4DB1&MI_00"};
    ListBuffer buffer("USB\\VID_0461&PID_4DB1&MI_00");
    EXPECT_EQ(1, MatchHardwareIdList(buffer.bytes, buffer.length, sizeof buffer.bytes, wanted, 2));
}

TEST(EnumeratorName, IsThePartBeforeTheFirstBackslash)
{
    char buffer[64];
    memset(buffer, 0xcc, sizeof buffer);
    const char *name = TakeEnumeratorName(buffer, sizeof buffer, SupportedHardwareIds[0]);
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ("USB", name);
    EXPECT_TRUE(name >= buffer && name < buffer + sizeof buffer);

    EXPECT_STREQ("ROOT", TakeEnumeratorName(buffer, sizeof buffer, "ROOT"));
    EXPECT_EQ(nullptr, TakeEnumeratorName(buffer, sizeof buffer, "\\\\"));
    EXPECT_EQ(nullptr, TakeEnumeratorName(buffer, sizeof buffer, ""));
    EXPECT_EQ(nullptr, TakeEnumeratorName(buffer, sizeof buffer, nullptr));
    EXPECT_EQ(nullptr, TakeEnumeratorName(buffer, 3, "USB")) << "no room for the terminator";
    EXPECT_EQ(nullptr, TakeEnumeratorName(buffer, 0, "USB")) << "no room at all";
}

}  // namespace
