// Archives that arrive a piece at a time, as a download's do. The stored entries written out as
// they come are what unpacking puts in place, but only where the archive's directory, checked as
// for any archive, says the same as the local headers that the stream followed.

#include "archive/EntryStream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/ZipArchive.h"

#include "common/RawZip.h"
#include "common/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon::testing;

// An entry deflated as zip tools deflate, with its true checksum and size.
RawEntry Deflated(std::string name, const std::string& content)
{
    std::string packed(compressBound(static_cast<uLong>(content.size())) + 64, '\0');
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    packed.resize(packed.size() - stream.avail_out);
    deflateEnd(&stream);
    RawEntry entry(std::move(name), packed);
    entry.method = Z_DEFLATED;
    entry.crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    entry.declaredSize = static_cast<std::uint32_t>(content.size());
    return entry;
}

class StreamedArchive : public ::testing::Test {
protected:
    // A fresh unpacking folder with a subfolder "sub", under its own name in the sandbox.
    fs::path Folder(const std::string& name)
    {
        const fs::path folder = sandbox.path() / name;
        fs::create_directories(folder / "sub");
        return folder;
    }

    // Streams the archive at zip into folder in pieces of `piece` bytes, then unpacks it; between
    // the two, `meanwhile` may change the archive on disk.
    quillon::ZipOutcome StreamAndUnpack(const fs::path& folder, std::size_t piece,
                                        const std::function<void()>& meanwhile = {})
    {
        const std::string archive = ReadBytes(zip);
        quillon::EntryStream stream(folder.string());
        for (std::size_t at = 0; at < archive.size(); at += piece)
            stream.Append(reinterpret_cast<const std::uint8_t*>(archive.data()) + at,
                          std::min(piece, archive.size() - at));
        if (meanwhile)
            meanwhile();
        return quillon::UnpackStreamedArchive(zip.string(), stream);
    }

    TempFolder sandbox;
    fs::path zip = sandbox.path() / "streamed.zip";
};

TEST_F(StreamedArchive, UnpacksAsTheWholeArchiveDoesWhateverThePieces)
{
    const std::string noise = NoiseBytes(9000, 1);
    const struct {
        const char* what;
        std::vector<RawEntry> entries;
    } cases[] = {
        {"one stored entry", {{"DeviceSet.DST", noise}}},
        {"stored and deflated, in a folder, empty",
         {{"a.txt", "first"}, Deflated("b.txt", noise), {"sub/c.bin", noise}, {"empty", ""}}},
        {"a later entry of the same name wins", {{"a.txt", "first"}, {"a.txt", "second"}}},
    };
    int run = 0;
    for (const auto& c : cases) {
        WriteBytes(zip, MakeRawZip(c.entries));
        const fs::path whole = Folder("whole-" + std::to_string(run));
        ASSERT_TRUE(quillon::UnpackArchive(zip.string(), whole.string()).ok) << c.what;
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{7}, std::size_t{4096}, fs::file_size(zip)}) {
            const fs::path streamed = Folder("streamed-" + std::to_string(run++));
            const quillon::ZipOutcome outcome = StreamAndUnpack(streamed, piece);
            EXPECT_TRUE(outcome.ok) << c.what << ", pieces of " << piece << ": " << outcome.error;
            // No temporary file is left over either.
            EXPECT_EQ(TreeChanges(SnapshotTree(whole), SnapshotTree(streamed)), "")
                << c.what << ", pieces of " << piece;
        }
    }
}

TEST_F(StreamedArchive, AnEntryIsUnpackedAsItCameNotReadBackFromTheArchive)
{
    const std::string content = NoiseBytes(20000, 2) + std::string(20000, 'q');
    int run = 0;
    for (const RawEntry& entry : {RawEntry("a.txt", content), Deflated("a.txt", content)}) {
        WriteBytes(zip, MakeRawZip({entry}));
        const fs::path folder = Folder("out-" + std::to_string(run++));
        // The archive on disk loses a byte of the entry once the entry has come.
        const auto damage = [&] {
            std::string archive = ReadBytes(zip);
            archive[archive.find(entry.data) + 100] ^= 0x55;
            WriteBytes(zip, archive);
        };
        const quillon::ZipOutcome outcome = StreamAndUnpack(folder, 4096, damage);
        ASSERT_TRUE(outcome.ok) << "method " << entry.method << ": " << outcome.error;
        EXPECT_EQ(ReadBytes(folder / "a.txt"), content) << "method " << entry.method;
        EXPECT_FALSE(quillon::UnpackArchive(zip.string(), Folder("again").string()).ok)
            << "read back, the damaged archive would have been refused";
    }
}

TEST_F(StreamedArchive, LocalHeadersAreTrustedOnlyWhereTheDirectoryAgrees)
{
    const std::string content = NoiseBytes(5000, 3);
    // The local header's name replaced by another of the same length: the stream writes under that
    // name, the directory plans the true one.
    const auto localName = [](std::string archive, const std::string& from, const std::string& to) {
        archive.replace(archive.find(from), from.size(), to);
        return archive;
    };
    RawEntry wrongChecksum("a.txt", content);
    wrongChecksum.crc = 1234;
    RawEntry sizeThatLies("a.txt", content);
    sizeThatLies.declaredSize = 4000;
    RawEntry inflatesPastItsSize = Deflated("a.txt", content);
    inflatesPastItsSize.declaredSize = 4000;
    RawEntry inflatesShortOfItsSize = Deflated("a.txt", content);
    inflatesShortOfItsSize.declaredSize = 6000;
    RawEntry deflatedWrongChecksum = Deflated("a.txt", content);
    deflatedWrongChecksum.crc = 1234;
    const struct {
        const char* what;
        std::string archive;
        std::string refusal;  // empty: unpacks as the directory says
        const char* expected;
    } cases[] = {
        {"another name", localName(MakeRawZip({{"a.txt", content}}), "a.txt", "x.txt"), "", "a.txt"},
        {"a name leading out", localName(MakeRawZip({{"sub/a.txt", content}}), "sub/a.txt", "../aa.txt"), "",
         "sub/a.txt"},
        {"a wrong checksum", MakeRawZip({wrongChecksum}), "checksum of entry \"a.txt\"", nullptr},
        {"a size that lies", MakeRawZip({sizeThatLies}), "than the archive records", nullptr},
        {"deflated, more than its size", MakeRawZip({inflatesPastItsSize}), "entry \"a.txt\"", nullptr},
        {"deflated, less than its size", MakeRawZip({inflatesShortOfItsSize}),
         "shorter than the archive records", nullptr},
        {"deflated, a wrong checksum", MakeRawZip({deflatedWrongChecksum}), "checksum of entry \"a.txt\"",
         nullptr},
        {"deflated, another name", localName(MakeRawZip({Deflated("a.txt", content)}), "a.txt", "x.txt"), "",
         "a.txt"},
    };
    int run = 0;
    for (const auto& c : cases) {
        WriteBytes(zip, c.archive);
        const fs::path folder = Folder("out-" + std::to_string(run++));
        const auto before = SnapshotTree(sandbox.path());
        const quillon::ZipOutcome outcome = StreamAndUnpack(folder, 4096);
        auto expected = before;
        if (c.expected)
            expected[(folder / c.expected).lexically_relative(sandbox.path()).generic_string()] =
                "file:" + content;
        EXPECT_EQ(outcome.ok, c.refusal.empty()) << c.what << ": " << outcome.error;
        EXPECT_NE(outcome.error.find(c.refusal), std::string::npos) << c.what << ": " << outcome.error;
        EXPECT_EQ(TreeChanges(expected, SnapshotTree(sandbox.path())), "") << c.what;
    }
}

}  // namespace
