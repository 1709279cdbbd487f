// The executable's version block as the system reads it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "monitor_process.h"
#include "product_version.h"

namespace {

class VersionBlock : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string path = MonitorExePath();
        DWORD handle = 0xcccccccc;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        ASSERT_NE(0u, size) << "no version block in " << path << ", error " << GetLastError();
        block_.assign(size, 0x23);
        ASSERT_NE(0, GetFileVersionInfoA(path.c_str(), 0, size, block_.data()))
            << "error " << GetLastError();
    }

    // A string of the 040904b0 table; "" when it is missing.
    std::string StringValue(const char *name)
    {
        std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        char *text = NULL;
        UINT length = 0xcccccccc;
        if (!VerQueryValueA(block_.data(), query.c_str(), reinterpret_cast<void **>(&text), &length) ||
            !text)
            return "";
        return std::string(text, strnlen(text, length));
    }

    std::vector<char> block_;
};

// The values the product's design prescribes; the product version is the
// build's, whose last field a package test's other build raises.
TEST_F(VersionBlock, FixedPartCarriesFileAndProductVersions)
{
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0xcccccccc;
    ASSERT_NE(0, VerQueryValueA(block_.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS) << "file version 1.0";
    EXPECT_EQ(0x00020000u, fixed->dwFileVersionLS) << "file version .2.0";
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(ZN_PRODUCT_VERSION_MINOR, ZN_PRODUCT_VERSION_MAJOR)),
              fixed->dwProductVersionMS) << "the product version's first two fields";
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(ZN_PRODUCT_VERSION_TWEAK, ZN_PRODUCT_VERSION_PATCH)),
              fixed->dwProductVersionLS) << "the product version's last two fields";
    EXPECT_EQ(0x3Fu, fixed->dwFileFlagsMask);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
}

// Three texts are prescribed; the other standard keys' texts are the
// product's own, so only their presence is checked.
TEST_F(VersionBlock, StringTableNamesTheProgram)
{
    EXPECT_EQ("1.00.02.00", StringValue("FileVersion"));
    EXPECT_EQ("ZN374Mon.exe", StringValue("OriginalFilename"));
    EXPECT_EQ("ZN374", StringValue("Model Number"));
    for (const char *key : {"CompanyName", "FileDescription", "InternalName", "LegalCopyright",
                            "ProductName", "ProductVersion"})
        EXPECT_NE("", StringValue(key)) << key;
}

TEST_F(VersionBlock, TranslationIsUsEnglishUnicode)
{
    WORD *translation = NULL;
    UINT length = 0xcccccccc;
    ASSERT_NE(0, VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation",
                                reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
}

}  // namespace
