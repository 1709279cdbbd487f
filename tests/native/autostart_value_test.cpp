#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "startup/autostart_value.h"

namespace {

struct Built
{
    int result;
    std::string data;
};

Built Build(const char *directory, const char *fileName, unsigned size = 260)
{
    char data[600];
    memset(data, 0x23, sizeof data);
    Built built;
    built.result = BuildAutostartValue(directory, fileName, data, size);
    built.data = data;
    // Nothing past the given size may be touched.
    for (unsigned i = size; i < sizeof data; ++i) {
        if (static_cast<unsigned char>(data[i]) != 0x23) {
            ADD_FAILURE() << "byte " << i << " beyond size " << size << " was written";
            break;
        }
    }
    return built;
}

TEST(AutostartValue, NamesFileInWindowsDirectory)
{
    Built built = Build("C:\\WINDOWS", "ZN374Mon.exe");
    EXPECT_EQ(1, built.result);
    EXPECT_EQ("C:\\WINDOWS\\ZN374Mon.exe", built.data);
}

TEST(AutostartValue, KeepsAnyFileName)
{
    EXPECT_EQ("C:\\WINNT\\camwatch.exe", Build("C:\\WINNT", "camwatch.exe").data);
}

TEST(AutostartValue, QuotesPathWithSpace)
{
    EXPECT_EQ("\"C:\\WINDOWS\\Camera Monitor.exe\"", Build("C:\\WINDOWS", "Camera Monitor.exe").data);
    EXPECT_EQ("\"D:\\My Windows\\ZN374Mon.exe\"", Build("D:\\My Windows", "ZN374Mon.exe").data);
}

TEST(AutostartValue, FillsBufferExactly)
{
    // 10 + 1 + 8 + terminator = 20 bytes.
    Built fits = Build("C:\\WINDOWS", "abcd.exe", 20);
    EXPECT_EQ(1, fits.result);
    EXPECT_EQ("C:\\WINDOWS\\abcd.exe", fits.data);

    Built tooLong = Build("C:\\WINDOWS", "abcd.exe", 19);
    EXPECT_EQ(0, tooLong.result);
    EXPECT_EQ("", tooLong.data);
}

TEST(AutostartValue, QuotesCountTowardsTheBound)
{
    // 1 + 10 + 1 + 9 + 1 + terminator = 23 bytes.
    EXPECT_EQ("\"C:\\WINDOWS\\ab cd.exe\"", Build("C:\\WINDOWS", "ab cd.exe", 23).data);
    Built tooLong = Build("C:\\WINDOWS", "ab cd.exe", 22);
    EXPECT_EQ(0, tooLong.result);
    EXPECT_EQ("", tooLong.data);
}

TEST(AutostartValue, OverlongDirectoryAndNameNeverOverflow)
{
    std::string directory = "C:\\" + std::string(200, 'w');
    std::string fileName = std::string(100, 'f') + ".exe";
    Built built = Build(directory.c_str(), fileName.c_str());
    EXPECT_EQ(0, built.result);
    EXPECT_EQ("", built.data);

    std::string hugeDirectory(259, 'w');
    EXPECT_EQ(0, Build(hugeDirectory.c_str(), "x.exe").result);
}

TEST(AutostartValue, MissingPartGivesEmptyValue)
{
    Built noName = Build("C:\\WINDOWS", nullptr);
    EXPECT_EQ(0, noName.result);
    EXPECT_EQ("", noName.data);
    EXPECT_EQ("", Build("C:\\WINDOWS", "").data);
    EXPECT_EQ("", Build(nullptr, "ZN374Mon.exe").data);
    EXPECT_EQ("", Build("", "ZN374Mon.exe").data);
}

TEST(AutostartValue, ZeroSizeWritesNothing)
{
    EXPECT_EQ(0, BuildAutostartValue("C:\\WINDOWS", "x.exe", nullptr, 260));
    char data[4];
    memset(data, 0x23, sizeof data);
    EXPECT_EQ(0, BuildAutostartValue("C:\\WINDOWS", "x.exe", data, 0));
    EXPECT_EQ(0x23, data[0]) << "a zero-sized buffer was written";
}

}  // namespace
