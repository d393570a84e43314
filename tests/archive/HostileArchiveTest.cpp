// Archives from a device are untrusted. Whatever their entries are called and however they are
// damaged, unpacking fails cleanly and the tree around the unpacking folder, the folder included,
// stays exactly as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "archive/ComPression.h"
#include "archive/ZipArchive.h"
#include "common/RawZip.h"
#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon::testing;

// sandbox/a/b/out is the unpacking folder; files that an escape would hit lie around it.
class HostileArchive : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(out / "sub");
        fs::create_directory(pack);
        WriteBytes(out / "good.txt", "old");
        WriteBytes(out / "sub" / "inner.txt", "old inner");
        WriteBytes(sandbox.path() / "a" / "b" / "victim.txt", "victim");
        WriteBytes(sandbox.path() / "a" / "secret.txt", "secret");
        packer.Setzipfilespath(pack.string());
        packer.SetUnzipfilespath(out.string());
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

    TempFolder sandbox;
    fs::path out = sandbox.path() / "a" / "b" / "out";
    fs::path pack = sandbox.path() / "pack";
    fs::path zip = sandbox.path() / "a" / "b" / "hostile.zip";
    CComPression packer;
};

TEST_F(HostileArchive, NamesThatCouldLeaveTheFolderAreRefusedBeforeAnythingIsWritten)
{
    struct Case {
        const char* label;
        std::string name;
        const char* reason;
    };
    // Absolute without a drive: a drive's colon is refused before the name's being absolute is
    // looked at.
    const fs::path target = sandbox.path() / "a" / "b" / "escaped.txt";
    const std::string escaped = (target.root_directory() / target.relative_path()).generic_string();
    std::string escapedWithBackslashes = escaped;
    std::replace(escapedWithBackslashes.begin(), escapedWithBackslashes.end(), '/', '\\');
    std::vector<Case> cases = {
        {"empty", "", "empty"},
        {"absolute", escaped, "absolute"},
        {"absolute with backslashes", escapedWithBackslashes, "absolute"},
        {"root backslash", "\\escaped.txt", "absolute"},
        {"share", "\\\\server\\share\\escaped.txt", "absolute"},
        {"share with slashes", "//server/share/escaped.txt", "absolute"},
        {"drive relative", "C:escaped.txt", "':'"},
        {"drive root", "C:\\escaped.txt", "':'"},
        {"drive with slash", "c:/escaped.txt", "':'"},
        {"stream", "good.txt:stream", "':'"},
        {"parent", "../escaped.txt", "dots"},
        {"parent with backslash", "..\\escaped.txt", "dots"},
        {"grandparent", "../../escaped.txt", "dots"},
        {"parent after a folder", "sub/../../victim.txt", "dots"},
        {"parent after a folder, backslashes", "sub\\..\\..\\victim.txt", "dots"},
        {"mixed separators", "sub/..\\../victim.txt", "dots"},
        {"parent alone", "..", "dots"},
        {"current folder", "./good.txt", "dots"},
        {"three dots", "...\\escaped.txt", "dots"},
        {"dots and a blank", ".. /escaped.txt", "dots"},
        {"folder entry", "sub/", "folder"},
        {"empty folder part", "sub//inner.txt", "empty folder part"},
        {"zero byte", std::string("good.txt\0../victim.txt", 22), "zero byte"},
        {"control character", "good\x01.txt", "control"},
        {"longer than the name buffer", std::string(1024, 'n'), "longer"},
        {"missing folder", "nosuch/escaped.txt", "does not exist"},
        {"folder in the way", "sub", "other than a file"},
    };
#ifdef _WIN32
    // Windows opens a device, not a file, under these names in any folder and with any extension, and
    // drops a trailing dot.
    for (const char* device : {"NUL.txt", "sub/com1", "Con ", "sub\\LPT9.log", "CONOUT$", "name."})
        cases.push_back({device, device, "Windows takes for another"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // A harmless entry first: a refused archive must not write even that.
        ExpectRefused(MakeRawZip({{"good.txt", "fresh"}, {c.name, "evil"}}), c.reason);
    }
}

TEST_F(HostileArchive, DamagedTruncatedOrUnreadableEntriesLeaveTheFolderAsItWas)
{
    const std::string data(5000, 'd');
    RawEntry encrypted{"encrypted.txt", "scrambled"};
    encrypted.flag = 1;
    RawEntry unknownMethod{"method.txt", "packed another way"};
    unknownMethod.method = 12;
    RawEntry wrongChecksum{"sub/inner.txt", data};
    wrongChecksum.crc = 0x12345678;
    RawEntry tooShort{"sub/inner.txt", data};
    tooShort.declaredSize = static_cast<std::uint32_t>(data.size() + 10);
    std::string flippedStored =
        MakeRawZip({{"good.txt", "fresh"}, {"sub/inner.txt", "0123456789abcdef" + data}});
    flippedStored[flippedStored.find("0123456789abcdef") + 8] ^= 0x20;
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of the settings\n";
    std::string flippedDeflated = Packed({{"good.txt", text}});
    // The middle of a one-entry archive this size lies well inside the entry's deflated data.
    ASSERT_GT(flippedDeflated.size(), 2000u);
    flippedDeflated[flippedDeflated.size() / 2] ^= 0x55;
    const std::string whole = Packed({{"good.txt", "fresh content"}, {"other.txt", NoiseBytes(10000, 3)}});

    struct Case {
        std::string label;
        std::string archive;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"encrypted", MakeRawZip({{"good.txt", "fresh"}, encrypted}), "encrypted"},
        {"unknown method", MakeRawZip({{"good.txt", "fresh"}, unknownMethod}), "compression method"},
        {"stored data with a flipped byte", flippedStored, "checksum"},
        {"checksum recorded wrong", MakeRawZip({{"good.txt", "fresh"}, wrongChecksum}), "checksum"},
        {"data shorter than recorded", MakeRawZip({{"good.txt", "fresh"}, tooShort}), "shorter"},
        {"deflated data with a flipped byte", flippedDeflated, "good.txt"},
    };
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

TEST_F(HostileArchive, ArchivesThatWouldFillTheDiskAreRefusedBeforeAnythingIsWritten)
{
    const std::string bomb = ZipBomb();
    ASSERT_LT(bomb.size(), 2u << 20) << "a bomb is small";
    ExpectRefused(bomb, "more than 256 MiB");

    std::vector<RawEntry> many;
    for (int i = 0; i <= 10'000; ++i)
        many.emplace_back("f" + std::to_string(i), "x");
    ExpectRefused(MakeRawZip(many), "10001 entries");
}

}  // namespace
