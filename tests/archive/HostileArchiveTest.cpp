// Archives from a device are untrusted. Whatever their entries are called and however they are
// damaged, unpacking fails cleanly and the tree around the unpacking folder, the folder included,
// stays exactly as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/ComPression.h"
#include "common/RawZip.h"
#include "archive/ZipArchive.h"
#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using quillon::UnpackArchive;
using quillon::testing::MakeRawZip;
using quillon::testing::RawEntry;
using quillon::testing::ReadBytes;
using quillon::testing::SnapshotTree;
using quillon::testing::TreeChanges;
using quillon::testing::TempFolder;
using quillon::testing::WriteBytes;

// sandbox/a/b/out is the unpacking folder; files that an escape would hit lie around it.
class HostileArchive : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(out / "sub");
        WriteBytes(out / "good.txt", "old");
        WriteBytes(out / "sub" / "inner.txt", "old inner");
        WriteBytes(sandbox.path() / "a" / "b" / "victim.txt", "victim");
        WriteBytes(sandbox.path() / "a" / "secret.txt", "secret");
        packer.SetUnzipfilespath(out.string());
    }

    // Unpacks through the exported class and through the internal call that says why, and checks
    // that neither changed anything.
    void ExpectRefused(const std::string& archiveBytes, const std::string& reason)
    {
        WriteBytes(zip, archiveBytes);
        const auto before = SnapshotTree(sandbox.path());
        EXPECT_EQ(packer.UnComPress(zip.string()), -1);
        const quillon::ZipOutcome outcome = UnpackArchive(zip.string(), out.string());
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.error.find(reason), std::string::npos) << outcome.error;
        EXPECT_EQ(TreeChanges(before, SnapshotTree(sandbox.path())), "");
    }

    TempFolder sandbox;
    fs::path out = sandbox.path() / "a" / "b" / "out";
    fs::path zip = sandbox.path() / "a" / "b" / "hostile.zip";
    CComPression packer;
};

std::string WithBackslashes(std::string path)
{
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

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
    const std::vector<Case> cases = {
        {"empty", "", "empty"},
        {"absolute", escaped, "absolute"},
        {"absolute with backslashes", WithBackslashes(escaped), "absolute"},
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // A harmless entry first: a refused archive must not write even that.
        ExpectRefused(MakeRawZip({{"good.txt", "fresh"}, {c.name, "evil"}}), c.reason);
    }
}

TEST_F(HostileArchive, EntriesThatCannotBeReadAsPlainDataAreRefused)
{
    RawEntry encrypted{"encrypted.txt", "scrambled"};
    encrypted.flag = 1;
    RawEntry unknownMethod{"method.txt", "packed another way"};
    unknownMethod.method = 12;
    ExpectRefused(MakeRawZip({{"good.txt", "fresh"}, encrypted}), "encrypted");
    ExpectRefused(MakeRawZip({{"good.txt", "fresh"}, unknownMethod}), "compression method");
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
}

TEST_F(HostileArchive, DamagedEntriesLeaveTheFolderAsItWas)
{
    const std::string data(5000, 'd');
    const auto flipped = [](std::string archive, const std::string& marker) {
        archive[archive.find(marker) + marker.size() / 2] ^= 0x20;
        return archive;
    };
    RawEntry wrongChecksum{"sub/inner.txt", data};
    wrongChecksum.crc = 0x12345678;
    RawEntry tooShort{"sub/inner.txt", data};
    tooShort.declaredSize = static_cast<std::uint32_t>(data.size() + 10);

    struct Case {
        const char* label;
        std::string archive;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"stored data with a flipped byte",
         flipped(MakeRawZip({{"good.txt", "fresh"}, {"sub/inner.txt", "0123456789abcdef" + data}}),
                 "0123456789abcdef"),
         "checksum"},
        {"checksum recorded wrong", MakeRawZip({{"good.txt", "fresh"}, wrongChecksum}), "checksum"},
        {"data shorter than recorded", MakeRawZip({{"good.txt", "fresh"}, tooShort}), "shorter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ExpectRefused(c.archive, c.reason);
    }
}

TEST_F(HostileArchive, ADeflatedEntryWithAFlippedByteFails)
{
    const fs::path pack = sandbox.path() / "pack";
    fs::create_directory(pack);
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of the settings\n";
    WriteBytes(pack / "good.txt", text);
    packer.Setzipfilespath(pack.string());
    ASSERT_EQ(packer.ComPress({"good.txt"}, zip.string()), 0);
    std::string archive = ReadBytes(zip);
    // The first entry's data starts after its 30-byte header, name and extra field.
    const std::size_t start = 30 + static_cast<unsigned char>(archive[26]) + static_cast<unsigned char>(archive[28]);
    const std::size_t compressed = static_cast<unsigned char>(archive[18]) |
                                   static_cast<unsigned char>(archive[19]) << 8 |
                                   static_cast<unsigned char>(archive[20]) << 16;
    ASSERT_GT(compressed, 100u);
    archive[start + compressed / 2] ^= 0x55;

    ExpectRefused(archive, "good.txt");
}

TEST_F(HostileArchive, TruncatedArchivesFail)
{
    const fs::path pack = sandbox.path() / "pack";
    fs::create_directory(pack);
    WriteBytes(pack / "good.txt", "fresh content");
    WriteBytes(pack / "other.txt", quillon::testing::NoiseBytes(10000, 3));
    packer.Setzipfilespath(pack.string());
    ASSERT_EQ(packer.ComPress({"good.txt", "other.txt"}, zip.string()), 0);
    const std::string whole = ReadBytes(zip);

    for (const std::size_t length : {whole.size() - 1, whole.size() - 22, whole.size() / 2, std::size_t{30},
                                     std::size_t{1}, std::size_t{0}}) {
        SCOPED_TRACE(length);
        ExpectRefused(whole.substr(0, length), "");
    }
}

// One entry that inflates to a gigabyte of zeros from about a megabyte of archive, made at test
// time without ever holding the gigabyte.
std::string ZipBomb()
{
    constexpr std::size_t kChunk = 1 << 20;
    constexpr std::uint32_t kInflated = 1u << 30;
    const std::vector<unsigned char> zeros(kChunk, 0);
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);  // raw deflate
    std::string compressed;
    std::vector<unsigned char> out(kChunk);
    uLong crc = crc32(0, nullptr, 0);
    for (std::uint32_t fed = 0; fed < kInflated; fed += kChunk) {
        crc = crc32(crc, zeros.data(), kChunk);
        stream.next_in = const_cast<unsigned char*>(zeros.data());
        stream.avail_in = kChunk;
        const int flush = fed + kChunk >= kInflated ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = out.data();
            stream.avail_out = kChunk;
            deflate(&stream, flush);
            compressed.append(reinterpret_cast<char*>(out.data()), kChunk - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);

    RawEntry bomb("zeros.bin", compressed);
    bomb.method = Z_DEFLATED;
    bomb.crc = static_cast<std::uint32_t>(crc);
    bomb.declaredSize = kInflated;
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
