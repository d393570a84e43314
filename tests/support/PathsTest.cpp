// The paths and file-system helpers that the package and archive code (and the device directory
// check) build on, exercised on real files; and, where the file system names files in bytes, wide
// paths that are UTF-8 on disk and names that are not UTF-8 surviving the trip through a wide listing.

#include "support/fs/Paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using quillon::FileMode;
using quillon::PathKind;
using quillon::testing::ReadBytes;
using quillon::testing::TempFolder;
using quillon::testing::WriteBytes;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(IsPlainPathComponent, AcceptsOnlyNamesThatStayInsideTheirFolder)
{
    const std::vector<std::string> plain = {"AB12XY345678", "a b",  ".hidden", "name.",
                                            "..a",          "a..b", "\xD6\xD0"};
    const std::vector<std::string> refused = {
        "",  ".",  "..", "...", " ",    ". .",  "a/b",  "a\\b",
        "/", "\\", "C:", "a:b", "a\tb", "a\nb", "\x7f", std::string(1, '\0')};
    for (const std::string& name : plain)
        EXPECT_TRUE(quillon::IsPlainPathComponent(name)) << ::testing::PrintToString(name);
    for (const std::string& name : refused)
        EXPECT_FALSE(quillon::IsPlainPathComponent(name)) << ::testing::PrintToString(name);
    EXPECT_TRUE(quillon::IsPlainPathComponent(std::wstring(L"\x4E2D\x6587")));
    EXPECT_FALSE(quillon::IsPlainPathComponent(std::wstring(L"..")));
    EXPECT_FALSE(quillon::IsPlainPathComponent(std::wstring(L"a\x85"
                                                            L"b")));  // a C1 control
}

class FileSystem : public ::testing::Test {
protected:
    std::string At(const std::string& name) const { return (sandbox.path() / name).string(); }
    TempFolder sandbox;
};

TEST_F(FileSystem, OpenFileKeepsToItsMode)
{
    WriteBytes(sandbox.path() / "old.bin", "old content");
    fs::create_directory(sandbox.path() / "folder");

    EXPECT_EQ(quillon::OpenFile(At("missing.bin"), FileMode::Read), nullptr);
    EXPECT_EQ(quillon::OpenFile(At("folder"), FileMode::Read), nullptr) << "a folder is no file";
    EXPECT_EQ(quillon::OpenFile(At("old.bin"), FileMode::CreateNew), nullptr);
    EXPECT_EQ(ReadBytes(sandbox.path() / "old.bin"), "old content");

    quillon::FilePtr read = quillon::OpenFile(At("old.bin"), FileMode::Read);
    ASSERT_NE(read, nullptr);
    char first[3] = {};
    EXPECT_EQ(std::fread(first, 1, 3, read.get()), 3u);
    EXPECT_EQ(std::string(first, 3), "old");

    quillon::FilePtr created = quillon::OpenFile(Wide(At("new.bin")), FileMode::CreateNew);
    ASSERT_NE(created, nullptr);
    std::fwrite("new\r\n", 1, 5, created.get());
    EXPECT_TRUE(quillon::CloseFile(std::move(created)));
    EXPECT_EQ(ReadBytes(sandbox.path() / "new.bin"), "new\r\n") << "bytes unchanged";
    EXPECT_FALSE(quillon::CloseFile(nullptr));
}

TEST_F(FileSystem, CreateNewRefusesALinkOfThatName)
{
    std::error_code error;
    fs::create_symlink(sandbox.path() / "target.bin", sandbox.path() / "link.bin", error);
    if (error)
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    EXPECT_EQ(quillon::OpenFile(At("link.bin"), FileMode::CreateNew), nullptr);
    EXPECT_FALSE(fs::exists(sandbox.path() / "target.bin"));
    EXPECT_EQ(quillon::GetPathKind(At("link.bin")), PathKind::Link);
    EXPECT_FALSE(quillon::PathExists(At("link.bin"))) << "a link to nothing names nothing";
}

TEST_F(FileSystem, KindsAndExistence)
{
    WriteBytes(sandbox.path() / "file.bin", "x");
    fs::create_directory(sandbox.path() / "folder");
    EXPECT_EQ(quillon::GetPathKind(At("file.bin")), PathKind::File);
    EXPECT_EQ(quillon::GetPathKind(At("folder")), PathKind::Directory);
    EXPECT_EQ(quillon::GetPathKind(At("missing")), PathKind::Missing);
    EXPECT_EQ(quillon::GetPathKind(At("file.bin/below")), PathKind::Missing);
    EXPECT_EQ(quillon::GetPathKind(Wide(At("folder"))), PathKind::Directory);
    EXPECT_TRUE(quillon::PathExists(At("file.bin")));
    EXPECT_TRUE(quillon::PathExists(Wide(At("folder"))));
    EXPECT_FALSE(quillon::PathExists(At("missing")));
    // A zero inside a path would cut it short at the system call; such a path names nothing.
    EXPECT_FALSE(quillon::PathExists(At("file.bin") + std::string(1, '\0') + "tail"));
    EXPECT_EQ(quillon::OpenFile(At("file.bin") + std::string(1, '\0') + "tail", FileMode::Read), nullptr);
    EXPECT_FALSE(quillon::PathExists(Wide(At("file.bin")) + L'\0' + L"tail"));
}

TEST_F(FileSystem, MakeDirectoryCreatesOneLevel)
{
    EXPECT_TRUE(quillon::MakeDirectory(At("one")));
    EXPECT_TRUE(fs::is_directory(sandbox.path() / "one"));
    EXPECT_FALSE(quillon::MakeDirectory(At("one"))) << "already there";
    EXPECT_FALSE(quillon::MakeDirectory(At("two/three")));
    EXPECT_FALSE(fs::exists(sandbox.path() / "two"));
    EXPECT_TRUE(quillon::MakeDirectory(Wide(At("one/two"))));
    EXPECT_TRUE(fs::is_directory(sandbox.path() / "one" / "two"));
}

TEST_F(FileSystem, ListDirectoryGivesNamesOfFilesAndFolders)
{
    WriteBytes(sandbox.path() / "a.ORI", "");
    WriteBytes(sandbox.path() / "b.RGF", "");
    fs::create_directory(sandbox.path() / "sub");
    WriteBytes(sandbox.path() / "sub" / "deeper.txt", "");

    std::vector<std::string> names = {"kept"};
    ASSERT_TRUE(quillon::ListDirectory(sandbox.path().string(), names));
    std::sort(names.begin() + 1, names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "a.ORI", "b.RGF", "sub"}));

    std::vector<std::wstring> wide;
    ASSERT_TRUE(quillon::ListDirectory(Wide(sandbox.path().string()), wide));
    std::sort(wide.begin(), wide.end());
    EXPECT_EQ(wide, (std::vector<std::wstring>{L"a.ORI", L"b.RGF", L"sub"}));

    std::vector<std::string> none;
    EXPECT_FALSE(quillon::ListDirectory(At("missing"), none));
    EXPECT_FALSE(quillon::ListDirectory(At("a.ORI"), none));
    EXPECT_TRUE(none.empty());
}

#ifndef _WIN32
TEST_F(FileSystem, WidePathsAreUtf8OnDisk)
{
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
    const std::wstring root = Wide(sandbox.path().string());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_TRUE(quillon::MakeDirectory(quillon::JoinPath(root, c.wide)));
        EXPECT_TRUE(fs::is_directory(sandbox.path() / c.bytes));
        std::vector<std::wstring> listed;
        ASSERT_TRUE(quillon::ListDirectory(root, listed));
        EXPECT_NE(std::find(listed.begin(), listed.end(), c.wide), listed.end());
    }
}

TEST_F(FileSystem, WideNamesThatAreNotUtf8ComeBackToTheSameFile)
{
    const std::vector<std::string> names = {"\xFF.ORI", "a\xC3", "\xC0\xAF", "\xED\xA0\x80",
                                            "\xF4\x90\x80\x80"};
    for (const std::string& name : names)
        WriteBytes(sandbox.path() / name, "content of " + name);

    const std::wstring root = Wide(sandbox.path().string());
    std::vector<std::wstring> listed;
    ASSERT_TRUE(quillon::ListDirectory(root, listed));
    ASSERT_EQ(listed.size(), names.size());
    for (const std::wstring& name : listed) {
        const quillon::FilePtr file = quillon::OpenFile(quillon::JoinPath(root, name), FileMode::Read);
        EXPECT_NE(file, nullptr);
        for (const wchar_t c : name)
            EXPECT_FALSE(c >= 0xD800 && c < 0xDC80) << "only bytes are escaped";
    }
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::wstring(L"\xDCFF.ORI")), listed.end());

    // What no encoding can hold names nothing.
    for (const std::wstring& name :
         {std::wstring(L"\xD800"), std::wstring(1, static_cast<wchar_t>(0x110000))}) {
        const std::wstring path = quillon::JoinPath(root, name);
        EXPECT_FALSE(quillon::MakeDirectory(path));
        EXPECT_EQ(quillon::OpenFile(path, FileMode::CreateNew), nullptr);
    }
    std::vector<std::string> after;
    ASSERT_TRUE(quillon::ListDirectory(sandbox.path().string(), after));
    EXPECT_EQ(after.size(), names.size());
}
#endif

}  // namespace
