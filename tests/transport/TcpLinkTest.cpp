#include "transport/HardwareServer_SET.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "common/DevicePeer.h"
#include "common/Platform.h"
#include "common/WaitFor.h"
#include "protocol/DeviceLink.h"
#include "protocol/DeviceRecord.h"
#include "state/Sysconfig_SET.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

const LinkKey kKey{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// The TCP link on a free port, recording what it hands to the message handler.
class RecordingLink : public CHardwareServer_SET {
public:
    RecordingLink()
    {
        SetMsgCallback([this](unsigned char* frame, int length) {
            std::lock_guard lock(mutex_);
            delivered_.emplace_back(frame, frame + length);
            return 0;
        });
        EXPECT_EQ(startThread(0), 0);
    }
    ~RecordingLink() override { stop(); }

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

DevicePeer Connect(RecordingLink& link)
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

class TcpLink : public ::testing::Test {
protected:
    // A link with a device connected that has learnt the key in force; the key frame's bytes.
    std::optional<Bytes> Open()
    {
        link_.emplace();
        device_.emplace(Connect(*link_));
        auto keyFrame = device_->ReadKeyFrame();
        EXPECT_TRUE(keyFrame) << "no key frame on connection";
        return keyFrame;
    }
    RecordingLink& link() { return *link_; }
    DevicePeer& device() { return *device_; }

private:
    std::optional<RecordingLink> link_;
    std::optional<DevicePeer> device_;  // goes before the link
};

TEST_F(TcpLink, NewConnectionReceivesTheKeyInForceOnlyOnce)
{
    const auto keyFrame = Open();
    ASSERT_TRUE(keyFrame);
    EXPECT_EQ(keyFrame->size(), 10u);
    EXPECT_EQ(FrameChecksum(keyFrame->data(), 10), (*keyFrame)[8]);
    EXPECT_EQ(device().key(), link().currentKey());
    ASSERT_TRUE(WaitFor([&] { return link().connections().size() == 1; }));

    // A repeated connection event prints nothing and sends no second key: the next bytes on the
    // wire are what the host sends next.
    ::testing::internal::CaptureStdout();
    link().onConn(link().connections().front());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    link().SendAck();
    const auto next = device().ReadWireFrame();
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)[1], TypeByte(FrameType::Ack));
}

// The link talks to one connection, the device: the newest taken in while the host is idle. A
// device that reconnects replaces the old connection, which is closed; a newcomer while the host is
// in the middle of an exchange is closed unkeyed instead, and the device never notices.
TEST_F(TcpLink, OnlyTheNewestConnectionTakenWhileIdleIsTalkedTo)
{
    static std::atomic<bool> busy{false};
    ASSERT_TRUE(Open());
    link().SetBusyTest([] { return busy.load(); });

    busy = true;
    DevicePeer intruder = Connect(link());
    EXPECT_FALSE(intruder.ReadKeyFrame()) << "a newcomer during an exchange was keyed";
    link().SendCommand(0, 0, 0);
    EXPECT_TRUE(device().ReadFrame()) << "the device lost the link to a newcomer";

    busy = false;
    DevicePeer second = Connect(link());
    ASSERT_TRUE(second.ReadKeyFrame());
    EXPECT_FALSE(device().ReadWireFrame()) << "the replaced connection stays open";
    link().SendCommand(0, 0, 0);
    EXPECT_TRUE(second.ReadFrame());
    EXPECT_TRUE(WaitFor([&] { return link().HasClients(); }));
}

TEST_F(TcpLink, WatcherReportsTheLinkAndLatchesTcp)
{
    auto* registry = CSysconfig_SET::get();
    std::atomic<int> state{0};
    registry->SetDeviceOnline([&](int reported, int link) {
        EXPECT_EQ(link, kTcpLink);
        state = reported;
    });
    {
        RecordingLink link;
        ASSERT_TRUE(WaitFor([&] { return state == -1; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), kNoLink);

        DevicePeer device = Connect(link);
        ASSERT_TRUE(WaitFor([&] { return state == 1; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), kTcpLink);

        device.Close();
        ASSERT_TRUE(WaitFor([&] { return state == -1; }));
        EXPECT_EQ(registry->GetSeriOrTcp(), 1) << "the latch outlives the connection";
    }
    registry->SetDeviceOnline(nullptr);
}

// How the link treats a chunk as the server hands it over, without the frame splitter in between.
TEST_F(TcpLink, ChunkRules)
{
    ASSERT_TRUE(Open());  // the connection's own lines are printed by now
    ASSERT_EQ(link().connections().size(), 1u);
    const std::int64_t fd = link().connections().front();

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
        {"ack and five more bytes go together",
         Join(ack, Bytes(5, 0x11)),
         {Join(ack, Bytes(5, 0x11))},
         "15\n15\n"},
        {"block at an odd offset gives a zero block",
         blockAtOddOffset,
         {Bytes(kMaxFrameSize, 0x00)},
         "4110\n4110--------\n4110\n-----------------------------------------------0\n"
         "-----------------------------------------------0\n"},
    };
    for (const auto& c : cases) {
        const std::size_t before = link().delivered().size();
        std::vector<char> data(c.chunk.begin(), c.chunk.end());
        ::testing::internal::CaptureStdout();
        link().onRead(fd, data);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(data.empty()) << c.name;
        const auto delivered = link().delivered();
        EXPECT_EQ(std::vector<Bytes>(delivered.begin() + before, delivered.end()), c.delivered) << c.name;
        EXPECT_EQ(printed, c.printedTail) << c.name;
    }

    std::vector<char> stranger(ack.begin(), ack.end());
    link().onRead(fd + 1000, stranger);
    EXPECT_EQ(stranger.size(), ack.size()) << "bytes from an unknown connection are left alone";
}

TEST_F(TcpLink, FramesArriveWholeHoweverTcpCutsTheStream)
{
    ASSERT_TRUE(Open());
    DevicePeer& device = this->device();
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

    ASSERT_TRUE(WaitFor([&] { return link().delivered().size() == 7; }));
    EXPECT_EQ(link().delivered(),
              (std::vector<Bytes>{ack, value, ack, block, block, {0x55, 0x55, 0x55}, ack}));
}

// The link lays out what it is asked to send as these frames, built here by the codec whose
// layout the protocol tests work out by hand. A record request waits half a second first.
TEST_F(TcpLink, HostFramesOnTheWire)
{
    ASSERT_TRUE(Open());
    link().InstallKey(kKey);
    const std::uint8_t seven[] = {7, 0, 0, 0};
    const Bytes hundred(100, 0xA5);
    struct Case {
        std::function<void()> send;
        Bytes expected;
        std::chrono::milliseconds before = 0ms;
    };
    const std::vector<Case> cases = {
        {[&] { link().SendCommand(1, 2, 0); }, Frame(FrameType::Command, {1, 2, 0})},
        {[&] { link().SendValue(1, 2, seven, 4); }, Frame(FrameType::Value, {1, 2, 7, 0, 0, 0})},
        {[&] { link().SendAck(); }, Frame(FrameType::Ack, {0, 0, 0, 0})},
        // Index 258, little-endian, then the data padded with zeros.
        {[&] { link().SendBlock(hundred.data(), 100, 258); },
         Frame(FrameType::Block, Join({0x02, 0x01}, hundred))},
        {[&] { link().RequestDeviceRecord(); }, Frame(FrameType::RecordRequest, {0x52, 0xA0, 0xAA, 0xAA}),
         505ms},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        c.send();
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.before) << +c.expected[1];
        EXPECT_EQ(device().ReadWireFrame(), c.expected) << +c.expected[1];
    }
}

TEST_F(TcpLink, DeviceRecordCarriesTheNameAndTodaysUtcDate)
{
    ASSERT_TRUE(Open());
    const char name[12] = {'D', 'E', 'V', 0, 'I', 'C', 'E', '-', '0', '0', '0', '1'};
    const std::time_t before = std::time(nullptr);
    link().SendDeviceRecord(name);
    const auto frame = device().ReadFrame();
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(frame && frame->checked());
    EXPECT_EQ(frame->type(), TypeByte(FrameType::Record));
    EXPECT_EQ(frame->at(2), 0x57);
    // The record's layout is worked out by hand in the protocol tests; here it must be today's.
    const Bytes record(frame->clear.begin() + 3, frame->clear.begin() + 3 + kDeviceRecordSize);
    const auto recordAt = [&](std::time_t t) {
        const DeviceRecord expected = MakeDeviceRecord(name, std::chrono::system_clock::from_time_t(t));
        return record == Bytes(expected.begin(), expected.end());
    };
    EXPECT_TRUE(recordAt(before) || recordAt(after));
}

std::size_t Count(const char* folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

TEST_F(TcpLink, HundredLinksComeAndGoWithoutLeaks)
{
    if (quillon::testing::kWindows)
        GTEST_SKIP()
            << "counts descriptors and threads in /proc, which a Windows program does not have (under "
               "Wine it shows Wine's own)";
    if (!std::filesystem::exists("/proc/self/fd"))
        GTEST_SKIP() << "needs /proc to count descriptors and threads";
    {
        RecordingLink warmUp;
    }  // runtimes start helper threads of their own on first use
    const std::size_t descriptors = Count("/proc/self/fd");
    const std::size_t threads = Count("/proc/self/task");
    for (int i = 0; i < 100; ++i) {
        RecordingLink link;
        if (i % 10 == 0) {  // some with a device connected when they go
            DevicePeer device = Connect(link);
            ASSERT_TRUE(device.ReadKeyFrame());
        }
    }
    EXPECT_EQ(Count("/proc/self/fd"), descriptors);
    EXPECT_EQ(Count("/proc/self/task"), threads);
}

}  // namespace
