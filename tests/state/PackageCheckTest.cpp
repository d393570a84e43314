// The settings package check on real package folders: what passes, and the exact report that a
// package with missing pieces gets.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/TempFolder.h"
#include "state/Sysconfig_SET.h"

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

}  // namespace
