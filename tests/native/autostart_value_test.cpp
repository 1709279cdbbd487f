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

Built Build(const char *directory, const char *fileName, unsigned size)
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

TEST(AutostartValue, NamesFileInWindowsDirectoryQuotedWithinTheBoundOrIsEmpty)
{
    const std::string longDirectory = "C:\\" + std::string(200, 'w');
    const std::string longName = std::string(100, 'f') + ".exe";
    const std::string hugeDirectory(259, 'w');
    const struct
    {
        const char *behaviour;
        const char *directory;
        const char *fileName;
        unsigned size;
        int result;
        const char *data;
    } cases[] = {
        {"names the file", "C:\\WINDOWS", "ZN374Mon.exe", 260, 1, "C:\\WINDOWS\\ZN374Mon.exe"},
        {"keeps any file name", "C:\\WINNT", "camwatch.exe", 260, 1, "C:\\WINNT\\camwatch.exe"},
        {"quotes a name with a space", "C:\\WINDOWS", "Camera Monitor.exe", 260, 1,
         "\"C:\\WINDOWS\\Camera Monitor.exe\""},
        {"quotes a directory with a space", "D:\\My Windows", "ZN374Mon.exe", 260, 1,
         "\"D:\\My Windows\\ZN374Mon.exe\""},
        // 10 + 1 + 8 + terminator = 20 bytes.
        {"fills the buffer exactly", "C:\\WINDOWS", "abcd.exe", 20, 1, "C:\\WINDOWS\\abcd.exe"},
        {"one byte too long", "C:\\WINDOWS", "abcd.exe", 19, 0, ""},
        // 1 + 10 + 1 + 9 + 1 + terminator = 23 bytes.
        {"quotes count towards the bound", "C:\\WINDOWS", "ab cd.exe", 23, 1, "\"C:\\WINDOWS\\ab cd.exe\""},
        {"quoted, one byte too long", "C:\\WINDOWS", "ab cd.exe", 22, 0, ""},
        {"no room even for the quotes", "C:\\WINDOWS", "ab cd.exe", 3, 0, ""},
        {"overlong directory and name", longDirectory.c_str(), longName.c_str(), 260, 0, ""},
        {"directory alone fills the buffer", hugeDirectory.c_str(), "x.exe", 260, 0, ""},
        {"no file name", "C:\\WINDOWS", nullptr, 260, 0, ""},
        {"empty file name", "C:\\WINDOWS", "", 260, 0, ""},
        {"no directory", nullptr, "ZN374Mon.exe", 260, 0, ""},
        {"empty directory", "", "ZN374Mon.exe", 260, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.behaviour);
        Built built = Build(c.directory, c.fileName, c.size);
        EXPECT_EQ(c.result, built.result);
        EXPECT_EQ(c.data, built.data);
    }
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
