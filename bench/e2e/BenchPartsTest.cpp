// The benchmark's own parts, checked where a wrong answer would go unnoticed in its table: the
// archives it moves, the line-rate bound it compares against, the medians and the verdicts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Archives.h"
#include "PlainLoop.h"
#include "QuillonRuns.h"
#include "Report.h"
#include "archive/ComPression.h"
#include "common/TempFolder.h"
#include "protocol/FrameCodec.h"

namespace quillon::bench {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

TEST(NoiseZip, IsExactlyItsSizeAndUnpacksToItsPayload)
{
    const std::uint64_t overhead = StoredZipOverhead("noise.bin");
    for (const std::uint64_t size :
         {overhead, overhead + 1, std::uint64_t{100'000}, std::uint64_t{3'000'001}}) {
        SCOPED_TRACE(size);
        TempFolder folder;
        const fs::path zip = folder.path() / "a.zip";
        ASSERT_EQ(WriteNoiseZip(zip, size, 7), "");
        EXPECT_EQ(fs::file_size(zip), size);

        // The library's own unpacking takes it, CRC check included.
        CComPression packer;
        packer.SetUnzipfilespath((folder.path() / "out").string());
        fs::create_directories(folder.path() / "out");
        ASSERT_EQ(packer.UnComPress(zip.string()), 0);
        EXPECT_EQ(fs::file_size(folder.path() / "out" / "noise.bin"), size - overhead);
    }
}

TEST(NoiseZip, SameSeedSameBytesOtherSeedOtherBytes)
{
    TempFolder folder;
    const auto a = folder.path() / "a.zip", b = folder.path() / "b.zip", c = folder.path() / "c.zip";
    ASSERT_EQ(WriteNoiseZip(a, 50'000, 1), "");
    ASSERT_EQ(WriteNoiseZip(b, 50'000, 1), "");
    ASSERT_EQ(WriteNoiseZip(c, 50'000, 2), "");
    EXPECT_TRUE(SameContent(a, b));
    EXPECT_FALSE(SameContent(a, c));
    EXPECT_NE(WriteNoiseZip(folder.path() / "small.zip", StoredZipOverhead("noise.bin") - 1, 1), "");
}

TEST(SerialLineBound, CountsEveryFrameOnTheWireAtTenBitsAByte)
{
    // The frames as the protocol sizes them; a device pads its short frames to a record frame.
    const double ack = FrameLength(TypeByte(FrameType::Ack));
    const double command = FrameLength(TypeByte(FrameType::Command));
    const double value = FrameLength(TypeByte(FrameType::Value));
    const double padded = FrameLength(TypeByte(FrameType::Record));
    const double block = kMaxFrameSize;
    const double bytesPerSecond = 115200.0 / 10;
    struct Case {
        std::uint64_t bytes;
        double blocks;
    };
    for (const Case c : {Case{1, 1}, Case{4096, 1}, Case{4097, 2}, Case{100'000, 25}}) {
        SCOPED_TRACE(c.bytes);
        EXPECT_DOUBLE_EQ(SerialLineBoundSeconds(c.bytes, true),
                         (command + padded + value + padded + c.blocks * (block + padded)) / bytesPerSecond);
        EXPECT_DOUBLE_EQ(SerialLineBoundSeconds(c.bytes, false),
                         (command + padded + c.blocks * (block + ack)) / bytesPerSecond);
    }
}

TEST(Summarize, MedianAndRangeOfWhatRanAndNothingWhenARunFailed)
{
    struct Case {
        std::vector<std::optional<double>> runs;
        std::optional<double> median, min, max;
    };
    const std::vector<Case> cases = {
        {{3.0}, 3.0, 3.0, 3.0},
        {{5.0, 1.0, 3.0}, 3.0, 1.0, 5.0},
        {{4.0, 1.0, 3.0, 2.0}, 2.5, 1.0, 4.0},
        {{1.0, std::nullopt, 3.0}, std::nullopt, std::nullopt, std::nullopt},
        {{}, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto spread = Summarize(c.runs);
        ASSERT_EQ(spread.has_value(), c.median.has_value());
        if (spread) {
            EXPECT_EQ(spread->median, *c.median);
            EXPECT_EQ(spread->min, *c.min);
            EXPECT_EQ(spread->max, *c.max);
        }
    }
}

TEST(Row, MeetsItsTargetOnlyWhenEveryConditionHolds)
{
    struct Case {
        const char* what;
        Row row;
        bool met;
    };
    const auto one = [](double seconds) { return std::optional<Spread>(Spread{seconds, seconds, seconds}); };
    // Quillon against the peer and the loop, against the simulator and TFTP.
    const auto tcp = [&](double peer, double loop, double simulator, std::optional<double> tftp) {
        Row row;
        row.link = "tcp";
        row.peer = one(peer);
        row.limit = one(loop);
        row.simulator = one(simulator);
        row.tftp = tftp ? one(*tftp) : std::nullopt;
        row.wantVsLimit = 0.8;
        row.wantAtLeastTftp = true;
        return row;
    };
    Row memoryUnder, memoryOver, serialSlow, failed;
    memoryUnder.peakMB = 110, memoryUnder.targetMB = 130;
    memoryOver.peakMB = 131, memoryOver.targetMB = 130;
    serialSlow.link = "serial", serialSlow.simulator = one(10), serialSlow.limit = one(9.4),
    serialSlow.wantVsLimit = 0.95;
    failed = tcp(1, 1, 1, 1);
    failed.peer.reset();
    const std::vector<Case> cases = {
        {"fast enough on both counts", tcp(1.0, 0.8, 2.0, 2.0), true},
        {"slower than the loop allows", tcp(1.0, 0.7, 1.0, 2.0), false},
        {"the simulator's figure does not stand for the peer's", tcp(2.0, 1.0, 1.0, 1.0), false},
        {"slower than TFTP", tcp(1.0, 0.9, 1.0, 0.9), false},
        {"no TFTP figure", tcp(1.0, 0.9, 1.0, std::nullopt), false},
        {"memory under its target", memoryUnder, true},
        {"memory over its target", memoryOver, false},
        {"serial under 0.95 of the line", serialSlow, false},
        {"a failed run", failed, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.row.Met(), c.met) << c.what;
}

TEST(MinimalPeer, TakesTheLibrarysUploadAndServesADownloadWhole)
{
    TempFolder folder;
    const fs::path zip = folder.path() / "up.zip";
    ASSERT_EQ(WriteNoiseZip(zip, 3 * kBlockData + 5, 3), "");
    QuillonRig rig(QuillonRig::Link::Tcp, QuillonRig::Device::MinimalPeer, folder.path() / "rig");
    ASSERT_EQ(rig.error(), "");
    EXPECT_TRUE(rig.Upload(zip, 1).has_value());
    const fs::path back = folder.path() / "back.zip";
    ASSERT_TRUE(rig.Download(back, 1, zip).has_value());
    EXPECT_TRUE(SameContent(back, zip));
}

TEST(PlainLoop, MovesEveryBlockOverRealSockets)
{
    for (const std::uint64_t bytes :
         {std::uint64_t{1}, std::uint64_t{kBlockData}, std::uint64_t{3 * kBlockData + 5}}) {
        const auto seconds = PlainStopAndWaitSeconds(bytes);
        ASSERT_TRUE(seconds.has_value()) << bytes;
        EXPECT_GT(*seconds, 0.0);
    }
}

}  // namespace
}  // namespace quillon::bench
