// Packing and unpacking real folders, checked against the zip tools that the device engineers use:
// archives made here pass Info-ZIP's test and read back in Python, and archives made by Info-ZIP
// unpack into the same tree. Archives from a device are untrusted: whatever their entries are
// called and however they are damaged, unpacking fails cleanly and the tree around the unpacking
// folder, the folder included, stays exactly as it was.

#include "archive/ComPression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive/ZipArchive.h"

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

// sandbox/a/b/out is the unpacking folder, so that an escape from it has somewhere to go.
class Compression : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(pack);
        fs::create_directories(out);
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
    fs::path out = sandbox.path() / "a" / "b" / "out";
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

TEST_F(Compression, StoredEntriesOfManyMegabytesUnpackByteForByte)
{
    // A device's archive is one stored entry as large as the settings: it is copied in pieces.
    const std::string big = NoiseBytes(3'500'001, 5);
    WriteBytes(zip, MakeRawZip({{"big.bin", big}, {"after.txt", "after"}}));
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(ReadBytes(out / "big.bin"), big);
    EXPECT_EQ(ReadBytes(out / "after.txt"), "after");
}

TEST_F(Compression, ArchivesWhoseEndOutgrowsItsLastSixtyFourKilobytesUnpack)
{
    // The unpacker reads the last 64 KiB and 22 bytes, then the directory from where the end
    // record says it starts, and the entries from the file: a directory that starts well before
    // the last bytes, and a long comment, which leaves the end record near their start.
    std::vector<RawEntry> many;
    for (int i = 0; i < 2000; ++i)
        many.emplace_back("entry" + std::to_string(i) + ".txt", std::to_string(i));
    const std::string manyZip = MakeRawZip(many);
    std::vector<RawEntry> commented = {{"big.bin", NoiseBytes(200'000, 7)}, {"a.txt", "a"}};
    std::string commentedZip = MakeRawZip(commented);
    const std::string comment(65'000, 'c');
    commentedZip.replace(commentedZip.size() - 2, 2,
                         {static_cast<char>(comment.size() & 0xFF), static_cast<char>(comment.size() >> 8)});
    commentedZip += comment;
    for (const auto& [archive, entries] : {std::pair{manyZip, many}, std::pair{commentedZip, commented}}) {
        SCOPED_TRACE(std::to_string(entries.size()) + " entries");
        fs::remove_all(out);
        fs::create_directory(out);
        WriteBytes(zip, archive);
        Tree expected;
        for (const RawEntry& entry : entries)
            expected[entry.name] = "file:" + entry.data;
        const quillon::ZipOutcome outcome = quillon::UnpackArchive(zip.string(), out.string());
        ASSERT_TRUE(outcome.ok) << outcome.error;
        EXPECT_EQ(SnapshotTree(out), expected);
    }
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

// Files that an escape would hit lie around the unpacking folder, and files that a refused archive
// must not replace lie in it.
class HostileArchive : public Compression {
protected:
    void SetUp() override
    {
        Compression::SetUp();
        fs::create_directory(out / "sub");
        WriteBytes(out / "good.txt", "old");
        WriteBytes(out / "sub" / "inner.txt", "old inner");
        WriteBytes(sandbox.path() / "a" / "b" / "victim.txt", "victim");
        WriteBytes(sandbox.path() / "a" / "secret.txt", "secret");
    }

    // Unpacks through the exported class and through the internal call that says why, and checks
    // that neither changed anything.
    void ExpectRefused(const std::string& archiveBytes, const std::string& reason)
    {
        WriteBytes(zip, archiveBytes);
        const Tree before = SnapshotTree(sandbox.path());
        EXPECT_EQ(packer.UnComPress(zip.string()), -1);
        const quillon::ZipOutcome outcome = quillon::UnpackArchive(zip.string(), out.string());
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.error.find(reason), std::string::npos) << outcome.error;
        EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");
    }

    // An archive packed here, the way a device's would be, from files of the given contents.
    std::string Packed(const std::vector<std::pair<std::string, std::string>>& files)
    {
        std::vector<std::string> names;
        for (const auto& [name, content] : files) {
            WriteBytes(pack / name, content);
            names.push_back(name);
        }
        EXPECT_EQ(packer.ComPress(names, zip.string()), 0);
        return ReadBytes(zip);
    }
};

// One entry that inflates to a gigabyte of zeros from about a megabyte of archive. After a full
// flush no later block looks back, so the compressed first megabyte can simply be repeated.
std::string ZipBomb()
{
    constexpr int kMegabytes = 1024;
    const std::string zeros(1 << 20, '\0');
    std::string buffer(zeros.size(), '\0');
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);  // raw deflate
    const auto deflateZeros = [&](int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        stream.avail_in = static_cast<uInt>(zeros.size());
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
        EXPECT_EQ(deflate(&stream, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
        return buffer.substr(0, buffer.size() - stream.avail_out);
    };
    const std::string megabyte = deflateZeros(Z_FULL_FLUSH);
    std::string compressed;
    for (int i = 1; i < kMegabytes; ++i)
        compressed += megabyte;
    compressed += deflateZeros(Z_FINISH);
    deflateEnd(&stream);
    uLong crc = crc32(0, nullptr, 0);
    for (int i = 0; i < kMegabytes; ++i)
        crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));

    RawEntry bomb("zeros.bin", compressed);
    bomb.method = Z_DEFLATED;
    bomb.crc = static_cast<std::uint32_t>(crc);
    bomb.declaredSize = static_cast<std::uint32_t>(kMegabytes) << 20;
    return MakeRawZip({bomb});
}

TEST_F(HostileArchive, IsRefusedBeforeAnythingIsWritten)
{
    // A harmless entry first, then the hostile one: a refused archive must not write even that.
    const auto afterAGoodOne = [](RawEntry entry, void (*change)(RawEntry&) = nullptr) {
        if (change)
            change(entry);
        return MakeRawZip({{"good.txt", "fresh"}, entry});
    };
    // Absolute without a drive: a drive's colon is refused before the name's being absolute is
    // looked at.
    const fs::path target = sandbox.path() / "a" / "b" / "escaped.txt";
    const std::string escaped = (target.root_directory() / target.relative_path()).generic_string();
    std::vector<std::pair<std::string, const char*>> names = {
        {"", "empty"},
        {escaped, "absolute"},
        {"\\\\server\\share\\escaped.txt", "absolute"},
        {"C:\\escaped.txt", "':'"},
        {"good.txt:stream", "':'"},
        {"..\\escaped.txt", "dots"},
        {"sub/..\\../victim.txt", "dots"},
        {"./good.txt", "dots"},
        {"...\\escaped.txt", "dots"},
        {".. /escaped.txt", "dots"},
        {"sub/", "folder"},
        {"sub//inner.txt", "empty folder part"},
        {std::string("good.txt\0../victim.txt", 22), "zero byte"},
        {"good\x01.txt", "control"},
        {std::string(1024, 'n'), "longer"},
        {"nosuch/escaped.txt", "does not exist"},
        {"sub", "other than a file"},
    };
#ifdef _WIN32
    // Windows opens a device, not a file, under these names in any folder and with any extension, and
    // drops a trailing dot.
    for (const char* device : {"NUL.txt", "sub/com1", "Con ", "sub\\LPT9.log", "CONOUT$", "name."})
        names.push_back({device, "Windows takes for another"});
#endif
    const std::string data(5000, 'd');
    // The flip lies in the last piece of an entry that is copied in several.
    std::string flippedStored =
        afterAGoodOne({"sub/inner.txt", std::string(2'500'000, 's') + "0123456789abcdef"});
    flippedStored[flippedStored.find("0123456789abcdef") + 8] ^= 0x20;
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of the settings\n";
    std::string flippedDeflated = Packed({{"good.txt", text}});
    // The middle of a one-entry archive this size lies well inside the entry's deflated data.
    ASSERT_GT(flippedDeflated.size(), 2000u);
    flippedDeflated[flippedDeflated.size() / 2] ^= 0x55;
    const std::string bomb = ZipBomb();
    ASSERT_LT(bomb.size(), 2u << 20) << "a bomb is small";
    std::vector<RawEntry> many;
    for (int i = 0; i <= 10'000; ++i)
        many.emplace_back("f" + std::to_string(i), "x");
    struct Case {
        std::string label;
        std::string archive;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"encrypted", afterAGoodOne({"encrypted.txt", "scrambled"}, [](RawEntry& e) { e.flag = 1; }),
         "encrypted"},
        {"unknown method", afterAGoodOne({"method.txt", "other"}, [](RawEntry& e) { e.method = 12; }),
         "compression method"},
        {"stored data with a flipped byte", flippedStored, "checksum"},
        {"checksum recorded wrong",
         afterAGoodOne({"sub/inner.txt", data}, [](RawEntry& e) { e.crc = 0x12345678; }), "checksum"},
        {"data shorter than recorded",
         afterAGoodOne({"sub/inner.txt", data}, [](RawEntry& e) { e.declaredSize = 5010; }), "shorter"},
        {"deflated data with a flipped byte", flippedDeflated, "checksum of entry \"good.txt\""},
        {"a gigabyte from a megabyte", bomb, "more than 256 MiB"},
        {"too many entries", MakeRawZip(many), "10001 entries"},
    };
    for (const auto& [name, reason] : names)
        cases.push_back({"named " + ::testing::PrintToString(name), afterAGoodOne({name, "evil"}), reason});
    const std::string whole = Packed({{"good.txt", "fresh content"}, {"other.txt", NoiseBytes(10000, 3)}});
    for (const std::size_t length : {whole.size() - 1, whole.size() - 22, whole.size() / 2, std::size_t{30},
                                     std::size_t{1}, std::size_t{0}})
        cases.push_back({"cut to " + std::to_string(length) + " bytes", whole.substr(0, length), ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ExpectRefused(c.archive, c.reason);
    }
}

TEST_F(HostileArchive, LinksInsideTheFolderLeadNowhere)
{
    std::error_code error;
    fs::create_directory_symlink(sandbox.path() / "a", out / "link", error);
    if (error)
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    // A folder part that is a link is refused, even though it exists.
    ExpectRefused(MakeRawZip({{"good.txt", "fresh"}, {"link/escaped.txt", "evil"}}), "link");

    // A file that is a link is replaced itself; what it points to is not written.
    fs::remove(out / "good.txt");
    fs::create_symlink(sandbox.path() / "a" / "b" / "victim.txt", out / "good.txt");
    WriteBytes(zip, MakeRawZip({{"good.txt", "fresh"}}));
    ASSERT_EQ(packer.UnComPress(zip.string()), 0);
    EXPECT_EQ(ReadBytes(sandbox.path() / "a" / "b" / "victim.txt"), "victim");
    EXPECT_FALSE(fs::is_symlink(out / "good.txt"));
    EXPECT_EQ(ReadBytes(out / "good.txt"), "fresh");

    // A folder swapped for a link after it was checked, while the archive is being unpacked: its
    // entry never goes through the link.
    WriteBytes(zip, MakeRawZip({{"good.txt", "fresh"}, {"sub/inner.txt", "new inner"}}));
    const auto swap = [&](std::size_t entry) {
        if (entry != 1)
            return;
        fs::rename(out / "sub", out / "moved", error);  // refused on Windows, where the folder is held
        if (!error)
            fs::create_directory_symlink(sandbox.path() / "a", out / "sub", error);
    };
    EXPECT_TRUE(quillon::UnpackArchive(zip.string(), out.string(), swap).ok);
    EXPECT_FALSE(fs::exists(sandbox.path() / "a" / "inner.txt")) << "written through the link";
}

}  // namespace
