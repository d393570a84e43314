#include "transport/HardwareServer_SET.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "common/DevicePeer.h"
#include "common/Platform.h"
#include "common/WaitFor.h"
#include "state/Sysconfig_SET.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

const LinkKey kKey{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// The TCP link on a free port, recording what it hands to the message handler.
class TcpLink : public CHardwareServer_SET {
public:
    TcpLink()
    {
        SetMsgCallback([this](unsigned char* frame, int length) {
            std::lock_guard lock(mutex_);
            delivered_.emplace_back(frame, frame + length);
            return 0;
        });
        EXPECT_EQ(startThread(0), 0);
    }
    ~TcpLink() override { stop(); }

    void onConn(std::int64_t fd) override
    {
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(fd);
        }
        CHardwareServer_SET::onConn(fd);
    }

    std::vector<Bytes> delivered()
    {
        std::lock_guard lock(mutex_);
        return delivered_;
    }
    std::vector<std::int64_t> connections()
    {
        std::lock_guard lock(mutex_);
        return connections_;
    }

private:
    std::mutex mutex_;
    std::vector<Bytes> delivered_;
    std::vector<std::int64_t> connections_;
};

DevicePeer Connect(TcpLink& link)
{
    auto channel = ConnectTcp(link.listeningPort());
    EXPECT_NE(channel, nullptr);
    return DevicePeer(std::move(channel));
}

Bytes Frame(FrameType type, const Bytes& body, const LinkKey& key = kKey)
{
    Bytes frame(kMaxFrameSize);
    frame.resize(AssembleFrame(frame, TypeByte(type), body, key));
    return frame;
}

Bytes Join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(TcpLink, NewConnectionReceivesTheKeyInForce)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    const auto keyFrame = device.ReadKeyFrame();
    ASSERT_TRUE(keyFrame);
    EXPECT_EQ(keyFrame->size(), 10u);
    EXPECT_EQ(FrameChecksum(keyFrame->data(), 10), (*keyFrame)[8]);
    EXPECT_EQ(device.key(), link.currentKey());
}

TEST(TcpLink, RepeatedConnectionEventSendsNoSecondKey)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());
    ASSERT_TRUE(WaitFor([&] { return link.connections().size() == 1; }));

    ::testing::internal::CaptureStdout();
    link.onConn(link.connections().front());
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");

    // The next bytes on the wire are what the host sends next, not a key frame.
    link.SendAck();
    const auto next = device.ReadWireFrame();
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)[1], TypeByte(FrameType::Ack));
}

TEST(TcpLink, ReconnectingDeviceGetsANewHandleAndTheNewestTalks)
{
    TcpLink link;
    DevicePeer first = Connect(link);
    ASSERT_TRUE(first.ReadKeyFrame());
    DevicePeer second = Connect(link);
    ASSERT_TRUE(second.ReadKeyFrame());
    ASSERT_TRUE(WaitFor([&] { return link.connections().size() == 2; }));
    EXPECT_NE(link.connections()[0], link.connections()[1]);

    link.SendCommand(0, 0, 0);
    EXPECT_TRUE(second.ReadFrame());
    second.Close();
    ASSERT_TRUE(WaitFor([&] {
        link.SendCommand(0, 0, 0);
        return first.ReadFrame(50ms).has_value();
    }));
}

TEST(TcpLink, WatcherReportsTheLinkAndLatchesTcp)
{
    auto* registry = CSysconfig_SET::get();
    std::mutex mutex;
    std::vector<std::pair<int, int>> reports;
    registry->SetDeviceOnline([&](int state, int link) {
        std::lock_guard lock(mutex);
        reports.emplace_back(state, link);
    });
    const auto last = [&] {
        std::lock_guard lock(mutex);
        return reports.empty() ? std::pair{0, 0} : reports.back();
    };

    {
        TcpLink link;
        ASSERT_TRUE(WaitFor([&] { return last() == std::pair{-1, 1}; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), -1);

        DevicePeer device = Connect(link);
        ASSERT_TRUE(WaitFor([&] { return last() == std::pair{1, 1}; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), 1);

        device.Close();
        ASSERT_TRUE(WaitFor([&] { return last() == std::pair{-1, 1}; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), 1) << "the latch outlives the connection";
    }
    registry->SetDeviceOnline(nullptr);
    std::lock_guard lock(mutex);
    for (const auto& [state, link] : reports)
        EXPECT_EQ(link, 1);
}

// How the link treats a chunk as the server hands it over, without the frame splitter in between.
TEST(TcpLink, ChunkRules)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());  // the connection's own lines are printed by now
    ASSERT_EQ(link.connections().size(), 1u);
    const std::int64_t fd = link.connections().front();

    const Bytes ack = Frame(FrameType::Ack, {0});
    const Bytes block = Frame(FrameType::Block, {0, 0, 1, 2, 3});
    const Bytes greeting = GreetingFrame();
    Bytes blockAtOddOffset = Join(Join(Bytes{0x00}, block), Bytes(5, 0x00));

    struct Case {
        const char* name;
        Bytes chunk;
        std::vector<Bytes> delivered;
        const char* printedTail;
    };
    const std::vector<Case> cases = {
        {"greeting alone is dropped", greeting, {}, "18\n0--------\n"},
        {"greeting then block delivers the block", Join(greeting, block), {block}, "4122\n4104\n"},
        {"greeting then ack is still delivered", Join(greeting, ack), {ack}, "28\n10--------\n10\n"},
        {"ack", ack, {ack}, "10\n10\n"},
        {"ack and five more bytes go together", Join(ack, Bytes(5, 0x11)), {Join(ack, Bytes(5, 0x11))}, "15\n15\n"},
        {"block at an odd offset gives a zero block", blockAtOddOffset, {Bytes(kMaxFrameSize, 0x00)},
         "4110\n4110--------\n4110\n-----------------------------------------------0\n"
         "-----------------------------------------------0\n"},
    };
    for (const auto& c : cases) {
        const std::size_t before = link.delivered().size();
        std::vector<char> data(c.chunk.begin(), c.chunk.end());
        ::testing::internal::CaptureStdout();
        link.onRead(fd, data);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(data.empty()) << c.name;
        const auto delivered = link.delivered();
        EXPECT_EQ(std::vector<Bytes>(delivered.begin() + before, delivered.end()), c.delivered) << c.name;
        EXPECT_EQ(printed, c.printedTail) << c.name;
    }

    std::vector<char> stranger(ack.begin(), ack.end());
    link.onRead(fd + 1000, stranger);
    EXPECT_EQ(stranger.size(), ack.size()) << "bytes from an unknown connection are left alone";
}

TEST(TcpLink, FramesArriveWholeHoweverTcpCutsTheStream)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());
    device.SetKey(link.currentKey());

    const Bytes ack = Frame(FrameType::Ack, {0}, device.key());
    const Bytes value = Frame(FrameType::Value, {1, 2, 7}, device.key());
    Bytes data(kBlockDataSize);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 31);
    Bytes blockBody = {3, 0};
    blockBody.insert(blockBody.end(), data.begin(), data.end());
    const Bytes block = Frame(FrameType::Block, blockBody, device.key());

    for (std::uint8_t byte : ack)  // one byte per segment
        device.SendRaw({byte});
    device.SendRaw(Join(value, ack));  // two frames in one segment
    device.SendRaw(Join(GreetingFrame(), block));
    device.SendRaw(Bytes(block.begin(), block.begin() + 1000));
    device.SendRaw(Bytes(block.begin() + 1000, block.end()));
    device.SendRaw({0x55, 0x55, 0x55});  // stray bytes are passed on as they are
    device.SendRaw(ack);

    ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 7; }));
    EXPECT_EQ(link.delivered(), (std::vector<Bytes>{ack, value, ack, block, block, {0x55, 0x55, 0x55}, ack}));
}

TEST(TcpLink, HostFramesOnTheWire)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());
    link.InstallKey(kKey);  // a known key, for bytes worked out by hand

    link.SendCommand(1, 2, 0);
    EXPECT_EQ(device.ReadWireFrame(), (Bytes{0x2A, 0x04, 0x10, 0x20, 0x33, 0x44, 0x55, 0x66, 0x5A, 0x23}));

    const std::uint8_t seven[] = {7, 0, 0, 0};
    link.SendValue(1, 2, seven, 4);
    EXPECT_EQ(device.ReadWireFrame(), (Bytes{0x2A, 0x05, 0x10, 0x20, 0x34, 0x44, 0x55, 0x66, 0x11, 0x22, 0x33,
                                             0x44, 0x55, 0x66, 0x11, 0x22, 0x55, 0x66, 0x2B, 0x23}));

    // 00^11 00^22 00^33 00^44, tag 55 66, checksum 2A^07^11^22^33^44^55^66 = 2D^11^22^33^44^55^66.
    link.SendAck();
    EXPECT_EQ(device.ReadWireFrame(), (Bytes{0x2A, 0x07, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x5A, 0x23}));

    Bytes hundred(100, 0xA5);
    link.SendBlock(hundred.data(), 100, 258);
    const auto block = device.ReadWireFrame();
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 4104u);
    EXPECT_EQ((*block)[2], 0x02 ^ 0x11);  // index 258, little-endian
    EXPECT_EQ((*block)[3], 0x01 ^ 0x22);
    EXPECT_EQ((*block)[4], 0xA5 ^ 0x33);
    EXPECT_EQ((*block)[103], 0xA5 ^ 0x66);  // data byte 99, offset 103, key byte 5
    EXPECT_EQ((*block)[104], 0x00 ^ 0x11);  // the padding starts at data byte 100
    EXPECT_EQ((*block)[4099], 0x00 ^ 0x66);
    EXPECT_EQ((*block)[4100], 0x55);
    EXPECT_EQ((*block)[4101], 0x66);
    EXPECT_EQ((*block)[4102], FrameChecksum(block->data(), 4104));
}

TEST(TcpLink, RecordRequestWaitsHalfASecondFirst)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());
    link.InstallKey(LinkKey{});

    const auto start = std::chrono::steady_clock::now();
    link.RequestDeviceRecord();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 505ms);
    EXPECT_EQ(device.ReadWireFrame(), (Bytes{0x2A, 0x01, 0x52, 0xA0, 0xAA, 0xAA, 0x00, 0x00, 0xD9, 0x23}));
}

TEST(TcpLink, DeviceRecordCarriesTheNameAndTodaysUtcDate)
{
    TcpLink link;
    DevicePeer device = Connect(link);
    ASSERT_TRUE(device.ReadKeyFrame());
    device.SetKey(link.currentKey());

    const char name[12] = {'D', 'E', 'V', 0, 'I', 'C', 'E', '-', '0', '0', '0', '1'};
    const std::time_t before = std::time(nullptr);
    link.SendDeviceRecord(name);
    const auto frame = device.ReadFrame();
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(frame && frame->checked());
    EXPECT_EQ(frame->type(), TypeByte(FrameType::Record));
    EXPECT_EQ(frame->at(2), 0x57);
    EXPECT_EQ(frame->at(3), 0xA0);
    EXPECT_EQ(Bytes(frame->clear.begin() + 4, frame->clear.begin() + 16), Bytes(name, name + 12));

    const auto u16 = [&](int offset) { return frame->at(offset) | frame->at(offset + 1) << 8; };
    bool matched = false;
    for (std::time_t t : {before, after}) {
        const std::tm utc = *std::gmtime(&t);
        matched |= u16(28) == utc.tm_year + 1900 && u16(30) == utc.tm_mon + 1 && u16(32) == utc.tm_mday &&
                   u16(34) == utc.tm_year + 1900 && u16(36) == utc.tm_mon + 1 && u16(38) == utc.tm_mday &&
                   u16(40) == utc.tm_hour && u16(42) == utc.tm_min && u16(44) == utc.tm_sec;
    }
    EXPECT_TRUE(matched);
}

std::size_t OpenDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::size_t Threads()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

TEST(TcpLink, HundredLinksComeAndGoWithoutLeaks)
{
    if (quillon::testing::kWindows)
        GTEST_SKIP() << "counts descriptors and threads in /proc, which a Windows program does not have (under "
                        "Wine it shows Wine's own)";
    if (!std::filesystem::exists("/proc/self/fd"))
        GTEST_SKIP() << "needs /proc to count descriptors and threads";
    { TcpLink warmUp; }  // runtimes start helper threads of their own on first use
    const std::size_t descriptors = OpenDescriptors();
    const std::size_t threads = Threads();
    for (int i = 0; i < 100; ++i) {
        TcpLink link;
        if (i % 10 == 0) {  // some with a device connected when they go
            DevicePeer device = Connect(link);
            ASSERT_TRUE(device.ReadKeyFrame());
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(Threads(), threads);
}

TEST(DeviceFrameSplitter, CutsAtFrameBoundaries)
{
    const Bytes ack = Frame(FrameType::Ack, {0});
    const Bytes value = Frame(FrameType::Value, {1, 2});
    struct Case {
        const char* name;
        Bytes data;
        std::size_t message;
    };
    const std::vector<Case> cases = {
        {"empty", {}, 0},
        {"start byte alone waits", {0x2A}, 0},
        {"partial ack waits", Bytes(ack.begin(), ack.begin() + 9), 0},
        {"ack", ack, 10},
        {"ack then value", Join(ack, value), 10},
        {"value", value, 20},
        {"stray bytes up to the next start byte", Join(Bytes{1, 2, 3}, ack), 3},
        {"stray bytes without a start byte", {1, 2, 3}, 3},
        {"unknown type is stray", Join(Bytes{0x2A, 0x09}, ack), 2},
        {"no end byte where the frame ends resynchronises", Join(Bytes{0x2A, 0x07, 0, 0, 0, 0, 0, 0, 0, 0}, ack), 10},
        {"a start byte inside garbage", Bytes{0x2A, 0x07, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0}, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitDeviceFrames(reinterpret_cast<const char*>(c.data.data()), c.data.size()), c.message)
            << c.name;
}

}  // namespace
