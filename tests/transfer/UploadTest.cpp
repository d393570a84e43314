#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "transfer/TransferFixture.h"

#include <fstream>

namespace quillon::testing {
namespace {

using Upload = TcpTransfer;

// What the device saw of one upload it acknowledged in full.
struct SeenUpload {
    std::uint8_t kind = 0;
    std::int32_t size = -1;
    Bytes data;
    std::vector<int> indices;
};

TEST_F(Upload, ArchivesOfEverySizeArriveBlockByBlock)
{
    struct Case {
        std::size_t size;
        int blocks;
        std::vector<int> rates;  // published after each block
    };
    const std::vector<Case> cases = {
        {0, 0, {}},
        {4096, 1, {100}},
        {4097, 2, {50, 100}},
        {10000, 3, {33, 66, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string archive = NoiseBytes(c.size, static_cast<std::uint32_t>(c.size));
        const std::string path = folder_.str("upload.zip");
        WriteBytes(path, archive);

        ::testing::internal::CaptureStdout();
        auto result = OnHostThread([&] { return quillon().WriteSettoHard(path, 2); });

        SeenUpload seen;
        ExpectCommand(1, 2, 0);
        EXPECT_EQ(Registry().PendingOp.load(), 0);
        EXPECT_FALSE(Registry().GetWritefinish());
        device().SendAck();
        const auto value = device().ReadFrame();
        ASSERT_TRUE(value && value->checked());
        ASSERT_EQ(value->type(), TypeByte(FrameType::Value));
        seen.kind = value->at(2);
        EXPECT_EQ(value->at(3), 1);
        seen.size = static_cast<std::int32_t>(Le32(*value, 4));
        device().SendAck();
        for (int i = 0; i < c.blocks; ++i) {
            const auto block = device().ReadFrame();
            ASSERT_TRUE(block && block->checked());
            ASSERT_EQ(block->type(), TypeByte(FrameType::Block));
            seen.indices.push_back(block->at(2) | block->at(3) << 8);
            // The rate moves on once the block has gone, before its acknowledgement.
            EXPECT_TRUE(WaitFor([&] { return Registry().GetWriteRate() == c.rates[i]; }))
                << "block " << i << ": " << Registry().GetWriteRate();
            seen.data.insert(seen.data.end(), block->clear.begin() + 4, block->clear.begin() + 4100);
            device().SendAck();
        }
        ASSERT_EQ(result.get(), 0);
        const std::string printed = ::testing::internal::GetCapturedStdout();

        EXPECT_EQ(seen.kind, 2);
        EXPECT_EQ(seen.size, static_cast<std::int32_t>(c.size));
        std::vector<int> expectedIndices(c.blocks);
        for (int i = 0; i < c.blocks; ++i)
            expectedIndices[i] = i;
        EXPECT_EQ(seen.indices, expectedIndices);
        // The last block is padded with zeros to 4096 bytes.
        ASSERT_EQ(seen.data.size(), static_cast<std::size_t>(c.blocks) * 4096);
        EXPECT_EQ(std::string(seen.data.begin(), seen.data.begin() + c.size), archive);
        EXPECT_TRUE(std::all_of(seen.data.begin() + c.size, seen.data.end(), [](auto b) { return b == 0; }));

        EXPECT_EQ(Registry().GetWriteRate(), c.rates.empty() ? 0 : 100);
        EXPECT_TRUE(Registry().GetWritefinish());

        std::string expectedLog;
        for (int i = 0; i < c.blocks; ++i)
            expectedLog += "curindex--" + std::to_string(i) + "  sumsize--" + std::to_string(c.blocks) + "\n";
        expectedLog += "finish---------------\n";
        EXPECT_EQ(LinesStartingWith(printed, {"curindex--", "finish-"}), expectedLog);
    }
}

TEST_F(Upload, UnacknowledgedStepsFailAfterAboutASecond)
{
    const std::string path = folder_.str("upload.zip");
    WriteBytes(path, NoiseBytes(5000, 1));

    for (bool ackCommand : {false, true}) {
        SCOPED_TRACE(ackCommand ? "size not acknowledged" : "command not acknowledged");
        const auto start = std::chrono::steady_clock::now();
        auto result = OnHostThread([&] { return quillon().WriteSettoHard(path, 0); });
        ExpectCommand(1, 0, 0);
        if (ackCommand) {
            device().SendAck();
            const auto value = device().ReadFrame();
            ASSERT_TRUE(value && value->type() == TypeByte(FrameType::Value));
        }
        EXPECT_EQ(result.get(), -1);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_FALSE(Registry().GetWritefinish());
        EXPECT_EQ(Registry().PendingOp.load(), 0);
        EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(100))) << "nothing follows a failed wait";
    }
}

TEST_F(Upload, CloseRequestEndsTheWaitAtOnce)
{
    const std::string path = folder_.str("upload.zip");
    WriteBytes(path, NoiseBytes(9000, 2));
    auto result = OnHostThread([&] { return quillon().WriteSettoHard(path, 0); });
    ExpectCommand(1, 0, 0);
    device().SendAck();
    ASSERT_TRUE(device().ReadFrame());  // the size, left unacknowledged
    const auto closed = std::chrono::steady_clock::now();
    Registry().SetCloseExe(true);
    EXPECT_EQ(result.get(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::milliseconds(500));
}

TEST_F(Upload, DeviceThatStopsAcknowledgingLeavesTheRateAtTheLastBlock)
{
    const std::string path = folder_.str("upload.zip");
    WriteBytes(path, NoiseBytes(4 * 4096, 3));
    auto result = OnHostThread([&] { return quillon().WriteSettoHard(path, 0); });
    ExpectCommand(1, 0, 0);
    device().SendAck();
    ASSERT_TRUE(device().ReadFrame());
    device().SendAck();
    ASSERT_TRUE(device().ReadFrame());  // block 0
    device().SendAck();
    ASSERT_TRUE(device().ReadFrame());  // block 1, never acknowledged
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Registry().GetWriteRate(), 50);
    EXPECT_FALSE(Registry().GetWritefinish());
}

TEST_F(Upload, RefusalIsAnsweredWithTheAbortCommand)
{
    const std::string path = folder_.str("upload.zip");
    WriteBytes(path, NoiseBytes(100, 4));
    auto result = OnHostThread([&] { return quillon().WriteSettoHard(path, 0); });
    ExpectCommand(1, 0, 0);
    device().SendAck(1);
    ExpectCommand(0, 0, 0);
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Registry().PendingOp.load(), -1);
}

TEST_F(Upload, ArchivesThatCannotGoAreRefusedBeforeTheDeviceHearsOfThem)
{
    const std::string tooBig = folder_.str("big.zip");
    {
        std::ofstream out(tooBig, std::ios::binary);
        out.seekp(200'000'001 - 1);  // sparse: takes no room on disk
        out.put('\0');
    }
    for (const std::string& path : {folder_.str("missing.zip"), folder_.str(""), tooBig}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(quillon().WriteSettoHard(path, 0), -1);
    }
    // The first frame the device sees is the probe that follows, not an upload.
    auto probe = OnHostThread([&] { return quillon().JudgeIsAvailable(); });
    ExpectCommand(0, 0, 0);
    device().SendAck();
    EXPECT_TRUE(probe.get());
}

}  // namespace
}  // namespace quillon::testing
