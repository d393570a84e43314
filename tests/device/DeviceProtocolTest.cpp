// The simulated device against a host played by the test over loopback TCP: what it answers, what
// it keeps in its state folder, and the faults it commits, frame by frame; and the reader that cuts
// the host's stream into frames, on its own. A dropped link, a slow, silent or refusing device and
// the sessions that end it are seen through a host's eyes, in the fault and the command-line tools'
// suites.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>

#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "device/DeviceSimulator.h"
#include "device/HostFrameReader.h"
#include "device/ScriptedHost.h"
#include "protocol/DeviceRecord.h"
#include "support/tooling/PseudoTerminalPair.h"

namespace quillon::testing {
namespace {

using sim::DeviceSimulator;
using sim::Faults;
using sim::SimulatorOptions;
using sim::Stats;
using Codes = std::vector<int>;  // acknowledgement codes, -1 for one that never came

constexpr LinkKey kKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
constexpr LinkKey kOtherKey = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

const std::uint8_t* Data(const std::string& bytes)
{
    return reinterpret_cast<const std::uint8_t*>(bytes.data());
}

// What a host saw of one download.
struct SeenDownload {
    int refusal = -1;                 // the acknowledgement code when the request was answered with one
    std::vector<std::int64_t> sizes;  // every size frame, in order
    std::vector<int> indices;         // every block's, -1 for one that failed its checksum
    std::string data;                 // of the blocks that passed it
};

class DeviceOverTcp : public ::testing::Test {
protected:
    // Starts a device (the one before goes away), takes its connection and keys it.
    void Start(Faults faults = {}, fs::path archive = {}, int sessions = 0)
    {
        SimulatorOptions options;
        options.port = host_.port();
        options.stateFolder = state();
        options.name = "DEVICE-NAME1";
        options.faults = std::move(faults);
        options.archive = std::move(archive);
        options.sessions = sessions;
        device_ = std::make_unique<DeviceSimulator>(std::move(options));
        ASSERT_EQ(device_->Start(), "");
        ASSERT_TRUE(host_.Accept()) << "the device never connected";
        host_.SendKeyFrame(kKey);
        ASSERT_TRUE(WaitFor([&] { return stats().sessions == 1; }));
    }

    Stats stats() const { return device_->GetStats(); }
    fs::path state() const { return folder_.path() / "state"; }
    // An archive for the device to serve.
    fs::path Served(const std::string& bytes)
    {
        WriteBytes(folder_.path() / "served.zip", bytes);
        return folder_.path() / "served.zip";
    }

    // The host's side of an upload: the command, a size, then the blocks in the order given (-1: a
    // probe instead), and each step's acknowledgement code in turn. It takes as many steps as codes
    // are expected, and an acknowledgement that must not come gets a moment to show itself rather
    // than all the time that a due one gets.
    Codes Upload(std::uint8_t kind, const std::string& archive, const Codes& expected, std::int32_t size,
                 const std::vector<int>& blocks)
    {
        Codes codes;
        for (std::size_t step = 0; step < expected.size(); ++step) {
            const int block = step < 2 || step - 2 >= blocks.size() ? -1 : blocks[step - 2];
            const std::size_t at = static_cast<std::size_t>(std::max(block, 0)) * kBlockDataSize;
            if (step == 0)
                host_.SendCommand(command::kWrite, kind, command::kSettings);
            else if (step == 1)
                host_.SendSize(kind, size);
            else if (block < 0)
                host_.SendCommand(0, 0, 0);
            else
                host_.SendBlock(Data(archive) + at,
                                static_cast<int>(std::min<std::size_t>(kBlockDataSize, archive.size() - at)),
                                static_cast<std::uint16_t>(block));
            codes.push_back(host_.ReadAck(expected[step] >= 0 ? 5s : 300ms));
        }
        return codes;
    }
    // A whole upload of archive, every step acknowledged.
    Codes Upload(std::uint8_t kind, const std::string& archive)
    {
        std::vector<int> blocks((archive.size() + kBlockDataSize - 1) / kBlockDataSize);
        std::iota(blocks.begin(), blocks.end(), 0);
        return Upload(kind, archive, Codes(2 + blocks.size(), 0), static_cast<std::int32_t>(archive.size()),
                      blocks);
    }

    // The host's side of a download: asks, acknowledges the size once and every block.
    SeenDownload Download(std::uint8_t kind)
    {
        SeenDownload seen;
        host_.SendCommand(command::kRead, kind, command::kSettings);
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
        while (seen.indices.size() < blocks && (frame = host_.ReadFrame())) {
            if (frame->type() == TypeByte(FrameType::Value)) {  // a repeated size asks for nothing
                seen.sizes.push_back(frame->le32(4));
                continue;
            }
            seen.indices.push_back(frame->checked() ? frame->at(2) | frame->at(3) << 8 : -1);
            if (frame->checked())
                seen.data.append(frame->clear.begin() + 4, frame->clear.begin() + 4 + kBlockDataSize);
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

    // A new key ends the session and begins the next; the same key frame twice in a row is one
    // announcement (a serial host sends it so). An answer checks out only under the key in force.
    host_.SendKeyFrame(kOtherKey);
    host_.SendKeyFrame(kOtherKey);
    host_.SendCommand(0, 0, 0);
    EXPECT_EQ(host_.ReadAck(), 0) << "no answer under the new key";
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
    const auto damaged = [](ScriptedHost& host) {
        std::uint8_t frame[10];
        AssembleFrame(frame, TypeByte(FrameType::Command), std::vector<std::uint8_t>{0, 0, 0, 0},
                      host.currentKey());
        frame[8] ^= 0x01;
        host.SendBytes(reinterpret_cast<const char*>(frame), sizeof frame);
    };
    struct Case {
        const char* name;
        std::function<void(ScriptedHost&)> send;
        int answer;  // acknowledgement code, or -1: no answer at all
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
    // Sizes about a block's; the last upload replaces an earlier one of its kind.
    for (const auto& [kind, size] : std::vector<std::pair<std::uint8_t, std::size_t>>{
             {0, 0}, {1, 4096}, {2, 10000}, {200, 4097}, {2, 300}}) {
        SCOPED_TRACE(size);
        const std::string archive = NoiseBytes(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(Upload(kind, archive), Codes(2 + (size + kBlockDataSize - 1) / kBlockDataSize, 0));
        EXPECT_EQ(ReadBytes(state() / ("kind-" + std::to_string(kind) + ".zip")), archive);
    }
    EXPECT_EQ(stats().uploadsStored, 5);
    // The archive an upload replaced goes once the acknowledgement is out, before the next answer.
    host_.SendCommand(0, 0, 0);
    EXPECT_EQ(host_.ReadAck(), 0);
    EXPECT_FALSE(fs::exists(state() / "kind-2.zip.part"));
}

TEST_F(DeviceOverTcp, UploadsThatCannotBeCompletedAreRefusedOrLeftUnansweredAndLeaveNothing)
{
    const std::string archive = NoiseBytes(5 * kBlockDataSize, 14);
    const fs::path final = state() / "kind-7.zip";
    const fs::path temporary = state() / "kind-7.zip.part";
    struct Case {
        const char* name;
        Codes codes;                                // of the command, the size and each block sent
        std::vector<int> blocks = {0, 1, 2, 3, 4};  // sent in this order; -1: a probe instead
        std::int32_t size = 5 * kBlockDataSize;
        Faults faults = {};
        std::function<bool()> obstruct = [] { return true; };  // false where this system cannot have it
        std::optional<int> received = {};                      // blocks the device counts
    };
    const std::vector<Case> cases = {
        // The host sends a block only once the frame before is acknowledged.
        {.name = "acknowledgements stopping before the size",
         .codes = {0, -1},
         .faults = {.stopAcksAfter = 0},
         .received = 0},
        {.name = "acknowledgements stopping after a block",
         .codes = {0, 0, -1},
         .faults = {.stopAcksAfter = 1},
         .received = 1},
        {.name = "a block out of order", .codes = {0, 0, 0, 1}, .blocks = {0, 2}},
        {.name = "a block twice", .codes = {0, 0, 0, 1}, .blocks = {0, 0}},
        {.name = "a probe half-way", .codes = {0, 0, 0, 0}, .blocks = {0, -1}},
        {.name = "a size below zero", .codes = {0, 1}, .size = -1},
        {.name = "a size beyond what a host sends", .codes = {0, 1}, .size = 300'000'000},
        // Every block is written; the last one's acknowledgement waits for the archive to be in
        // place, which it cannot be.
        {.name = "a folder where the archive goes",
         .codes = {0, 0, 0, 0, 0, 0, 1},
         .obstruct = [&] { return fs::create_directories(final / "in-the-way"); }},
        // Block 0 is acknowledged before it is written, and its write fails: block 1 is refused,
        // and the later ones find no upload waiting.
        {.name = "a temporary file on a full disk",
         .codes = {0, 0, 0, 1, 1, 1, 1},
         .obstruct =
             [&] {
                 std::error_code error;
                 if (!fs::exists("/dev/full", error))
                     return false;
                 fs::create_symlink("/dev/full", temporary, error);
                 return !error;
             }},
    };
    // A fault is the device's from its start: each gets a device of its own. The other cases follow
    // one another in one session, as does the upload that ends the test.
    bool faulty = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (faulty || c.faults.stopAcksAfter) {
            Start(c.faults);
            faulty = c.faults.stopAcksAfter.has_value();
        }
        if (!c.obstruct())
            continue;
        EXPECT_EQ(Upload(7, archive, c.codes, c.size, c.blocks), c.codes);
        EXPECT_FALSE(fs::is_regular_file(final));
        EXPECT_EQ(stats().uploadsStored, 0);
        // An upload left unanswered may still be in the making; any other is over and left nothing.
        fs::remove_all(final);
        EXPECT_TRUE(c.codes.back() < 0 || fs::is_empty(state())) << "something was left in the state folder";
        if (c.received) {
            EXPECT_EQ(stats().blocksReceived, *c.received);
        }
    }

    // Nothing of a failed upload sticks to the next one.
    EXPECT_EQ(Upload(7, archive), Codes(7, 0));
    EXPECT_EQ(ReadBytes(final), archive);
}

// A download serves the last upload of its kind, else the archive the device was given, else it is
// refused; the faults show in the frames sent. Each case is a device of its own.
TEST_F(DeviceOverTcp, DownloadsServeTheLastUploadElseTheArchiveElseNothing)
{
    const std::string served = NoiseBytes(3 * kBlockDataSize, 11), uploaded = NoiseBytes(5000, 10);
    struct Case {
        const char* name;
        std::optional<std::string> archive;  // served
        bool upload = false;                 // of `uploaded`, before the download
        Faults faults = {};
        SeenDownload expected = {};
    };
    const std::vector<Case> cases = {
        {"the archive", served, false, {}, {-1, {12288}, {0, 1, 2}, served}},
        {"the upload over the archive", served, true, {}, {-1, {5000}, {0, 1}, uploaded}},
        {"an empty archive: size 0 and one block", "", false, {}, {-1, {0}, {0}, ""}},
        {"nothing to serve", std::nullopt, false, {}, {1, {}, {}, ""}},
        {"wrong index on block 0", served, false, {.wrongIndexBlock = 0}, {-1, {12288}, {1, 1, 2}, {}}},
        {"size repeated", served, false, {.repeatSize = true}, {-1, {12288, 12288}, {0, 1, 2}, served}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.faults, c.archive ? Served(*c.archive) : fs::path());
        const auto kind = static_cast<std::uint8_t>(&c - cases.data());  // the state folder stays
        if (c.upload)
            Upload(kind, uploaded);
        const SeenDownload seen = Download(kind);
        EXPECT_EQ(seen.refusal, c.expected.refusal);
        EXPECT_EQ(seen.sizes, c.expected.sizes);
        EXPECT_EQ(seen.indices, c.expected.indices);
        if (!c.faults.wrongIndexBlock) {
            EXPECT_TRUE(seen.data == c.expected.data);
            EXPECT_TRUE(WaitFor([&] { return stats().downloadsServed == (c.archive || c.upload ? 1 : 0); }));
        }
    }
}

TEST_F(DeviceOverTcp, VersionsAreKeptPerKindAndOutliveTheDevice)
{
    Start();
    const auto write = [&](std::uint8_t kind, std::int32_t version) {
        host_.SendCommand(command::kWrite, kind, command::kVersion);
        const int accepted = host_.ReadAck();
        host_.SendNumber(kind, value::kVersion, version);
        return accepted == 0 && host_.ReadAck() == 0;
    };
    const auto read = [&](std::uint8_t kind) -> std::optional<std::int32_t> {
        host_.SendCommand(command::kRead, kind, command::kVersion);
        const auto frame = host_.ReadFrame();
        if (!frame || !frame->checked() || frame->type() != TypeByte(FrameType::Value) ||
            frame->at(2) != kind || frame->at(3) != value::kVersion)
            return std::nullopt;
        return static_cast<std::int32_t>(frame->le32(4));
    };

    EXPECT_EQ(read(1), 0) << "a kind never written";
    EXPECT_TRUE(write(0, 5) && write(2, -7) && write(0, 6));
    EXPECT_EQ(read(0), 6);
    EXPECT_EQ(ReadBytes(state() / "versions.txt"), "kind 0: 6\nkind 2: -7\n");
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
        // Sized at once: GCC 12's thread-sanitizer build misreads an insert into a one-byte vector.
        std::vector<std::uint8_t> body(1 + record.size(), command::kRecordWrite);
        std::copy(record.begin(), record.end(), body.begin() + 1);
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

TEST(DeviceSimulator, StopsPromptlyWhateverItIsDoing)
{
    TempFolder folder;
    SimulatorOptions options;
    options.stateFolder = folder.path();
    options.port = ScriptedHost().port();  // nobody listens there any more: the device keeps trying
    for (const sim::Transport transport : {sim::Transport::Tcp, sim::Transport::Pty}) {
        SCOPED_TRACE(transport == sim::Transport::Tcp ? "waiting for a host" : "greeting on a pty");
        if (transport == sim::Transport::Pty && !PseudoTerminalPair::Supported())
            continue;
        options.transport = transport;
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

// The frame reader on its own, fed the way the simulator feeds it: a read fills the room it asks
// for, or part of it. A frame comes out as its bytes and the stream offset just past it.
using Frames = std::vector<std::pair<sim::Bytes, std::uint64_t>>;

// A host's stream: frames, and between them bytes that belong to none.
struct HostStream {
    sim::Bytes bytes;
    Frames frames;
    std::uint64_t stray = 0;

    HostStream& Frame(FrameType type, const sim::Bytes& body)
    {
        sim::Bytes frame(kMaxFrameSize);
        frame.resize(static_cast<std::size_t>(AssembleFrame(frame, TypeByte(type), body, kKey)));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        frames.emplace_back(frame, bytes.size());
        return *this;
    }
    HostStream& Stray(std::string_view text)
    {
        bytes.insert(bytes.end(), text.begin(), text.end());
        stray += text.size();
        return *this;
    }
};

// Feeds the stream in pieces of at most `piece` bytes into rooms of `room` bytes.
Frames Feed(sim::HostFrameReader& reader, const sim::Bytes& stream, std::size_t piece, std::size_t room)
{
    Frames frames;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t count = std::min(piece, stream.size() - at);
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), count, reader.Room(room).begin());
        reader.Filled(count);
        while (auto frame = reader.Next())
            frames.emplace_back(sim::Bytes(frame->bytes.begin(), frame->bytes.end()), frame->end);
    }
    return frames;
}

// Which bytes are stray is the frame splitter's to say (the codec's tests work it through); the
// reader keeps frames whole and their offsets right across reads and the room it moves.
TEST(HostFrameReader, TheSameFramesComeOutHoweverTheStreamIsCut)
{
    HostStream stream;
    stream.Stray("line noise#").Frame(FrameType::Command, {0, 0, 0, 0});
    stream.Frame(FrameType::Block, sim::Bytes(2 + kBlockDataSize, 0x33)).Stray("*\x09 no frame");
    stream.Frame(FrameType::Value, {1, 1, 0x10, 0x27, 0, 0})
        .Frame(FrameType::Block, sim::Bytes(2 + kBlockDataSize, 7));

    const std::size_t whole = stream.bytes.size();
    for (const auto& [piece, room] : std::vector<std::pair<std::size_t, std::size_t>>{
             {1, 1}, {1, 16384}, {7, 7}, {4105, 8192}, {5000, 5000}, {whole, whole}}) {
        SCOPED_TRACE(::testing::Message() << "pieces of " << piece << " in rooms of " << room);
        sim::HostFrameReader reader;
        EXPECT_EQ(Feed(reader, stream.bytes, piece, room), stream.frames);
        EXPECT_EQ(reader.dropped(), stream.stray);
    }
}

TEST(HostFrameReader, ClearedBytesCountInTheOffsetsButNotAsDropped)
{
    HostStream first, second;
    first.Frame(FrameType::Block, sim::Bytes(2 + kBlockDataSize, 0x55));
    second.Frame(FrameType::Command, {0, 0, 0, 0});

    sim::HostFrameReader reader;
    const sim::Bytes half(first.bytes.begin(), first.bytes.begin() + kBlockDataSize / 2);
    EXPECT_TRUE(Feed(reader, half, half.size(), half.size()).empty());
    reader.Clear();  // the host went away with half a block sent
    EXPECT_EQ(Feed(reader, second.bytes, second.bytes.size(), 16384),
              (Frames{{second.frames[0].first, half.size() + second.bytes.size()}}));
    EXPECT_EQ(reader.dropped(), 0u);
}

}  // namespace
}  // namespace quillon::testing
