// Settings packages on real folders: the check, what passes and the exact report that a package
// with missing pieces gets; and the path repair, which copies a package once into the folder named
// after its device serial, while a serial that is not a plain folder name creates nothing anywhere.

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

// A package: the description file's bytes (none: no description file) and the files beside it.
struct Package {
    std::optional<std::string> description;
    std::vector<std::string> files;
};

class PackageCheck : public ::testing::Test {
protected:
    fs::path Make(const Package& package)
    {
        const fs::path folder = sandbox.path() / ("package" + std::to_string(++count_));
        fs::create_directory(folder);
        if (package.description)
            WriteBytes(folder / "DeviceSet.DST", *package.description);
        for (const std::string& file : package.files) {
            fs::create_directories((folder / file).parent_path());
            WriteBytes(folder / file, "device file " + file);
        }
        return folder;
    }

    bool Check(const fs::path& folder) { return CSysconfig_SET::get()->CheckSETExist(folder.string()); }

    TempFolder sandbox;

private:
    int count_ = 0;
};

std::string Marked(const std::string& device, const std::string& bdb, const char* eol = "\n")
{
    return std::string(kMarker) + eol + device + eol + bdb + eol;
}

std::string Plain(const std::string& device, const std::string& bdb, const char* eol = "\n")
{
    return device + eol + bdb + eol;
}

std::vector<std::string> FilesOf(const std::string& device, const std::string& bdb, bool second = false)
{
    std::vector<std::string> files = {device + ".ORI", device + ".RGF", bdb + ".bdb"};
    if (second)
        files.push_back(device + "_B.ORI");
    return files;
}

TEST_F(PackageCheck, CompletePackagesPassAndGetNoReport)
{
    const auto expectPasses = [&](const Package& package) {
        const fs::path folder = Make(package);
        EXPECT_TRUE(Check(folder));
        EXPECT_FALSE(fs::exists(folder / "CheckSetInfo.TXT"));
        return folder;
    };
    // One package described in every layout the check reads.
    for (const std::string& description :
         {Marked("AB12XY345678", "BDB0001"), Plain("AB12XY345678", "BDB0001"),
          Marked("AB12XY345678", "BDB0001", "\r\n"), Plain("AB12XY345678", "BDB0001", "\r\n"),
          std::string(kMarker) + "\nAB12XY345678\nBDB0001",
          Marked("AB12XY345678", "BDB0001") + "more\nlines\n"}) {
        SCOPED_TRACE(::testing::PrintToString(description));
        expectPasses({description, FilesOf("AB12XY345678", "BDB0001")});
    }
    // The kind, characters 5 and 6 of the serial, says whether a second device file belongs to the
    // package; where it does, a package without it fails with a line naming it.
    const std::vector<std::pair<std::string, bool>> serials = {
        {"AB12UX345678", true},  {"AB12UK345678", true},
        {"AB12BP345678", true},  {"ABCDUX", true},
        {"AB12ux345678", false}, {"UXUXAB345678", false},
        {"ABCDU", false},        {"ABCD", false},
        {" AB 12 ", false},      {std::string(kMarker) + " ", false},  // a marker with a blank is a serial
    };
    for (const auto& [serial, second] : serials) {
        SCOPED_TRACE(serial);
        const fs::path folder =
            expectPasses({Plain(serial, "BDB0001", "\r\n"), FilesOf(serial, "BDB0001", second)});
        if (!second)
            continue;
        fs::remove(folder / (serial + "_B.ORI"));
        EXPECT_FALSE(Check(folder));
        EXPECT_EQ(ReadBytes(folder / "CheckSetInfo.TXT"), "No " + serial + "_B.ORI file\r\n");
    }
    // A folder bearing a device file's name counts as that file.
    expectPasses(
        {Plain("AB12XY345678", "BDB0001"), {"AB12XY345678.ORI/inside", "AB12XY345678.RGF", "BDB0001.bdb"}});
    // A serial written with a backslash names a file in a folder.
    expectPasses({Plain("dev\\AB12XY345678", "BDB0001"), FilesOf("dev/AB12XY345678", "BDB0001")});
}

TEST_F(PackageCheck, IncompletePackagesGetALineForEachMissingPiece)
{
    const std::string noSerials =
        "DeviceSet.DST file have not device sn\r\nDeviceSet.DST file have not bdb sn\r\n";
    const std::string noFiles = "No .ORI file\r\nNo .RGF file\r\nNo .bdb file\r\n";
    struct Case {
        const char* name;
        Package package;
        std::string report;
    };
    const std::vector<Case> cases = {
        {"no description file", {std::nullopt, {}}, "No DeviceSet.DST file\r\n" + noSerials + noFiles},
        {"no description file, files named by extensions alone",
         {std::nullopt, {".ORI", ".RGF"}},
         "No DeviceSet.DST file\r\n" + noSerials + "No .bdb file\r\n"},
        {"empty description file", {"", FilesOf("AB12XY345678", "BDB0001")}, noSerials + noFiles},
        // The description exists, so its own line is not written, but it cannot be read as a file.
        {"a folder in place of the description file",
         {std::nullopt, {"DeviceSet.DST/inside", "AB12XY345678.ORI", "AB12XY345678.RGF", "BDB0001.bdb"}},
         noSerials + noFiles},
        {"marker followed by an empty line",
         {std::string(kMarker) + "\n\nBDB0001\n", {"BDB0001.bdb"}},
         "DeviceSet.DST file have not device sn\r\nNo .ORI file\r\nNo .RGF file\r\n"},
        {"no bdb serial",
         {Plain("AB12XY345678", ""), FilesOf("AB12XY345678", "BDB0001")},
         "DeviceSet.DST file have not bdb sn\r\nNo .bdb file\r\n"},
        // Every device file missing, under names that a format string would take for directives.
        {"a percent sign is written as it is",
         {Plain("AB%sUX%n%d", "B%%1"), {}},
         "No AB%sUX%n%d.ORI file\r\nNo AB%sUX%n%d.RGF file\r\nNo B%%1.bdb file\r\n"
         "No AB%sUX%n%d_B.ORI file\r\n"},
        {"a carriage return inside a line is kept",
         {Plain("AB\r12", "BDB0001"), {"BDB0001.bdb"}},
         "No AB\r12.ORI file\r\nNo AB\r12.RGF file\r\n"},
        // The files exist, but beside the package rather than in it.
        {"a serial that climbs out of the package",
         {Plain("../AB12XY345678", "sub/../../BDB0001"),
          {"../AB12XY345678.ORI", "../AB12XY345678.RGF", "../BDB0001.bdb", "sub/kept"}},
         "No ../AB12XY345678.ORI file\r\nNo ../AB12XY345678.RGF file\r\nNo sub/../../BDB0001.bdb file\r\n"},
        {"a serial that climbs out under a backslash",
         {Plain("..\\AB12XY345678", "BDB0001"),
          {"../AB12XY345678.ORI", "../AB12XY345678.RGF", "BDB0001.bdb"}},
         "No ..\\AB12XY345678.ORI file\r\nNo ..\\AB12XY345678.RGF file\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = Make(c.package);
        EXPECT_FALSE(Check(folder));
        EXPECT_EQ(ReadBytes(folder / "CheckSetInfo.TXT"), c.report);
    }
}

TEST_F(PackageCheck, AFailingRunReplacesAnEarlierReportAndAPassingRunLeavesItAlone)
{
    const std::string earlier = "an earlier report\r\nwith more lines than the new one\r\nand a third\r\n";
    const fs::path folder = Make({Marked("AB12XY345678", "BDB0001"), {"AB12XY345678.ORI", "BDB0001.bdb"}});
    WriteBytes(folder / "CheckSetInfo.TXT", earlier);

    EXPECT_FALSE(Check(folder));
    EXPECT_EQ(ReadBytes(folder / "CheckSetInfo.TXT"), "No AB12XY345678.RGF file\r\n");

    WriteBytes(folder / "AB12XY345678.RGF", "now present");
    WriteBytes(folder / "CheckSetInfo.TXT", earlier);
    const auto before = SnapshotTree(folder);
    EXPECT_TRUE(Check(folder));
    EXPECT_EQ(TreeChanges(before, SnapshotTree(folder)), "");
}

// Links planted in a package send nothing elsewhere: the report replaces a link in its place
// rather than writing through it, and a description that is a link is not read (its target's first
// lines would reach the report).
TEST_F(PackageCheck, LinksInThePackageAreNeitherWrittenThroughNorRead)
{
    const fs::path folder = Make({Marked("AB12XY345678", "BDB0001"), {"AB12XY345678.ORI", "BDB0001.bdb"}});
    std::error_code error;
    fs::create_symlink(folder / "BDB0001.bdb", folder / "CheckSetInfo.TXT", error);
    if (error)
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    EXPECT_FALSE(Check(folder));
    EXPECT_EQ(ReadBytes(folder / "BDB0001.bdb"), "device file BDB0001.bdb");
    EXPECT_EQ(ReadBytes(folder / "CheckSetInfo.TXT"), "No AB12XY345678.RGF file\r\n");

    WriteBytes(sandbox.path() / "secret.txt", "SECRET-LINE\nSECOND\n");
    fs::rename(folder / "DeviceSet.DST", sandbox.path() / "real.DST");
    fs::create_symlink(sandbox.path() / "secret.txt", folder / "DeviceSet.DST");
    EXPECT_FALSE(Check(folder));
    EXPECT_EQ(ReadBytes(folder / "CheckSetInfo.TXT").find("SECRET"), std::string::npos);
}

TEST_F(PackageCheck, AMissingPackageFolderFailsWithoutCreatingAnything)
{
    const auto before = SnapshotTree(sandbox.path());
    EXPECT_FALSE(Check(sandbox.path() / "no-such-package"));
    EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");
}

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
    // The check's table covers the description's layouts; the repair reads the serial the same way.
    FillPackage(std::string(kMarker) + "\r\nAB12XY345678\r\nBDB0001\r\n");
    EXPECT_TRUE(Repair());
    EXPECT_EQ(printed, "");
    const Tree firstCopy = SnapshotTree(target);
    EXPECT_EQ(TreeChanges(PackageFiles(), firstCopy), "");

    WriteBytes(package / "AB12XY345678.RGF", "changed since");
    WriteBytes(package / "new.bin", "added since");
    EXPECT_TRUE(Repair());
    EXPECT_EQ(TreeChanges(firstCopy, SnapshotTree(target)), "");

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
        {"no serial", std::string(kMarker) + "\n\nBDB0001\n"},
    };
    // Serials that are not a plain folder name (the name check has its own table; these show that
    // the repair asks it), and one that is not code page 936 throughout, which would widen to the
    // plain name before its first byte that is not.
    for (const std::string serial : {"..", "sub\\escaped", "AB\xFF-12"})
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
