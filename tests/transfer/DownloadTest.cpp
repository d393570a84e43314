#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "common/RawZip.h"
#include "transfer/TransferFixture.h"

namespace quillon::testing {
namespace {

class Download : public TcpTransfer {
protected:
    void SetUp() override
    {
        TcpTransfer::SetUp();
        fs::create_directory(unpacked());
        quillon().SetUnzipfloderpath(unpacked().string());
    }

    fs::path unpacked() const { return folder_.path() / "unpacked"; }
    std::string zipPath() const { return folder_.str("device.zip"); }

    // Starts a download of kind 3, answers the request with the archive's size and takes the
    // request for the first block.
    void Start(std::size_t size)
    {
        quillon().ReadSetFromHard(zipPath(), 3);
        ExpectCommand(2, 3, 0);
        EXPECT_EQ(Registry().PendingOp.load(), 10);
        device().SendValue(3, 1, static_cast<std::uint32_t>(size));
        ExpectAck();
    }

    // Sends blocks first .. last - 1 of the archive, each acknowledged.
    void SendBlocks(const std::string& archive, int first, int last)
    {
        for (int i = first; i < last; ++i) {
            SendBlock(i, archive);
            ExpectAck();
        }
    }

    void SendBlock(int index, const std::string& archive)
    {
        const std::size_t start = static_cast<std::size_t>(index) * kBlockDataSize;
        const std::size_t count =
            start < archive.size() ? std::min<std::size_t>(kBlockDataSize, archive.size() - start) : 0;
        device().SendBlock(static_cast<std::uint16_t>(index),
                           reinterpret_cast<const std::uint8_t*>(archive.data()) + start, count);
    }

    bool NothingWritten() const
    {
        return !fs::exists(zipPath()) && !fs::exists(zipPath() + ".part") && fs::is_empty(unpacked());
    }
};

// A valid archive of exactly size bytes: one stored entry "a.txt" whose data fills the rest.
std::string ArchiveOfSize(std::size_t size, std::string& content)
{
    constexpr std::size_t kOverhead = 30 + 46 + 22 + 2 * 5;  // headers and the name, twice
    content = NoiseBytes(size - kOverhead, static_cast<std::uint32_t>(size));
    std::string archive = MakeRawZip({RawEntry("a.txt", content)});
    EXPECT_EQ(archive.size(), size);
    return archive;
}

TEST_F(Download, ArchivesOfEverySizeEndUnpacked)
{
    struct Case {
        std::size_t size;
        int blocks;
    };
    const fs::path victim = folder_.path() / "victim.txt";
    WriteBytes(victim, "victim");
    for (const auto& c : std::vector<Case>{{0, 0}, {4096, 1}, {4097, 2}, {3 * 4096 + 5, 4}}) {
        SCOPED_TRACE(c.size);
        std::string content;
        const std::string archive = c.size == 0 ? std::string() : ArchiveOfSize(c.size, content);
        fs::remove_all(unpacked());
        fs::create_directory(unpacked());
        // Planted where the blocks are gathered: replaced, never written through.
        std::error_code noLinks;
        fs::create_symlink(victim, zipPath() + ".part", noLinks);

        ::testing::internal::CaptureStdout();
        Start(c.size);
        for (int i = 0; i < std::max(c.blocks, 1); ++i) {
            EXPECT_FALSE(Registry().GetReadfinish());
            SendBlock(i, archive);
            ExpectAck();
        }
        // The rate is whole by the time the finish flag shows.
        ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
        EXPECT_EQ(Registry().GetReadRate(), 100);
        const std::string printed = ::testing::internal::GetCapturedStdout();

        EXPECT_EQ(Registry().PendingOp.load(), 10);
        EXPECT_EQ(ReadBytes(zipPath()), archive);
        EXPECT_FALSE(fs::exists(zipPath() + ".part"));
        EXPECT_EQ(ReadBytes(victim), "victim");
        if (c.size == 0)
            EXPECT_TRUE(fs::is_empty(unpacked()));
        else
            EXPECT_EQ(ReadBytes(unpacked() / "a.txt"), content);

        std::string expectedLog;
        for (int i = 0; i < std::max(c.blocks, 1); ++i)
            expectedLog +=
                "CurrentIndex--" + std::to_string(i) + "  SumIndex--" + std::to_string(c.blocks) + "\n";
        EXPECT_EQ(LinesStartingWith(printed, {"CurrentIndex--"}), expectedLog);
    }
}

// What a device can do wrong in a download: the host calls it off with the abort command and
// keeps nothing, not even block 0, which has started the archive by then. The link stays usable:
// each case starts a new download on it.
TEST_F(Download, RefusalOrABadBlockAbortsWithNothingWritten)
{
    std::string content;
    const std::string archive = ArchiveOfSize(3 * 4096, content);
    const auto damagedBlock1 = [&] {
        Bytes body = {1, 0};
        body.insert(body.end(), archive.begin() + 4096, archive.begin() + 2 * 4096);
        Bytes frame(kMaxFrameSize);
        frame.resize(AssembleFrame(frame, TypeByte(FrameType::Block), body, device().key()));
        frame[2000] ^= 0x40;  // a bit flipped on the way
        device().SendRaw(frame);
    };
    const std::vector<std::tuple<const char*, int, std::function<void()>>> cases = {
        {"refused request", 0, [&] { device().SendAck(1); }},
        {"block 2 where 1 is due", 1, [&] { SendBlock(2, archive); }},
        {"damaged block", 1, damagedBlock1},
    };
    for (const auto& [name, taken, fault] : cases) {
        SCOPED_TRACE(name);
        if (taken == 0) {
            quillon().ReadSetFromHard(zipPath(), 3);
            ExpectCommand(2, 3, 0);
        } else {
            Start(archive.size());
            SendBlocks(archive, 0, taken);
        }
        fault();
        ExpectCommand(0, 0, 0);
        EXPECT_TRUE(
            WaitFor([] { return Registry().PendingOp.load() == -1; }));  // stored after the abort is sent
        EXPECT_FALSE(Registry().GetReadfinish());
        EXPECT_EQ(Registry().GetReadRate(), 33 * taken);
        EXPECT_TRUE(NothingWritten());
    }
}

TEST_F(Download, RepeatedSizeChangesTheSizeButAsksForNothing)
{
    std::string content;
    const std::string archive = ArchiveOfSize(4000, content);
    Start(3 * 4096);
    device().SendValue(3, 1, static_cast<std::uint32_t>(archive.size()));  // the device thought again
    EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(200))) << "a repeated size restarts nothing";
    SendBlocks(archive, 0, 1);  // now the last block
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
    EXPECT_EQ(Registry().GetReadRate(), 100);
    EXPECT_EQ(ReadBytes(unpacked() / "a.txt"), content);
}

TEST_F(Download, NewcomerWithANewSizeIsNeverHeard)
{
    std::string content;
    const std::string archive = ArchiveOfSize(2 * 4096, content);
    Start(archive.size());
    SendBlocks(archive, 0, 1);
    NewcomerForges([](DevicePeer& intruder) { intruder.SendValue(3, 1, 5); });
    SendBlocks(archive, 1, 2);
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
    EXPECT_EQ(ReadBytes(unpacked() / "a.txt"), content);
}

TEST_F(Download, DeviceThatGoesAwayHalfWayLeavesNoArchive)
{
    std::string content;
    const std::string archive = ArchiveOfSize(3 * 4096, content);
    Start(archive.size());
    SendBlocks(archive, 0, 1);
    device().Close();
    EXPECT_FALSE(Registry().GetReadfinish());
    EXPECT_FALSE(fs::exists(zipPath())) << "an archive that stopped half-way must not look complete";
    // The entry being written as it came waits under a temporary name, as the archive does.
    for (const auto& file : fs::directory_iterator(unpacked()))
        EXPECT_TRUE(file.path().filename().string().starts_with(".quillon-")) << file.path();
    // Giving up removes both.
    quillon().CancelTransfer();
    EXPECT_TRUE(NothingWritten());
}

TEST_F(Download, ArchiveThatDoesNotUnpackLeavesTheFolderAsItWas)
{
    fs::create_directory(unpacked() / "keep");
    WriteBytes(unpacked() / "keep" / "old.txt", "old");
    const auto before = SnapshotTree(unpacked());
    const std::string garbage = NoiseBytes(5000, 9);

    ::testing::internal::CaptureStdout();
    Start(garbage.size());
    SendBlocks(garbage, 0, 2);
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
    const std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(Registry().PendingOp.load(), -1) << "the download is over, and failed";
    EXPECT_EQ(ReadBytes(zipPath()), garbage) << "the archive is kept as the device sent it";
    EXPECT_EQ(TreeChanges(before, SnapshotTree(unpacked())), "");
    EXPECT_NE(printed.find("download not unpacked"), std::string::npos);
}

TEST_F(Download, BlocksOutsideADownloadAreIgnored)
{
    const std::string stray = NoiseBytes(4096, 10);
    SendBlock(0, stray);
    EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(200)));
    EXPECT_EQ(Registry().PendingOp.load(), -1);

    // Nor before the device has said how big the archive is.
    quillon().ReadSetFromHard(zipPath(), 3);
    ExpectCommand(2, 3, 0);
    SendBlock(0, stray);
    EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(200)));
    EXPECT_TRUE(NothingWritten());
}

TEST_F(Download, NewRequestStartsOverInTheNewArchive)
{
    std::string content;
    const std::string archive = ArchiveOfSize(2 * 4096, content);
    Start(archive.size());
    SendBlocks(archive, 0, 1);

    const std::string second = folder_.str("second.zip");
    quillon().ReadSetFromHard(second, 4);
    ExpectCommand(2, 4, 0);
    EXPECT_FALSE(Registry().GetReadfinish());
    device().SendValue(4, 1, static_cast<std::uint32_t>(archive.size()));
    ExpectAck();
    SendBlocks(archive, 0, 2);  // the index starts at 0 again
    ASSERT_TRUE(WaitFor([] { return Registry().GetReadfinish(); }));
    EXPECT_EQ(Registry().GetReadRate(), 100);
    EXPECT_EQ(ReadBytes(second), archive);
    EXPECT_FALSE(fs::exists(zipPath())) << "the first download never finished";
    EXPECT_FALSE(fs::exists(zipPath() + ".part"));
}

}  // namespace
}  // namespace quillon::testing
