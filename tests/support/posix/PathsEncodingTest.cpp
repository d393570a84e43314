// Where wide paths meet a file system that names files in bytes: they are UTF-8 on disk, and names
// that are not UTF-8 survive the trip through a wide listing.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TempFolder.h"
#include "support/fs/Paths.h"

namespace {

namespace fs = std::filesystem;
using quillon::testing::ReadBytes;
using quillon::testing::TempFolder;
using quillon::testing::WriteBytes;

std::wstring Wide(const fs::path& ascii)
{
    const std::string narrow = ascii.string();
    return std::wstring(narrow.begin(), narrow.end());
}

TEST(WidePaths, AreUtf8OnDisk)
{
    TempFolder sandbox;
    struct Case {
        std::wstring wide;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {L"AB12XY345678", "AB12XY345678"},
        {L"\x00E9t\x00E9", "\xC3\xA9t\xC3\xA9"},
        {L"\x4E2D\x6587", "\xE4\xB8\xAD\xE6\x96\x87"},
        {L"\x0001F600", "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_TRUE(quillon::MakeDirectory(quillon::JoinPath(Wide(sandbox.path()), c.wide)));
        EXPECT_TRUE(fs::is_directory(sandbox.path() / c.bytes));
        std::vector<std::wstring> listed;
        ASSERT_TRUE(quillon::ListDirectory(Wide(sandbox.path()), listed));
        EXPECT_NE(std::find(listed.begin(), listed.end(), c.wide), listed.end());
    }
}

TEST(WidePaths, NamesThatAreNotUtf8ComeBackToTheSameFile)
{
    TempFolder sandbox;
    const std::vector<std::string> names = {"\xFF.ORI", "a\xC3", "\xC0\xAF", "\xED\xA0\x80",
                                            "\xF4\x90\x80\x80"};
    for (const std::string& name : names)
        WriteBytes(sandbox.path() / name, "content of " + name);

    std::vector<std::wstring> listed;
    ASSERT_TRUE(quillon::ListDirectory(Wide(sandbox.path()), listed));
    ASSERT_EQ(listed.size(), names.size());
    for (const std::wstring& name : listed) {
        const quillon::FilePtr file =
            quillon::OpenFile(quillon::JoinPath(Wide(sandbox.path()), name), quillon::FileMode::Read);
        EXPECT_NE(file, nullptr);
        for (const wchar_t c : name)
            EXPECT_FALSE(c >= 0xD800 && c < 0xDC80) << "only bytes are escaped";
    }
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::wstring(L"\xDCFF.ORI")), listed.end());
}

TEST(WidePaths, ThatNoEncodingCanHoldNameNothing)
{
    TempFolder sandbox;
    for (const std::wstring& name :
         {std::wstring(L"\xD800"), std::wstring(1, static_cast<wchar_t>(0x110000))}) {
        const std::wstring path = quillon::JoinPath(Wide(sandbox.path()), name);
        EXPECT_FALSE(quillon::MakeDirectory(path));
        EXPECT_EQ(quillon::OpenFile(path, quillon::FileMode::CreateNew), nullptr);
    }
    EXPECT_TRUE(fs::is_empty(sandbox.path()));
}

}  // namespace
