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
    const std::vector<std::pair<const char*, Package>> cases = {
        {"marked layout", {Marked("AB12XY345678", "BDB0001"), FilesOf("AB12XY345678", "BDB0001")}},
        {"plain layout", {Plain("AB12XY345678", "BDB0001"), FilesOf("AB12XY345678", "BDB0001")}},
        {"marked, CR LF", {Marked("AB12XY345678", "BDB0001", "\r\n"), FilesOf("AB12XY345678", "BDB0001")}},
        {"plain, CR LF", {Plain("AB12XY345678", "BDB0001", "\r\n"), FilesOf("AB12XY345678", "BDB0001")}},
        {"no line end after the last line",
         {std::string(kMarker) + "\nAB12XY345678\nBDB0001", FilesOf("AB12XY345678", "BDB0001")}},
        {"further lines ignored",
         {Marked("AB12XY345678", "BDB0001") + "anything\nelse\n", FilesOf("AB12XY345678", "BDB0001")}},
        {"kind UX with its second file",
         {Marked("AB12UX345678", "BDB0001"), FilesOf("AB12UX345678", "BDB0001", true)}},
        {"kind UK with its second file",
         {Plain("AB12UK345678", "BDB0001"), FilesOf("AB12UK345678", "BDB0001", true)}},
        {"kind BP with its second file",
         {Plain("AB12BP345678", "BDB0001"), FilesOf("AB12BP345678", "BDB0001", true)}},
        {"lower-case ux needs no second file",
         {Marked("AB12ux345678", "BDB0001"), FilesOf("AB12ux345678", "BDB0001")}},
        {"UX elsewhere in the serial",
         {Marked("UXUXAB345678", "BDB0001"), FilesOf("UXUXAB345678", "BDB0001")}},
        {"six characters ending in UX", {Plain("ABCDUX", "BDB0001"), FilesOf("ABCDUX", "BDB0001", true)}},
        {"five characters: the kind is cut short", {Plain("ABCDU", "BDB0001"), FilesOf("ABCDU", "BDB0001")}},
        {"four characters: no kind at all", {Plain("ABCD", "BDB0001"), FilesOf("ABCD", "BDB0001")}},
        {"marker with a trailing blank is the serial",
         {Plain(std::string(kMarker) + " ", "AB12XY345678"),
          FilesOf(std::string(kMarker) + " ", "AB12XY345678")}},
        {"serial with blanks taken whole", {Plain(" AB 12 ", "BDB 1"), FilesOf(" AB 12 ", "BDB 1")}},
        {"a folder bearing a file's name counts",
         {Plain("AB12XY345678", "BDB0001"), {"AB12XY345678.ORI/inside", "AB12XY345678.RGF", "BDB0001.bdb"}}},
        {"a serial written with a backslash names a file in a folder",
         {Plain("dev\\AB12XY345678", "BDB0001"), FilesOf("dev/AB12XY345678", "BDB0001")}},
    };
    for (const auto& [label, package] : cases) {
        SCOPED_TRACE(label);
        const fs::path folder = Make(package);
        EXPECT_TRUE(Check(folder));
        EXPECT_FALSE(fs::exists(folder / "CheckSetInfo.TXT"));
    }
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
        {"UX without its second file",
         {Marked("AB12UX345678", "BDB0001"), FilesOf("AB12UX345678", "BDB0001")},
         "No AB12UX345678_B.ORI file\r\n"},
        {"UK without its second file",
         {Marked("AB12UK345678", "BDB0001"), FilesOf("AB12UK345678", "BDB0001")},
         "No AB12UK345678_B.ORI file\r\n"},
        {"BP without its second file, CR LF",
         {Plain("AB12BP345678", "BDB0001", "\r\n"), FilesOf("AB12BP345678", "BDB0001")},
         "No AB12BP345678_B.ORI file\r\n"},
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
        {"every device file missing",
         {Marked("AB12UX345678", "BDB0001"), {}},
         "No AB12UX345678.ORI file\r\nNo AB12UX345678.RGF file\r\nNo BDB0001.bdb file\r\n"
         "No AB12UX345678_B.ORI file\r\n"},
        {"marker with a trailing blank is the serial",
         {Plain(std::string(kMarker) + " ", "AB12XY345678"), FilesOf("AB12XY345678", "BDB0001")},
         "No Use Orbisto above v6.3.4 .ORI file\r\nNo Use Orbisto above v6.3.4 .RGF file\r\n"
         "No AB12XY345678.bdb file\r\n"},
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
