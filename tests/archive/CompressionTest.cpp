// Packing and unpacking real folders, checked against the zip tools that the device engineers use:
// archives made here pass Info-ZIP's test and read back in Python, and archives made by Info-ZIP
// unpack into the same tree.

#include "archive/ComPression.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Platform.h"
#include "common/RawZip.h"
#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using quillon::testing::MakeRawZip;
using quillon::testing::NoiseBytes;
using quillon::testing::RawEntry;
using quillon::testing::ReadBytes;
using quillon::testing::RunCommand;
using quillon::testing::SnapshotTree;
using quillon::testing::TreeChanges;
using quillon::testing::TempFolder;
using quillon::testing::WriteBytes;

// The tests that check archives with Info-ZIP's zip and unzip and with Python start them through
// the shell; a Windows program cannot start them (under Wine they are Linux programs).
#define SKIP_WITHOUT_ZIP_TOOLS()                                                                    \
    if (quillon::testing::kWindows)                                                                 \
    GTEST_SKIP() << "checks archives with Info-ZIP's zip and unzip and with python3, run through the " \
                    "shell, which a Windows test cannot start"

// One entry as Python's zipfile reads it back.
struct ReadBackEntry {
    std::string name;  // raw bytes
    int method = -1;
    std::size_t size = 0;
    std::string modified;  // YYYY-MM-DDTHH:MM:SS
    std::string data;
};

struct ReadBack {
    int exitCode = -1;
    std::string damaged;  // what testzip() names, "None" when every checksum matches
    std::vector<ReadBackEntry> entries;
};

constexpr const char* kReadBackScript = R"(import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    print("damaged", archive.testzip())
    for index, info in enumerate(archive.infolist()):
        raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
        with open(os.path.join(sys.argv[2], "%d.bin" % index), "wb") as out:
            out.write(archive.read(info))
        print(index, raw.hex() or "-", info.compress_type, info.file_size,
              "%04d-%02d-%02dT%02d:%02d:%02d" % info.date_time)
)";

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

class Compression : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(pack);
        fs::create_directory(out);
        packer.Setzipfilespath(pack.string());
        packer.SetUnzipfilespath(out.string());
    }

    ReadBack ReadWithPython(const fs::path& archive)
    {
        const fs::path script = sandbox.path() / "readback.py";
        const fs::path data = sandbox.path() / "readback";
        const fs::path listing = sandbox.path() / "readback.txt";
        WriteBytes(script, kReadBackScript);
        fs::remove_all(data);
        fs::create_directory(data);
        ReadBack result;
        result.exitCode = RunCommand("python3 \"" + script.string() + "\" \"" + archive.string() + "\" \"" +
                                         data.string() + "\"",
                                     listing);
        std::istringstream lines(ReadBytes(listing));
        std::string word;
        lines >> word >> result.damaged;
        EXPECT_EQ(word, "damaged") << ReadBytes(listing);
        int index = 0;
        while (lines >> index) {
            ReadBackEntry entry;
            std::string hexName;
            lines >> hexName >> entry.method >> entry.size >> entry.modified;
            entry.name = hexName == "-" ? "" : FromHex(hexName);
            entry.data = ReadBytes(data / (std::to_string(index) + ".bin"));
            result.entries.push_back(entry);
        }
        fs::remove_all(data);
        return result;
    }

    // The names as Info-ZIP's listing gives them, raw and in archive order.
    std::vector<std::string> NamesIn(const fs::path& archive)
    {
        const fs::path listing = sandbox.path() / "names.txt";
        EXPECT_EQ(RunCommand("unzip -Z1 \"" + archive.string() + "\"", listing), 0) << ReadBytes(listing);
        std::istringstream lines(ReadBytes(listing));
        std::vector<std::string> names;
        for (std::string line; std::getline(lines, line);)
            names.push_back(line);
        return names;
    }

    TempFolder sandbox;
    fs::path pack = sandbox.path() / "pack";
    fs::path out = sandbox.path() / "out";
    fs::path zip = sandbox.path() / "settings.zip";
    CComPression packer;
};

TEST_F(Compression, RoundTripOfAPackagePassesTheZipToolsAndRestoresEveryByte)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    std::string everyByte;
    for (int repeat = 0; repeat < 4; ++repeat) {
        for (int value = 0; value < 256; ++value)
            everyByte.push_back(static_cast<char>(value));
    }
    const std::string big = NoiseBytes(3 * 1024 * 1024, 7) + std::string(512 * 1024, 'z');
    WriteBytes(pack / "DeviceSet.DST", "Use Orbisto above v6.3.4\r\nAB12XY345678\r\nBDB0001\r\n");
    WriteBytes(pack / "AB12XY345678.ORI", everyByte);
    WriteBytes(pack / "AB12XY345678.RGF", "");
    WriteBytes(pack / "BDB0001.bdb", big);
    // Not in name order: the archive keeps the list's order.
    const std::vector<std::string> names = {"DeviceSet.DST", "BDB0001.bdb", "AB12XY345678.RGF",
                                            "AB12XY345678.ORI"};

    ASSERT_EQ(packer.ComPress(names, zip.string()), 0);

    EXPECT_EQ(RunCommand("unzip -tq \"" + zip.string() + "\"", sandbox.path() / "unzip.txt"), 0)
        << ReadBytes(sandbox.path() / "unzip.txt");
    const ReadBack readBack = ReadWithPython(zip);
    EXPECT_EQ(readBack.exitCode, 0);
    EXPECT_EQ(readBack.damaged, "None");
    ASSERT_EQ(readBack.entries.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(readBack.entries[i].name, names[i]);
        EXPECT_EQ(readBack.entries[i].method, 8) << names[i] << " is not deflated";
        EXPECT_EQ(readBack.entries[i].data, ReadBytes(pack / names[i])) << names[i];
    }

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
}

TEST_F(Compression, ArchivesOfInfoZipUnpackIntoTheSameTree)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    struct Case {
        const char* name;
        const char* options;
    };
    const std::vector<Case> cases = {
        {"deflated", ""},
        {"stored", "-0"},
        {"best compression", "-9"},
    };
    fs::create_directory(pack / "sub");
    WriteBytes(pack / "DeviceSet.DST", "AB12XY345678\nBDB0001\n");
    WriteBytes(pack / "AB12XY345678.ORI", NoiseBytes(200 * 1024, 11));
    WriteBytes(pack / "empty.RGF", "");
    WriteBytes(pack / "sub" / "inner.txt", std::string(100000, 'q'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        fs::create_directories(out / "sub");
        fs::remove(zip);
        // -D: no folder entries, -X: no extra attributes; names as the tool stores them.
        ASSERT_EQ(RunCommand("cd \"" + pack.string() + "\" && zip -q -X -D " + c.options + " \"" + zip.string() +
                             "\" DeviceSet.DST AB12XY345678.ORI empty.RGF sub/inner.txt"),
                  0);

        ASSERT_EQ(packer.UnComPress(zip.string()), 0);
        EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
    }
}

TEST_F(Compression, EntriesRecordTheFilesModificationTime)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    const std::time_t modified = 1700000000;  // an even number of seconds: zip times have 2 s steps
    WriteBytes(pack / "a.ORI", "content");
    fs::last_write_time(pack / "a.ORI", std::chrono::file_clock::from_sys(std::chrono::sys_seconds(
                                            std::chrono::seconds(modified))));
    std::tm local = *std::localtime(&modified);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", &local);

    ASSERT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);

    const ReadBack readBack = ReadWithPython(zip);
    ASSERT_EQ(readBack.entries.size(), 1u);
    EXPECT_EQ(readBack.entries[0].modified, expected);
}

TEST_F(Compression, AnEmptyListMakesAValidArchiveThatUnpacksToNothing)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    WriteBytes(out / "kept.txt", "kept");
    const auto before = SnapshotTree(out);

    ASSERT_EQ(packer.ComPress({}, zip.string()), 0);

    const ReadBack readBack = ReadWithPython(zip);
    EXPECT_EQ(readBack.exitCode, 0);
    EXPECT_EQ(readBack.damaged, "None");
    EXPECT_TRUE(readBack.entries.empty());
    EXPECT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(before, SnapshotTree(out)), "");
}

TEST_F(Compression, PackingStopsAtTheFirstFileItCannotPackKeepingTheEntriesBefore)
{
    SKIP_WITHOUT_ZIP_TOOLS();
    struct Case {
        const char* name;
        std::string stopper;
    };
    const std::vector<Case> cases = {
        {"missing file", "missing.RGF"},
        {"folder", "sub"},
        {"name leaving the packing folder", "../outside.txt"},
        {"absolute name", "/outside.txt"},
        {"drive letter", "C:outside.txt"},
        {"empty name", ""},
    };
    WriteBytes(pack / "a.ORI", "first");
    WriteBytes(pack / "b.bdb", "never packed");
    WriteBytes(sandbox.path() / "outside.txt", "outside");
    fs::create_directory(pack / "sub");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(zip);
        EXPECT_EQ(packer.ComPress({"a.ORI", c.stopper, "b.bdb"}, zip.string()), -1);
        EXPECT_EQ(NamesIn(zip), std::vector<std::string>{"a.ORI"});
    }
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
    const auto before = SnapshotTree(sandbox.path());
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
    const std::vector<std::string> names = {"sub\\win.txt", "sub/posix.txt", "top.txt"};

    ASSERT_EQ(packer.ComPress(names, zip.string()), 0);
    EXPECT_EQ(NamesIn(zip), names);

    // No folder is created: without out/sub the archive is refused, and nothing is written.
    EXPECT_EQ(packer.UnComPress(zip.string()), -1);
    EXPECT_TRUE(SnapshotTree(out).empty());

    fs::create_directory(out / "sub");
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(TreeChanges(SnapshotTree(pack), SnapshotTree(out)), "");
}

TEST_F(Compression, UnpackingReplacesFilesOfTheSameName)
{
    WriteBytes(pack / "a.ORI", "new content");
    WriteBytes(out / "a.ORI", "old content that is longer than the new one");
    WriteBytes(out / "other.txt", "untouched");
    ASSERT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);

    EXPECT_EQ(ReadBytes(out / "a.ORI"), "new content");
    EXPECT_EQ(ReadBytes(out / "other.txt"), "untouched");
    EXPECT_EQ(SnapshotTree(out).size(), 2u) << "no temporary file is left behind";
}

TEST_F(Compression, APackingFolderEndingInASeparatorStillPacks)
{
    WriteBytes(pack / "a.ORI", "content");
    packer.Setzipfilespath(pack.string() + "/");
    ASSERT_EQ(packer.ComPress({"a.ORI"}, zip.string()), 0);
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(ReadBytes(out / "a.ORI"), "content");
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
    if (quillon::testing::kWindows)
        GTEST_SKIP() << "Windows' narrow file functions, which take the archive's paths, stop at MAX_PATH "
                        "(260 characters), well short of this 1023-byte name";
    // Four folders of 200 bytes and a file name that brings the whole to 1023 bytes.
    std::string name;
    fs::path folder = out;
    for (int i = 0; i < 4; ++i) {
        const std::string part(200, static_cast<char>('a' + i));
        folder /= part;
        name += part + "/";
    }
    fs::create_directories(folder);
    name += std::string(1023 - name.size(), 'f');
    ASSERT_EQ(name.size(), 1023u);
    WriteBytes(zip, MakeRawZip({{name, "deep"}}));

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(ReadBytes(out / fs::path(name)), "deep");
}

TEST_F(Compression, LaterEntriesOfTheSameNameWinAndTemporaryLookingNamesAreKept)
{
    WriteBytes(zip, MakeRawZip({{"a.txt", "first"}, {".quillon-0.part", "looks temporary"}, {"a.txt", "second"},
                                {".quillon-1.part", "also"}}));

    ASSERT_EQ(packer.UnComPress(zip.string()), 0);

    const quillon::testing::Tree expected = {
        {".quillon-0.part", "file:looks temporary"}, {".quillon-1.part", "file:also"}, {"a.txt", "file:second"}};
    EXPECT_EQ(SnapshotTree(out), expected);
}

}  // namespace
