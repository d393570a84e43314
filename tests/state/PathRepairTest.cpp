// The settings path repair on real folders: a package is copied once into the folder named after
// its device serial, and a serial that is not a plain folder name creates nothing anywhere.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/TempFolder.h"
#include "state/PackageFolder.h"
#include "state/Sysconfig_SET.h"
#include "support/fs/Paths.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon::testing;

constexpr const char* kMarker = "Use Orbisto above v6.3.4";

// The sandbox lives under an ASCII temporary folder, so widening is one character for one. Paths
// are given with forward slashes, as the host tools name package folders (a path without one is
// refused), on Windows as well.
std::wstring Wide(const fs::path& path)
{
    const std::string narrow = path.generic_string();
    return std::wstring(narrow.begin(), narrow.end());
}

std::string Printed(const std::function<void()>& action)
{
    ::testing::internal::CaptureStdout();
    action();
    return ::testing::internal::GetCapturedStdout();
}

class PathRepair : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(package);
        fs::create_directories(root);
    }

    // A package with a marked description, device files, an empty file and a subfolder.
    void FillPackage(const std::string& description)
    {
        WriteBytes(package / "DeviceSet.DST", description);
        WriteBytes(package / "AB12XY345678.ORI", NoiseBytes(100000, 5));
        WriteBytes(package / "AB12XY345678.RGF", "rgf");
        WriteBytes(package / "BDB0001.bdb", "bdb");
        WriteBytes(package / "empty.bin", "");
        fs::create_directory(package / "sub");
        WriteBytes(package / "sub" / "inner.txt", "not copied");
    }

    // What the target should hold: the package's files, without its folders.
    Tree PackageFiles()
    {
        Tree files = SnapshotTree(package);
        files.erase("sub");
        files.erase("sub/inner.txt");
        return files;
    }

    // Repairs from the package folder, or from the path given; what it printed is kept in printed.
    bool Repair(const std::wstring& from = {})
    {
        bool repaired = false;
        const std::wstring source = from.empty() ? Wide(package) : from;
        printed = Printed([&] { repaired = CSysconfig_SET::get()->RepairSETPath(Wide(root), source); });
        return repaired;
    }

    TempFolder sandbox;
    fs::path package = sandbox.path() / "data" / "new";
    fs::path root = sandbox.path() / "a" / "b" / "sets";
    fs::path target = root / "AB12XY345678";
    std::string printed;
};

TEST_F(PathRepair, TheFirstRepairCopiesThePackagesFilesButNotItsFoldersAndLaterOnesChangeNothing)
{
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"marked layout", std::string(kMarker) + "\nAB12XY345678\nBDB0001\n"},
        {"marked layout, CR LF", std::string(kMarker) + "\r\nAB12XY345678\r\nBDB0001\r\n"},
        {"plain layout", "AB12XY345678\nBDB0001\n"},
        {"plain layout, serial alone without a line end", "AB12XY345678"},
    };
    for (const auto& [label, description] : cases) {
        SCOPED_TRACE(label);
        fs::remove_all(target);
        FillPackage(description);

        EXPECT_TRUE(Repair());
        EXPECT_EQ(printed, "");
        const Tree firstCopy = SnapshotTree(target);
        EXPECT_EQ(TreeChanges(PackageFiles(), firstCopy), "");

        WriteBytes(package / "AB12XY345678.RGF", "changed since");
        WriteBytes(package / "new.bin", "added since");
        EXPECT_TRUE(Repair());
        EXPECT_EQ(TreeChanges(firstCopy, SnapshotTree(target)), "");
        fs::remove(package / "new.bin");
    }

    // A file of the folder's name counts as the folder.
    fs::remove_all(target);
    WriteBytes(target, "a file in the way");
    EXPECT_TRUE(Repair());
    EXPECT_EQ(ReadBytes(target), "a file in the way");
}

TEST_F(PathRepair, PackagesWithoutAUsableSerialOrAnExistingRootCreateNothing)
{
    FillPackage("");
    const auto expectNothingCreated = [&] {
        const Tree before = SnapshotTree(sandbox.path());
        EXPECT_FALSE(Repair());
        EXPECT_EQ(printed, "");
        EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");
    };
    std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"no description file", std::nullopt},
        {"empty description file", ""},
        {"empty first line", "\nBDB0001\n"},
        {"marker followed by an empty line", std::string(kMarker) + "\n\nBDB0001\n"},
        {"marker alone", std::string(kMarker) + "\n"},
    };
    // Serials that are not a plain folder name (the name check has its own table; these show that
    // the repair asks it); the last three are not code page 936 throughout, and would widen to what
    // comes before the first byte that is not.
    // clang-format off
    for (const std::string serial : {"..", " . ", "../escaped", "sub\\escaped", "C:escaped", "AB\r12", "\xFF\xFF",
                                     "AB\x81 12", "AB\xFF" "12"})
        // clang-format on
        cases.push_back({"serial " + ::testing::PrintToString(serial),
                         std::string(kMarker) + "\n" + serial + "\nBDB0001\n"});
    for (const auto& [label, description] : cases) {
        SCOPED_TRACE(label);
        fs::remove(package / "DeviceSet.DST");
        if (description)
            WriteBytes(package / "DeviceSet.DST", *description);
        expectNothingCreated();
    }

    // A folder where the description should be exists, but cannot be read.
    fs::remove(package / "DeviceSet.DST");
    fs::create_directory(package / "DeviceSet.DST");
    expectNothingCreated();

    // A description that is a link is not the package's own: what it leads to is not read.
    fs::remove_all(package / "DeviceSet.DST");
    WriteBytes(sandbox.path() / "elsewhere.DST", "AB12XY345678\nBDB0001\n");
    std::error_code linkError;
    fs::create_symlink(sandbox.path() / "elsewhere.DST", package / "DeviceSet.DST", linkError);
    if (!linkError)
        expectNothingCreated();

    // A good package, but the root is missing: it is not created.
    fs::remove_all(package / "DeviceSet.DST");
    WriteBytes(package / "DeviceSet.DST", "AB12XY345678\nBDB0001\n");
    fs::remove_all(root);
    expectNothingCreated();
}

TEST_F(PathRepair, SerialsInTheDoubleByteCodePageNameOneFolder)
{
    struct Case {
        const char* name;
        std::string serial;
        std::wstring folder;
    };
    const std::vector<Case> cases = {
        {"two double-byte characters", "\xD6\xD0\xCE\xC4", L"\x4E2D\x6587"},
        // The second byte of this character is the code of a backslash, yet it is one character.
        // clang-format off
        {"trail byte that looks like a backslash", "\x95\x5C" "01", L"\x661E" L"01"},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        fs::create_directory(root);
        WriteBytes(package / "DeviceSet.DST", c.serial + "\nBDB0001\n");

        EXPECT_TRUE(Repair());

        std::vector<std::wstring> listed;
        ASSERT_TRUE(quillon::ListDirectory(Wide(root), listed));
        EXPECT_EQ(listed, std::vector<std::wstring>{c.folder});
        EXPECT_TRUE(quillon::PathExists(quillon::JoinPath(Wide(root), c.folder + L"/DeviceSet.DST")));
    }
}

TEST_F(PathRepair, CopyingSaysWhyNothingWasCopied)
{
    FillPackage("AB12XY345678\nBDB0001\n");
    // Relative to the current folder, the package path needs no separator at all, yet one without
    // a forward slash is refused: the target is made, but stays empty.
    const fs::path previous = fs::current_path();
    fs::current_path(package.parent_path());
    const bool repaired = Repair(L"new");
    fs::current_path(previous);
    EXPECT_TRUE(repaired);
    EXPECT_EQ(printed, "src path error\n");
    EXPECT_TRUE(fs::is_directory(target));

    const fs::path empty = sandbox.path() / "empty";
    fs::create_directory(empty);
    const auto into = quillon::DirectoryHandle::Open(Wide(target));
    EXPECT_EQ(Printed([&] { quillon::CopySETFolder(Wide(empty), into); }), "src dir is empty\n");
    // A folder that cannot be listed stops the copy without a word.
    EXPECT_EQ(Printed([&] { quillon::CopySETFolder(Wide(sandbox.path() / "missing"), into); }), "");
    EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(PathRepair, LinksAndFilesThatCannotBeReadAreSkippedAndTheRestCopied)
{
    FillPackage("AB12XY345678\nBDB0001\n");
    const Tree expected = PackageFiles();
    // Reading a FIFO would wait for a writer that never comes; a link could lead out of the package.
    WriteBytes(sandbox.path() / "secret.txt", "not in the package");
    std::error_code error;
    fs::create_symlink(sandbox.path() / "secret.txt", package / "secret.ORI", error);
    if (error || RunCommand("mkfifo \"" + (package / "pipe.ORI").string() + "\"") != 0)
        GTEST_SKIP() << "no FIFOs or symbolic links here";

    EXPECT_TRUE(Repair());

    EXPECT_EQ(TreeChanges(expected, SnapshotTree(target)), "");
    EXPECT_EQ(printed, "src file is a link, not copied: secret.ORI\n");
}

TEST_F(PathRepair, APackageFolderThatCannotBeListedGetsAnEmptyTarget)
{
    FillPackage("AB12XY345678\nBDB0001\n");
    fs::permissions(package, fs::perms::owner_write | fs::perms::owner_exec);
    std::error_code listing;
    fs::directory_iterator probe(package, listing);
    if (!listing) {
        fs::permissions(package, fs::perms::owner_all);
        GTEST_SKIP() << "this user can list any folder";
    }

    const bool repaired = Repair();
    fs::permissions(package, fs::perms::owner_all);
    EXPECT_TRUE(repaired);
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fs::is_empty(target));
}

}  // namespace
