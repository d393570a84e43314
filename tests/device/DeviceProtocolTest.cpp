// The simulated device against a host played by the test over loopback TCP: what it answers, what
// it keeps in its state folder, and the faults it commits, frame by frame; and the reader that cuts
// the host's stream into frames, on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "device/DeviceSimulator.h"
#include "device/HostFrameReader.h"
#include "device/ScriptedHost.h"
#include "protocol/DeviceRecord.h"
#include "support/PseudoTerminalPair.h"

namespace quillon::testing {
namespace {

using sim::DeviceSimulator;
using sim::Faults;
using sim::Operation;
using sim::SimulatorOptions;
using sim::Stats;

constexpr LinkKey kKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr LinkKey kOtherKey = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

// What a host saw of one download.
struct SeenDownload {
    int refusal = -1;                 // the acknowledgement code when the request was answered with one
    std::vector<std::int64_t> sizes;  // every size frame, in order
    std::vector<int> indices;
    std::vector<bool> checked;
    std::string data;  // the data bytes of every block that passed the checksum
};

class DeviceOverTcp : public ::testing::Test {
protected:
    SimulatorOptions Options()
    {
        SimulatorOptions options;
        options.port = host_.port();
        options.stateFolder = state();
        options.name = "DEVICE-NAME1";
        return options;
    }

    // Starts the device, takes its connection and keys it.
    void Start(SimulatorOptions options)
    {
        device_ = std::make_unique<DeviceSimulator>(std::move(options));
        ASSERT_EQ(device_->Start(), "");
        ASSERT_TRUE(host_.Accept()) << "the device never connected";
        host_.SendKeyFrame(kKey);
        ASSERT_TRUE(WaitFor([&] { return stats().sessions == 1; }));
    }
    void Start(Faults faults = {})
    {
        SimulatorOptions options = Options();
        options.faults = std::move(faults);
        Start(std::move(options));
    }

    Stats stats() const { return device_->GetStats(); }
    fs::path state() const { return folder_.path() / "state"; }

    // The host's side of an upload: the acknowledgement code of each step (-1 for none in time).
    std::vector<int> Upload(std::uint8_t kind, const std::string& archive,
                            std::size_t blocksToSend = SIZE_MAX, std::chrono::milliseconds wait = 5s)
    {
        std::vector<int> codes;
        host_.SendCommand(1, kind, 0);
        codes.push_back(host_.ReadAck(wait));
        host_.SendSize(kind, static_cast<std::int32_t>(archive.size()));
        codes.push_back(host_.ReadAck(wait));
        const std::size_t blocks = (archive.size() + kBlockDataSize - 1) / kBlockDataSize;
        for (std::size_t i = 0; i < std::min(blocks, blocksToSend); ++i) {
            const std::size_t start = i * kBlockDataSize;
            host_.SendBlock(reinterpret_cast<const std::uint8_t*>(archive.data()) + start,
                            static_cast<int>(std::min<std::size_t>(kBlockDataSize, archive.size() - start)),
                            static_cast<std::uint16_t>(i));
            codes.push_back(host_.ReadAck(wait));
        }
        return codes;
    }

    // The host's side of a download: asks, acknowledges the size once and every block.
    SeenDownload Download(std::uint8_t kind)
    {
        SeenDownload seen;
        host_.SendCommand(2, kind, 0);
        auto frame = host_.ReadFrame();
        if (!frame || !frame->checked())
            return seen;
        if (frame->type() == TypeByte(FrameType::Ack)) {
            seen.refusal = frame->at(2);
            return seen;
        }
        const std::uint32_t size = frame->le32(4);
        seen.sizes.push_back(size);
        host_.SendAck();
        const std::size_t blocks = std::max<std::size_t>(1, (size + kBlockDataSize - 1) / kBlockDataSize);
        while (seen.indices.size() < blocks) {
            frame = host_.ReadFrame();
            if (!frame)
                break;
            if (frame->type() == TypeByte(FrameType::Value)) {  // a repeated size asks for nothing
                seen.sizes.push_back(frame->le32(4));
                continue;
            }
            seen.checked.push_back(frame->checked());
            if (frame->checked()) {
                seen.indices.push_back(frame->at(2) | frame->at(3) << 8);
                seen.data.append(frame->clear.begin() + 4, frame->clear.begin() + 4 + kBlockDataSize);
            } else {
                seen.indices.push_back(-1);
            }
            host_.SendAck();
        }
        seen.data.resize(std::min<std::size_t>(seen.data.size(), size));
        return seen;
    }

    TempFolder folder_;
    ScriptedHost host_;
    std::unique_ptr<DeviceSimulator> device_;
};

TEST_F(DeviceOverTcp, KeyFramesPutTheirKeyInForceAndMarkSessions)
{
    Start();
    EXPECT_EQ(stats().key, kKey);

    // Every frame goes out under the key in force, with its bytes 4 and 5 as the key tag.
    host_.SendCommand(0, 0, 0);
    auto ack = host_.ReadFrame();
    ASSERT_TRUE(ack && ack->checked());
    EXPECT_EQ(ack->wire[6], kKey[4]);
    EXPECT_EQ(ack->wire[7], kKey[5]);
    EXPECT_EQ(ack->at(2), 0);

    // A new key ends the session and begins the next; the same key frame twice in a row is one
    // announcement (a serial host sends it so).
    host_.SendKeyFrame(kOtherKey);
    host_.SendKeyFrame(kOtherKey);
    host_.SendCommand(0, 0, 0);
    ack = host_.ReadFrame();
    ASSERT_TRUE(ack && ack->checked()) << "the answer is not under the new key";
    EXPECT_EQ(ack->wire[6], kOtherKey[4]);
    EXPECT_EQ(stats().sessions, 2);
    EXPECT_EQ(stats().sessionsEnded, 1);

    // The host going away ends the session; the device is back as soon as the host listens.
    host_.Close();
    ASSERT_TRUE(WaitFor([&] { return stats().sessionsEnded == 2; }));
    EXPECT_FALSE(stats().key.has_value());
    ASSERT_TRUE(host_.Accept()) << "the device did not connect again";
    host_.SendKeyFrame(kKey);
    ASSERT_TRUE(WaitFor([&] { return stats().sessions == 3; }));
    EXPECT_EQ(stats().connections, 2);
}

TEST_F(DeviceOverTcp, InputItCannotUseIsSkippedOrRefused)
{
    Start();
    struct Case {
        const char* name;
        std::function<void(ScriptedHost&)> send;
        int answer;  // acknowledgement code, or -1: no answer at all
    };
    const auto damaged = [](ScriptedHost& host) {
        std::uint8_t frame[10];
        AssembleFrame(frame, TypeByte(FrameType::Command), std::vector<std::uint8_t>{0, 0, 0, 0},
                      host.currentKey());
        frame[8] ^= 0x01;
        host.SendBytes(reinterpret_cast<const char*>(frame), sizeof frame);
    };
    const std::vector<Case> cases = {
        {"bytes that start no frame", [](ScriptedHost& h) { h.SendBytes("hello#*\x09zz", 10); }, -1},
        {"a frame with a wrong checksum", damaged, -1},
        {"a greeting, which hosts never send", [](ScriptedHost& h) { h.SendFrame(FrameType::Hello, {}); },
         -1},
        {"an acknowledgement with nothing pending", [](ScriptedHost& h) { h.SendAck(); }, -1},
        {"a value nothing waits for", [](ScriptedHost& h) { h.SendSize(0, 100); }, 1},
        {"a block nothing waits for", [](ScriptedHost& h) { h.SendBlock(nullptr, 0, 0); }, 1},
        {"an unknown command", [](ScriptedHost& h) { h.SendCommand(9, 9, 9); }, 1},
        {"a version write for kind 3", [](ScriptedHost& h) { h.SendCommand(1, 3, 2); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.send(host_);
        if (c.answer >= 0) {
            EXPECT_EQ(host_.ReadAck(), c.answer);
        }
        // The probe's answer comes next: nothing else was said in between.
        host_.SendCommand(0, 0, 0);
        EXPECT_EQ(host_.ReadAck(), 0);
    }
    EXPECT_EQ(stats().badFrames, 1);
    EXPECT_EQ(stats().refusals, 4);
}

TEST_F(DeviceOverTcp, UploadsAreStoredWholeAndOnlyOnceComplete)
{
    Start();
    struct Case {
        std::uint8_t kind;
        std::size_t size;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 4096}, Case{2, 10000}, Case{200, 4097}}) {
        SCOPED_TRACE(c.size);
        const std::string archive = NoiseBytes(c.size, static_cast<std::uint32_t>(c.size));
        const std::vector<int> codes = Upload(c.kind, archive);
        EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), [](int code) { return code == 0; }));
        EXPECT_EQ(ReadBytes(state() / ("kind-" + std::to_string(c.kind) + ".zip")), archive);
    }
    EXPECT_EQ(stats().uploadsStored, 4);
    EXPECT_FALSE(fs::exists(state() / "kind-2.zip.part"));

    // A newer upload of a kind replaces the older one.
    const std::string newer = NoiseBytes(300, 3);
    Upload(2, newer);
    EXPECT_EQ(ReadBytes(state() / "kind-2.zip"), newer);
}

TEST_F(DeviceOverTcp, UploadsThatGoWrongAreRefusedAndLeaveNothing)
{
    Start();
    const std::string archive = NoiseBytes(10000, 5);
    const auto block = [&](int index) {
        return [&archive, index](ScriptedHost& h) {
            h.SendBlock(reinterpret_cast<const std::uint8_t*>(archive.data()), kBlockDataSize,
                        static_cast<std::uint16_t>(index));
        };
    };
    struct Case {
        const char* name;
        std::int32_t size;
        std::vector<std::function<void(ScriptedHost&)>> blocks;  // after the command and the size
        std::vector<int> codes;                                  // of the size and of each block
    };
    const std::vector<Case> cases = {
        {"a block out of order", 10000, {block(0), block(2)}, {0, 0, 1}},
        {"a block twice", 10000, {block(0), block(0)}, {0, 0, 1}},
        {"a size below zero", -1, {}, {1}},
        {"a size beyond what a host sends", 300'000'000, {}, {1}},
        {"a probe half-way", 10000, {block(0), [](ScriptedHost& h) { h.SendCommand(0, 0, 0); }}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_.SendCommand(1, 7, 0);
        EXPECT_EQ(host_.ReadAck(), 0);
        host_.SendSize(7, c.size);
        std::vector<int> codes = {host_.ReadAck()};
        for (const auto& send : c.blocks) {
            send(host_);
            codes.push_back(host_.ReadAck());
        }
        EXPECT_EQ(codes, c.codes);
        EXPECT_TRUE(fs::is_empty(state())) << "something was left in the state folder";
    }
    EXPECT_EQ(stats().uploadsStored, 0);
}

TEST_F(DeviceOverTcp, AnUploadTheStateFolderCannotTakeIsRefusedAndLeavesNothing)
{
    Start();
    const std::string archive = NoiseBytes(3 * kBlockDataSize, 14);
    const fs::path final = state() / "kind-7.zip";
    const fs::path temporary = state() / "kind-7.zip.part";
    struct Case {
        const char* name;
        // Puts the obstacle in place; false where this system cannot have it.
        std::function<bool()> obstruct;
        std::vector<int> codes;  // of the command, the size and each block
    };
    const std::vector<Case> cases = {
        // Every block is written; the last one's acknowledgement waits for the archive to be in
        // place, which it cannot be.
        {"a folder where the archive goes", [&] { return fs::create_directories(final / "in-the-way"); },
         {0, 0, 0, 0, 1}},
        // Block 0 is acknowledged before it is written, and its write fails: block 1 is refused,
        // and block 2 finds no upload waiting.
        {"a temporary file on a full disk",
         [&] {
             std::error_code error;
             if (!fs::exists("/dev/full", error))
                 return false;
             fs::create_symlink("/dev/full", temporary, error);
             return !error;
         },
         {0, 0, 0, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.obstruct())
            continue;
        EXPECT_EQ(Upload(7, archive), c.codes);
        EXPECT_FALSE(fs::is_regular_file(final));
        EXPECT_FALSE(fs::exists(fs::symlink_status(temporary))) << "the temporary file was left behind";
        EXPECT_EQ(stats().uploadsStored, 0);
        fs::remove_all(final);
    }

    // Nothing of a failed upload sticks to the next one.
    const std::vector<int> codes = Upload(7, archive);
    EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), [](int code) { return code == 0; }));
    EXPECT_EQ(ReadBytes(final), archive);
}

TEST_F(DeviceOverTcp, DownloadsServeTheLastUploadElseTheArchiveElseNothing)
{
    const std::string fallback = NoiseBytes(5000, 9);
    WriteBytes(folder_.path() / "fallback.zip", fallback);
    WriteBytes(folder_.path() / "empty.zip", "");
    SimulatorOptions options = Options();
    options.archive = folder_.path() / "fallback.zip";
    Start(options);

    SeenDownload seen = Download(4);
    EXPECT_EQ(seen.sizes, (std::vector<std::int64_t>{5000}));
    EXPECT_EQ(seen.indices, (std::vector<int>{0, 1}));
    EXPECT_EQ(seen.data, fallback);

    const std::string uploaded = NoiseBytes(8192, 10);
    Upload(4, uploaded);
    seen = Download(4);
    EXPECT_EQ(seen.indices, (std::vector<int>{0, 1}));
    EXPECT_EQ(seen.data, uploaded);
    ASSERT_TRUE(WaitFor([&] { return stats().downloadsServed == 2; }));

    // An empty archive: the size says 0, and one block 0 with no data follows.
    device_.reset();
    options.archive = folder_.path() / "empty.zip";
    Start(options);
    seen = Download(5);
    EXPECT_EQ(seen.sizes, (std::vector<std::int64_t>{0}));
    EXPECT_EQ(seen.indices, (std::vector<int>{0}));
    ASSERT_TRUE(WaitFor([&] { return stats().downloadsServed == 1; }));

    // Nothing uploaded and no archive: refused.
    device_.reset();
    options.archive.clear();
    Start(options);
    EXPECT_EQ(Download(6).refusal, 1);
    EXPECT_EQ(stats().downloadsServed, 0);
}

TEST_F(DeviceOverTcp, DownloadFaultsShowInTheFramesSent)
{
    const std::string archive = NoiseBytes(3 * kBlockDataSize, 11);
    WriteBytes(folder_.path() / "served.zip", archive);
    struct Case {
        const char* name;
        Faults faults;
        std::vector<std::int64_t> sizes;
        std::vector<int> indices;  // -1: the block failed its checksum
    };
    const std::vector<Case> cases = {
        {"no fault", {}, {12288}, {0, 1, 2}},
        {"corrupt block 1", {.corruptBlock = 1}, {12288}, {0, -1, 2}},
        {"wrong index on block 0", {.wrongIndexBlock = 0}, {12288}, {1, 1, 2}},
        {"size repeated", {.repeatSize = true}, {12288, 12288}, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatorOptions options = Options();
        options.archive = folder_.path() / "served.zip";
        options.faults = c.faults;
        device_.reset();
        Start(options);
        const SeenDownload seen = Download(0);
        EXPECT_EQ(seen.sizes, c.sizes);
        EXPECT_EQ(seen.indices, c.indices);
    }
}

TEST_F(DeviceOverTcp, ADownloadWhoseFileShrinksStopsAtTheEndOfWhatIsThere)
{
    const std::string archive = NoiseBytes(3 * kBlockDataSize, 15);
    const fs::path served = folder_.path() / "served.zip";
    WriteBytes(served, archive);
    SimulatorOptions options = Options();
    options.archive = served;
    Start(options);

    host_.SendCommand(2, 0, 0);
    auto frame = host_.ReadFrame();
    ASSERT_TRUE(frame && frame->checked() && frame->type() == TypeByte(FrameType::Value));
    EXPECT_EQ(frame->le32(4), archive.size());
    // The blocks are read from the file as they go: one that is no longer there is not made up.
    fs::resize_file(served, kBlockDataSize);
    host_.SendAck();
    frame = host_.ReadFrame();
    ASSERT_TRUE(frame && frame->checked() && frame->type() == TypeByte(FrameType::Block));
    EXPECT_EQ(std::string(frame->clear.begin() + 4, frame->clear.begin() + 4 + kBlockDataSize),
              archive.substr(0, kBlockDataSize));
    host_.SendAck();
    // The device gives the download up: the next frame it sends answers the probe.
    host_.SendCommand(0, 0, 0);
    EXPECT_EQ(host_.ReadAck(), 0);
    EXPECT_EQ(stats().blocksSent, 1);
    EXPECT_EQ(stats().downloadsServed, 0);
}

TEST_F(DeviceOverTcp, VersionsAreKeptPerKind)
{
    Start();
    const auto write = [&](std::uint8_t kind, std::int32_t version) {
        host_.SendCommand(1, kind, 2);
        const int command = host_.ReadAck();
        const auto v = static_cast<std::uint32_t>(version);
        const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                       static_cast<std::uint8_t>(v >> 16),
                                       static_cast<std::uint8_t>(v >> 24)};
        host_.SendValue(kind, 2, bytes, 4);
        return std::pair{command, host_.ReadAck()};
    };
    const auto read = [&](std::uint8_t kind) -> std::optional<std::int32_t> {
        host_.SendCommand(2, kind, 2);
        const auto value = host_.ReadFrame();
        if (!value || !value->checked() || value->type() != TypeByte(FrameType::Value) ||
            value->at(2) != kind || value->at(3) != 2)
            return std::nullopt;
        return static_cast<std::int32_t>(value->le32(4));
    };

    EXPECT_EQ(read(1), 0) << "a kind never written";
    EXPECT_EQ(write(0, 5), std::pair(0, 0));
    EXPECT_EQ(write(2, -7), std::pair(0, 0));
    EXPECT_EQ(write(0, 6), std::pair(0, 0));
    EXPECT_EQ(read(0), 6);
    EXPECT_EQ(read(1), 0);
    EXPECT_EQ(read(2), -7);
    EXPECT_EQ(ReadBytes(state() / "versions.txt"), "kind 0: 6\nkind 2: -7\n");

    // They outlive the device: a new one on the same folder knows them.
    device_.reset();
    Start();
    EXPECT_EQ(read(2), -7);
}

TEST_F(DeviceOverTcp, TheRecordIsKeptAsTextAndItsNameReadBack)
{
    Start();
    const auto readName = [&]() -> std::string {
        host_.SendFrame(FrameType::RecordRequest, {command::kRecordRead, 0xA0, 0xAA, 0xAA});
        const auto reply = host_.ReadFrame();
        if (!reply || !reply->checked() || reply->type() != TypeByte(FrameType::Record))
            return "no record";
        return std::string(reply->clear.begin() + 4, reply->clear.begin() + 16);
    };
    const auto writeRecord = [&](const std::string& name, std::chrono::sys_seconds when) {
        const DeviceRecord record = MakeDeviceRecord(name.data(), when);
        std::vector<std::uint8_t> body = {command::kRecordWrite};
        body.insert(body.end(), record.begin(), record.end());
        host_.SendFrame(FrameType::Record, body);
    };
    using namespace std::chrono;

    EXPECT_EQ(readName(), "DEVICE-NAME1") << "before any record, the name the device was given";

    writeRecord("WRITTEN-NAME", sys_days{2024y / March / 5} + 14h + 7min + 9s);
    EXPECT_EQ(readName(), "WRITTEN-NAME");
    EXPECT_EQ(ReadBytes(state() / "device-record.txt"),
              "name: WRITTEN-NAME\nwritten: 2024-03-05 14:07:09 UTC\n");

    // Bytes that are not text are kept, escaped in the file, and read back unchanged.
    const std::string raw("A\\B\0CDEFGHI\xFF", 12);
    writeRecord(raw, sys_days{2030y / January / 1});
    EXPECT_EQ(readName(), raw);
    EXPECT_EQ(ReadBytes(state() / "device-record.txt"),
              "name: A\\\\B\\x00CDEFGHI\\xFF\nwritten: 2030-01-01 00:00:00 UTC\n");
    EXPECT_EQ(stats().recordsWritten, 2);
    EXPECT_EQ(stats().recordsRead, 3);
}

TEST_F(DeviceOverTcp, RefusedOperationsAreAnsweredWithCodeOne)
{
    struct Case {
        Operation operation;
        std::uint8_t a, c;  // of the command (a, kind, c)
    };
    for (const Case& op : {Case{Operation::Upload, 1, 0}, Case{Operation::Download, 2, 0},
                           Case{Operation::VersionRead, 2, 2}, Case{Operation::VersionWrite, 1, 2}}) {
        SCOPED_TRACE(sim::OperationName(op.operation));
        device_.reset();
        Faults faults;
        faults.Refuse(op.operation);
        Start(faults);
        host_.SendCommand(op.a, 0, op.c);
        EXPECT_EQ(host_.ReadAck(), 1);
        // The others go on as ever.
        host_.SendCommand(1, 0, op.a == 1 && op.c == 2 ? 0 : 2);
        EXPECT_EQ(host_.ReadAck(), 0);
        EXPECT_EQ(stats().refusals, 1);
    }
}

TEST_F(DeviceOverTcp, SilentDeviceHearsEverythingAndSaysNothing)
{
    Start({.silent = true});
    host_.SendCommand(0, 0, 0);
    host_.SendCommand(1, 0, 0);
    host_.SendFrame(FrameType::RecordRequest, {command::kRecordRead, 0xA0, 0xAA, 0xAA});
    // The device takes one frame after the other: once it has the last, it has answered the others.
    ASSERT_TRUE(WaitFor([&] { return stats().framesReceived[TypeByte(FrameType::RecordRequest)] == 1; }));
    EXPECT_EQ(stats().framesReceived[TypeByte(FrameType::Command)], 2);
    EXPECT_EQ(stats().framesSent, 0);
    EXPECT_FALSE(host_.ReadFrame(100ms));
}

TEST_F(DeviceOverTcp, UploadGetsAsFarAsTheBlocksAllowed)
{
    const std::string archive = NoiseBytes(5 * kBlockDataSize, 12);
    struct Case {
        int stopAfter;
        std::vector<int> codes;  // command, size, then each block; -1: no acknowledgement
    };
    for (const Case& c : {Case{0, {0, -1}}, Case{1, {0, 0, -1}}, Case{3, {0, 0, 0, 0, -1}}}) {
        SCOPED_TRACE(c.stopAfter);
        device_.reset();
        Start({.stopAcksAfter = c.stopAfter});
        // The host sends a block only after the acknowledgement of the frame before. An answer that
        // is due gets all the time it needs; one that must not come, a moment to show itself.
        std::vector<int> codes;
        const auto readAck = [&] {
            const bool due = codes.size() < c.codes.size() && c.codes[codes.size()] == 0;
            codes.push_back(host_.ReadAck(due ? 5s : 300ms));
        };
        host_.SendCommand(1, 0, 0);
        readAck();
        host_.SendSize(0, static_cast<std::int32_t>(archive.size()));
        readAck();
        for (std::uint16_t i = 0; codes.back() == 0 && i < 5; ++i) {
            host_.SendBlock(reinterpret_cast<const std::uint8_t*>(archive.data()) + i * kBlockDataSize,
                            kBlockDataSize, i);
            readAck();
        }
        EXPECT_EQ(codes, c.codes);
        EXPECT_EQ(stats().blocksReceived, c.stopAfter);
        EXPECT_FALSE(fs::exists(state() / "kind-0.zip"));
    }
}

TEST_F(DeviceOverTcp, LinkDropsOnceTheBlocksHaveCrossedAndTheDeviceComesBack)
{
    const std::string archive = NoiseBytes(3 * kBlockDataSize, 13);
    WriteBytes(folder_.path() / "served.zip", archive);
    SimulatorOptions options = Options();
    options.archive = folder_.path() / "served.zip";
    options.faults.disconnectAfter = 2;
    Start(options);

    EXPECT_EQ(Upload(3, archive), (std::vector<int>{0, 0, 0, -1, -1}));
    EXPECT_TRUE(host_.ClosedByDevice());
    EXPECT_EQ(stats().blocksReceived, 2);
    EXPECT_FALSE(fs::exists(state() / "kind-3.zip"));
    EXPECT_FALSE(fs::exists(state() / "kind-3.zip.part"));

    ASSERT_TRUE(host_.Accept()) << "the device did not connect again";
    host_.SendKeyFrame(kKey);
    ASSERT_TRUE(WaitFor([&] { return stats().sessions == 2; }));
    const SeenDownload seen = Download(3);
    EXPECT_EQ(seen.indices, (std::vector<int>{0, 1}));
    EXPECT_TRUE(host_.ClosedByDevice());
    EXPECT_EQ(stats().downloadsServed, 0);
}

TEST_F(DeviceOverTcp, DelayHoldsBackEveryFrame)
{
    constexpr auto kDelay = 150ms;
    Start({.delay = kDelay});
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        host_.SendCommand(0, 0, 0);
        EXPECT_EQ(host_.ReadAck(), 0);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * kDelay);
}

TEST_F(DeviceOverTcp, TheSessionsAskedForEndServing)
{
    SimulatorOptions options = Options();
    options.sessions = 2;
    Start(options);
    host_.SendKeyFrame(kOtherKey);  // the first session ends, the second begins
    ASSERT_TRUE(WaitFor([&] { return stats().sessions == 2; }));
    EXPECT_FALSE(device_->Finished());
    host_.Close();
    EXPECT_TRUE(device_->WaitFinished(10s));
    EXPECT_EQ(stats().sessionsEnded, 2);
    EXPECT_FALSE(host_.Accept(300ms)) << "a finished device connected again";
}

TEST(DeviceSimulator, StopsPromptlyWhateverItIsDoing)
{
    TempFolder folder;
    // Nobody listens on this port: the device keeps trying.
    int port = 0;
    {
        ScriptedHost gone;
        port = gone.port();
    }
    struct Case {
        const char* name;
        sim::Transport transport;
    };
    for (const Case& c :
         {Case{"waiting for a host", sim::Transport::Tcp}, Case{"greeting on a pty", sim::Transport::Pty}}) {
        SCOPED_TRACE(c.name);
        if (c.transport == sim::Transport::Pty && !PseudoTerminalPair::Supported())
            continue;
        SimulatorOptions options;
        options.transport = c.transport;
        options.port = port;
        options.stateFolder = folder.path();
        DeviceSimulator device(options);
        ASSERT_EQ(device.Start(), "");
        EXPECT_FALSE(device.WaitFinished(50ms));
        const auto start = std::chrono::steady_clock::now();
        device.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_TRUE(device.Finished());
        device.Stop();  // again: nothing happens
    }
}

TEST(DeviceSimulator, OptionsItCannotServeAreRefusedWithAReason)
{
    TempFolder folder;
    WriteBytes(folder.path() / "file", "not a folder");
    struct Case {
        const char* name;
        std::function<void(SimulatorOptions&)> change;
        const char* mentions;
    };
    const std::vector<Case> cases = {
        {"a short name", [](SimulatorOptions& o) { o.name = "SHORT"; }, "12 characters"},
        {"a port out of range", [](SimulatorOptions& o) { o.port = 70000; }, "70000"},
        {"no host", [](SimulatorOptions& o) { o.host.clear(); }, "host"},
        {"a missing archive", [&](SimulatorOptions& o) { o.archive = folder.path() / "none.zip"; },
         "none.zip"},
        {"a state folder inside a file",
         [&](SimulatorOptions& o) { o.stateFolder = folder.path() / "file" / "s"; }, "state folder"},
        {"a serial port that is not there",
         [&](SimulatorOptions& o) {
             o.transport = sim::Transport::SerialPort;
             o.serialPath = (folder.path() / "no-such-port").string();
         },
         "no-such-port"},
        {"a negative block count", [](SimulatorOptions& o) { o.faults.corruptBlock = -1; },
         "--corrupt-block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatorOptions options;
        options.stateFolder = folder.path() / "state";
        c.change(options);
        DeviceSimulator device(options);
        const std::string error = device.Start();
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        EXPECT_TRUE(device.Finished());
    }
}

// The frame reader on its own, fed the way the simulator feeds it: a read fills the room it asks
// for, or part of it.

// A host's stream: frames, and between them bytes that belong to none.
struct HostStream {
    sim::Bytes bytes;
    std::vector<sim::HostFrameReader::Frame> frames;  // with their end offsets
    std::uint64_t stray = 0;

    void Frame(FrameType type, const sim::Bytes& body)
    {
        sim::Bytes frame(kMaxFrameSize);
        frame.resize(static_cast<std::size_t>(AssembleFrame(frame, TypeByte(type), body, kKey)));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        frames.push_back({frame, bytes.size()});
    }
    void Stray(std::string_view text)
    {
        bytes.insert(bytes.end(), text.begin(), text.end());
        stray += text.size();
    }
};

// Feeds the stream in pieces of at most `piece` bytes into rooms of `room` bytes.
std::vector<sim::HostFrameReader::Frame> Feed(sim::HostFrameReader& reader, const sim::Bytes& stream,
                                              std::size_t piece, std::size_t room)
{
    std::vector<sim::HostFrameReader::Frame> frames;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t count = std::min(piece, stream.size() - at);
        const std::span<std::uint8_t> into = reader.Room(room);
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), count, into.begin());
        reader.Filled(count);
        while (auto frame = reader.Next())
            frames.push_back(std::move(*frame));
    }
    return frames;
}

TEST(HostFrameReader, TheSameFramesComeOutHoweverTheStreamIsCut)
{
    HostStream stream;
    const std::string noise = NoiseBytes(kBlockDataSize, 16);
    sim::Bytes blockBody = {3, 0};
    blockBody.insert(blockBody.end(), noise.begin(), noise.end());
    stream.Stray("line noise#");
    stream.Frame(FrameType::Command, {0, 0, 0, 0});
    stream.Stray("*\x09 a type byte no frame has");
    stream.Frame(FrameType::Block, blockBody);
    stream.Stray("*\x04" "ABCDEFGH");  // a command's length, and no '#' where it would end
    stream.Frame(FrameType::Value, {1, 1, 0x10, 0x27, 0, 0});
    stream.Frame(FrameType::Block, blockBody);
    stream.Frame(FrameType::Ack, {0, 0, 0, 0});

    struct Case {
        std::size_t piece;
        std::size_t room;
    };
    const std::size_t whole = stream.bytes.size();
    for (const Case c : {Case{1, 1}, Case{1, 16384}, Case{7, 7}, Case{4103, 4103}, Case{4105, 8192},
                         Case{5000, 5000}, Case{16384, 16384}, Case{whole, whole}}) {
        SCOPED_TRACE(::testing::Message() << "pieces of " << c.piece << " in rooms of " << c.room);
        sim::HostFrameReader reader;
        const auto frames = Feed(reader, stream.bytes, c.piece, c.room);
        ASSERT_EQ(frames.size(), stream.frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].bytes, stream.frames[i].bytes) << "frame " << i;
            EXPECT_EQ(frames[i].end, stream.frames[i].end) << "frame " << i;
        }
        EXPECT_EQ(reader.dropped(), stream.stray);
    }
}

TEST(HostFrameReader, ClearedBytesCountInTheOffsetsButNotAsDropped)
{
    HostStream first;
    first.Frame(FrameType::Block, sim::Bytes(2 + kBlockDataSize, 0x55));
    HostStream second;
    second.Frame(FrameType::Command, {0, 0, 0, 0});

    sim::HostFrameReader reader;
    const sim::Bytes half(first.bytes.begin(), first.bytes.begin() + kBlockDataSize / 2);
    EXPECT_TRUE(Feed(reader, half, half.size(), half.size()).empty());
    reader.Clear();  // the host went away with half a block sent
    const auto frames = Feed(reader, second.bytes, second.bytes.size(), 16384);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, second.frames[0].bytes);
    EXPECT_EQ(frames[0].end, half.size() + second.bytes.size());
    EXPECT_EQ(reader.dropped(), 0u);
}

}  // namespace
}  // namespace quillon::testing
