// Packing and unpacking real folders, checked against the zip tools that the device engineers use:
// archives made here pass Info-ZIP's test and read back in Python, and archives made by Info-ZIP
// unpack into the same tree.

#include "archive/ComPression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "common/RawZip.h"
#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon::testing;

// The tests that check archives with Info-ZIP's zip and unzip and with Python start them through
// the shell; a Windows program cannot start them (under Wine they are Linux programs).
#define SKIP_WITHOUT_ZIP_TOOLS()                                                                             \
    if (kWindows)                                                                                            \
    GTEST_SKIP() << "checks archives with Info-ZIP's zip and unzip and with python3, run through the "       \
                    "shell, which a Windows test cannot start"

// Python's own checksum test, then a line for each entry as Python reads it back; reading an entry
// checks its data against its checksum as well.
constexpr const char* kReadBackScript = R"(import sys, zipfile, zlib
with zipfile.ZipFile(sys.argv[1]) as archive:
    print("damaged", archive.testzip())
    for info in archive.infolist():
        print(info.orig_filename, info.compress_type, "%08x" % zlib.crc32(archive.read(info)),
              "%04d-%02d-%02dT%02d:%02d:%02d" % info.date_time)
)";

class Compression : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(pack);
        fs::create_directory(out);
        packer.Setzipfilespath(pack.string());
        packer.SetUnzipfilespath(out.string());
    }

    // What a tool printed about the archive, after checking that it succeeded.
    std::string Run(const std::string& command)
    {
        const fs::path listing = sandbox.path() / "listing.txt";
        EXPECT_EQ(RunCommand(command, listing), 0) << command << "\n" << ReadBytes(listing);
        return ReadBytes(listing);
    }

    std::string ReadWithPython(const fs::path& archive)
    {
        const fs::path script = sandbox.path() / "readback.py";
        WriteBytes(script, kReadBackScript);
        return Run("python3 \"" + script.string() + "\" \"" + archive.string() + "\"");
    }

    // The names as Info-ZIP's listing gives them, raw and in archive order, a line each.
    std::string NamesIn(const fs::path& archive) { return Run("unzip -Z1 \"" + archive.string() + "\""); }

    TempFolder sandbox;
    fs::path pack = sandbox.path() / "pack";
    fs::path out = sandbox.path() / "out";
    fs::path zip = sandbox.path() / "settings.zip";
    CComPression packer;
};

TEST_F(Compression, RoundTripOfAPackagePassesTheZipToolsAndKeepsEveryByteAndModificationTime)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    std::string everyByte;
    for (int value = 0; value < 4 * 256; ++value)
        everyByte.push_back(static_cast<char>(value));
    WriteBytes(pack / "DeviceSet.DST", "Use Orbisto above v6.3.4\r\nAB12XY345678\r\nBDB0001\r\n");
    WriteBytes(pack / "AB12XY345678.ORI", everyByte);
    WriteBytes(pack / "AB12XY345678.RGF", "");
    WriteBytes(pack / "BDB0001.bdb", NoiseBytes(3 * 1024 * 1024, 7) + std::string(512 * 1024, 'z'));
    const std::time_t modified = 1700000000;  // an even number of seconds: zip times have 2 s steps
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", std::localtime(&modified));
    // Not in name order: the archive keeps the list's order.
    const std::vector<std::string> names = {"DeviceSet.DST", "BDB0001.bdb", "AB12XY345678.RGF",
                                            "AB12XY345678.ORI"};
    std::string expected = "damaged None\n";
    for (const std::string& name : names) {
        fs::last_write_time(pack / name, std::chrono::file_clock::from_sys(
                                             std::chrono::sys_seconds(std::chrono::seconds(modified))));
        const std::string data = ReadBytes(pack / name);
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08lx",
                      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        expected += name + " 8 " + crc + " " + time + "\n";  // 8: deflated
    }

    ASSERT_EQ(packer.ComPress(names, zip.string()), 0);

    Run("unzip -tq \"" + zip.string() + "\"");
    EXPECT_EQ(ReadWithPython(zip), expected);
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
}

TEST_F(Compression, ArchivesOfInfoZipUnpackIntoTheSameTree)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    fs::create_directory(pack / "sub");
    WriteBytes(pack / "DeviceSet.DST", "AB12XY345678\nBDB0001\n");
    WriteBytes(pack / "AB12XY345678.ORI", NoiseBytes(200 * 1024, 11));
    WriteBytes(pack / "empty.RGF", "");
    WriteBytes(pack / "sub" / "inner.txt", std::string(100000, 'q'));
    for (const std::string options : {"", "-0", "-9"}) {  // deflated, stored, best compression
        SCOPED_TRACE("zip " + options);
        fs::remove_all(out);
        fs::create_directories(out / "sub");
        fs::remove(zip);
        // -D: no folder entries, -X: no extra attributes; names as the tool stores them.
        Run("cd \"" + pack.string() + "\" && zip -q -X -D " + options + " \"" + zip.string() +
            "\" DeviceSet.DST AB12XY345678.ORI empty.RGF sub/inner.txt");

        ASSERT_EQ(packer.UnComPress(zip.string()), 0);
        EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
    }
}

TEST_F(Compression, AnEmptyListMakesAValidArchiveThatUnpacksToNothing)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    WriteBytes(out / "kept.txt", "kept");
    const Tree before = SnapshotTree(out);

    ASSERT_EQ(packer.ComPress({}, zip.string()), 0);

    EXPECT_EQ(ReadWithPython(zip), "damaged None\n");
    EXPECT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(before, SnapshotTree(out)), "");
}

// Packing is all or nothing: a file it cannot pack leaves the archive's path as it was, and a link
// planted there is replaced, never written through.
TEST_F(Compression, PackingThatFailsLeavesWhatWasThere)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    WriteBytes(pack / "a.ORI", "first");
    WriteBytes(pack / "b.bdb", "never packed");
    WriteBytes(sandbox.path() / "outside.txt", "outside");
    fs::create_directory(pack / "sub");
    fs::create_symlink(sandbox.path() / "outside.txt", pack / "link.ORI");
    fs::create_directory_symlink(sandbox.path(), pack / "up");
    // A missing file, a folder, names leaving the packing folder (relative, absolute, by drive
    // letter, through a link to a file or to a folder) and an empty name.
    ASSERT_EQ(packer.ComPress({"b.bdb"}, zip.string()), 0);
    for (const std::string stopper : {"missing.RGF", "sub", "../outside.txt", "/outside.txt", "C:outside.txt",
                                      "link.ORI", "up/outside.txt", ""}) {
        SCOPED_TRACE("stopper: \"" + stopper + "\"");
        const Tree before = SnapshotTree(sandbox.path());
        EXPECT_EQ(packer.ComPress({"a.ORI", stopper, "b.bdb"}, zip.string()), -1);
        EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");
    }
    EXPECT_EQ(NamesIn(zip), "b.bdb\n");

    fs::remove(zip);
    fs::create_symlink(sandbox.path() / "outside.txt", zip);
    EXPECT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);
    EXPECT_EQ(ReadBytes(sandbox.path() / "outside.txt"), "outside");
    EXPECT_EQ(NamesIn(zip), "a.ORI\n");
}

TEST_F(Compression, FailsWithoutWritingWhereNothingCanBeWritten)
{
    WriteBytes(pack / "a.ORI", "first");
    EXPECT_EQ(packer.ComPress({"a.ORI"}, (sandbox.path() / "nowhere" / "settings.zip").string()), -1);
    EXPECT_FALSE(fs::exists(sandbox.path() / "nowhere"));

    // A packer whose folders were never set reads and writes nothing.
    CComPression unset;
    EXPECT_EQ(unset.ComPress({"a.ORI"}, zip.string()), -1);
    ASSERT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);
    const Tree before = SnapshotTree(sandbox.path());
    EXPECT_EQ(unset.UnComPress(zip.string()), -1);
    EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");

    EXPECT_EQ(packer.UnComPress((sandbox.path() / "no-such.zip").string()), -1);
    WriteBytes(sandbox.path() / "not-a.zip", "just some text, no archive");
    EXPECT_EQ(packer.UnComPress((sandbox.path() / "not-a.zip").string()), -1);
    EXPECT_TRUE(SnapshotTree(out).empty());
}

TEST_F(Compression, NamesAreStoredAsGivenAndEitherSeparatorUnpacksBelowAnExistingFolder)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    fs::create_directory(pack / "sub");
    WriteBytes(pack / "sub" / "win.txt", "made on windows");
    WriteBytes(pack / "sub" / "posix.txt", "made elsewhere");
    WriteBytes(pack / "top.txt", "top");
    ASSERT_EQ(packer.ComPress({"sub\\win.txt", "sub/posix.txt", "top.txt"}, zip.string()), 0);
    EXPECT_EQ(NamesIn(zip), "sub\\win.txt\nsub/posix.txt\ntop.txt\n");

    // No folder is created: without out/sub the archive is refused, and nothing is written.
    EXPECT_EQ(packer.UnComPress(zip.string()), -1);
    EXPECT_TRUE(SnapshotTree(out).empty());

    fs::create_directory(out / "sub");
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
}

TEST_F(Compression, UnpackingReplacesFilesOfTheSameNameAndAPackingFolderMayEndInASeparator)
{
    WriteBytes(pack / "a.ORI", "new content");
    WriteBytes(out / "a.ORI", "old content that is longer than the new one");
    WriteBytes(out / "other.txt", "untouched");
    packer.Setzipfilespath(pack.string() + "/");
    ASSERT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);

    // No temporary file is left behind.
    EXPECT_EQ(SnapshotTree(out), (Tree{{"a.ORI", "file:new content"}, {"other.txt", "file:untouched"}}));
}

TEST_F(Compression, CopiesCarryBothFolders)
{
    WriteBytes(pack / "a.ORI", "content");
    const CComPression copy(packer);
    CComPression assigned;
    assigned = packer;
    CComPression& self = assigned;
    assigned = self;
    packer.Setzipfilespath((sandbox.path() / "elsewhere").string());
    packer.SetUnzipfilespath((sandbox.path() / "elsewhere").string());

    for (CComPression other : {copy, assigned}) {
        fs::remove(zip);
        fs::remove(out / "a.ORI");
        ASSERT_EQ(other.ComPress({"a.ORI"}, zip.string()), 0);
        ASSERT_EQ(other.UnComPress(zip.string()), 0);
        EXPECT_EQ(ReadBytes(out / "a.ORI"), "content");
    }
}

TEST_F(Compression, TheLongestNameThatFitsUnpacks)
{
    if (kWindows)
        GTEST_SKIP() << "Windows' narrow file functions, which take the archive's paths, stop at MAX_PATH "
                        "(260 characters), well short of this 1023-byte name";
    // Four folders of 200 bytes and a file name that brings the whole to 1023 bytes.
    std::string name;
    for (const char part : {'a', 'b', 'c', 'd'})
        name += std::string(200, part) + "/";
    fs::create_directories(out / name);
    name += std::string(1023 - name.size(), 'f');
    WriteBytes(zip, MakeRawZip({{name, "deep"}}));

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(ReadBytes(out / fs::path(name)), "deep");
}

TEST_F(Compression, LaterEntriesOfTheSameNameWinAndTemporaryLookingNamesAreKept)
{
    WriteBytes(zip, MakeRawZip({{"a.txt", "first"},
                                {".quillon-0.part", "looks temporary"},
                                {"a.txt", "second"},
                                {".quillon-1.part", "also"}}));
    Tree expected = {{".quillon-0.part", "file:looks temporary"},
                     {".quillon-1.part", "file:also"},
                     {"a.txt", "file:second"}};
    // More files like those than a search for a free name from the first one would step over: each
    // temporary name is fresh without a look at the names before it.
    for (int n = 2; n < 1200; ++n) {
        WriteBytes(out / (".quillon-" + std::to_string(n) + ".part"), "left");
        expected[".quillon-" + std::to_string(n) + ".part"] = "file:left";
    }

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);

    EXPECT_EQ(SnapshotTree(out), expected);
}

}  // namespace
