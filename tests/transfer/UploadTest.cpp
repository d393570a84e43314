#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/Platform.h"
#include "transfer/TransferFixture.h"
#include "transfer/TransferRun.h"

namespace quillon::testing {
namespace {

class Upload : public TcpTransfer {
protected:
    // Starts an upload of an archive of size bytes as kind and takes the host's upload command.
    std::future<int> Start(std::size_t size, std::uint8_t kind = 0)
    {
        archive_ = NoiseBytes(size, static_cast<std::uint32_t>(size));
        WriteBytes(path(), archive_);
        auto result =
            OnHostThread([this, kind] { return quillon().WriteSettoHard(path(), static_cast<char>(kind)); });
        ExpectCommand(1, kind, 0);
        return result;
    }
    std::string path() const { return folder_.str("upload.zip"); }

    std::string archive_;
};

TEST_F(Upload, ArchivesOfEverySizeArriveBlockByBlock)
{
    struct Case {
        std::size_t size;
        std::vector<int> rates;  // published after each block, one block each
    };
    for (const auto& c :
         std::vector<Case>{{0, {}}, {4096, {100}}, {4097, {50, 100}}, {10000, {33, 66, 100}}}) {
        SCOPED_TRACE(c.size);
        const int blocks = static_cast<int>(c.rates.size());
        ::testing::internal::CaptureStdout();
        auto result = Start(c.size, 2);
        EXPECT_EQ(Registry().PendingOp.load(), 0);
        EXPECT_FALSE(Registry().GetWritefinish());
        device().SendAck();
        const auto value = Expect(FrameType::Value);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->at(2), 2);  // the kind
        EXPECT_EQ(value->at(3), 1);
        EXPECT_EQ(value->le32(4), c.size);
        device().SendAck();
        std::string data;
        for (int i = 0; i < blocks; ++i) {
            const auto block = Expect(FrameType::Block);
            ASSERT_TRUE(block);
            EXPECT_EQ(block->at(2) | block->at(3) << 8, i);
            // The rate moves on once the block has gone, before its acknowledgement.
            EXPECT_TRUE(WaitFor([&] { return Registry().GetWriteRate() == c.rates[i]; }))
                << "block " << i << ": " << Registry().GetWriteRate();
            data.append(block->clear.begin() + 4, block->clear.begin() + 4100);
            device().SendAck();
        }
        ASSERT_EQ(result.get(), 0);
        const std::string printed = ::testing::internal::GetCapturedStdout();

        // The last block is padded with zeros to 4096 bytes.
        std::string padded = archive_;
        padded.resize(static_cast<std::size_t>(blocks) * 4096, '\0');
        EXPECT_EQ(data, padded);
        EXPECT_EQ(Registry().GetWriteRate(), blocks == 0 ? 0 : 100);
        EXPECT_TRUE(Registry().GetWritefinish());

        std::string expectedLog;
        for (int i = 0; i < blocks; ++i)
            expectedLog += "curindex--" + std::to_string(i) + "  sumsize--" + std::to_string(blocks) + "\n";
        expectedLog += "finish---------------\n";
        EXPECT_EQ(LinesStartingWith(printed, {"curindex--", "finish-"}), expectedLog);
    }
}

// The device acknowledges this many steps (command, size, blocks) of a four-block upload, then
// goes silent: the host gives up after about a second, sends nothing more, and leaves the rate
// where the last block sent put it.
TEST_F(Upload, UnacknowledgedStepsFailAfterAboutASecond)
{
    for (const auto& [acknowledged, rate] : std::vector<std::pair<int, int>>{{0, -1}, {1, -1}, {3, 50}}) {
        SCOPED_TRACE(acknowledged);
        const auto start = std::chrono::steady_clock::now();
        auto result = Start(4 * 4096);
        for (int step = 0; step < acknowledged; ++step) {
            device().SendAck();
            ASSERT_TRUE(Expect(step == 0 ? FrameType::Value : FrameType::Block));
        }
        EXPECT_EQ(result.get(), -1);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_FALSE(Registry().GetWritefinish());
        EXPECT_EQ(Registry().PendingOp.load(), 0);
        if (rate >= 0) {
            EXPECT_EQ(Registry().GetWriteRate(), rate);
        }
        EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(100))) << "nothing follows a failed wait";
    }
}

TEST_F(Upload, NewcomerWithARefusalIsNeverHeard)
{
    auto result = Start(4097);
    device().SendAck();
    ASSERT_TRUE(Expect(FrameType::Value));
    NewcomerForges([](DevicePeer& intruder) { intruder.SendAck(1); });
    for (int step = 0; step < 2; ++step) {
        device().SendAck();
        ASSERT_TRUE(Expect(FrameType::Block));
    }
    device().SendAck();
    EXPECT_EQ(result.get(), 0);
}

TEST_F(Upload, RefusalIsAnsweredWithTheAbortCommand)
{
    auto result = Start(100);
    device().SendAck(1);
    ExpectCommand(0, 0, 0);
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Registry().PendingOp.load(), -1);
}

// The archive is read as its blocks go; one that changes meanwhile never sends its last block,
// which is what would have the device keep it. One renamed over the name goes on from the file it
// replaced, which is still whole.
TEST_F(Upload, AnArchiveThatChangesWhileItGoesNeverSendsItsLastBlock)
{
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> change;
        bool completes;
    };
    const std::vector<Case> cases = {
        {"grown",
         [](const std::string& path) { std::ofstream(path, std::ios::app | std::ios::binary) << 'x'; },
         false},
        {"cut short", [](const std::string& path) { fs::resize_file(path, 4096); }, false},
        {"rewritten in place",
         [](const std::string& path) {
             fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
         },
         false},
        {"replaced by another file",
         [this](const std::string& path) {
             WriteBytes(path + ".new", NoiseBytes(100, 1));
             fs::rename(path + ".new", path);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Windows renames nothing over a file that is open for the upload.
        if (c.completes && kWindows)
            continue;
        archive_ = NoiseBytes(3 * 4096, 3);
        WriteBytes(path(), archive_);
        auto result = OnHostThread([this] { return RunUpload(quillon(), path(), 0, {}); });
        ExpectCommand(1, 0, 0);
        const std::string sent = archive_;
        device().SendAck();
        ASSERT_TRUE(Expect(FrameType::Value));
        device().SendAck();
        ASSERT_TRUE(Expect(FrameType::Block));
        c.change(path());
        device().SendAck();
        ASSERT_TRUE(Expect(FrameType::Block));
        device().SendAck();
        if (c.completes) {
            const auto last = Expect(FrameType::Block);
            ASSERT_TRUE(last);
            EXPECT_EQ(std::string(last->clear.begin() + 4, last->clear.begin() + 4100),
                      sent.substr(2 * 4096));
            device().SendAck();
            // A probe behind the last block shows that the device took it.
            ExpectCommand(0, 0, 0);
            device().SendAck();
            EXPECT_EQ(result.get().end, TransferEnd::Done);
        } else {
            EXPECT_EQ(result.get().end, TransferEnd::FileChanged);
            EXPECT_FALSE(Registry().GetWritefinish());
            EXPECT_TRUE(device().Quiet(std::chrono::milliseconds(100))) << "the last block never goes";
        }
    }
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
