// The serial link on pseudo-terminals. A port trial gives a port 200 empty reads of 20 ms each to
// show a device, so every test that has a device found or a silent port rejected takes four
// seconds or more: there are few of them, and each covers as much as it can.
#include "transport/SerialPort_SET.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "common/DevicePeer.h"
#include "common/Platform.h"
#include "common/PseudoTerminal.h"
#include "common/WaitFor.h"
#include "state/Sysconfig_SET.h"
#include "support/serial/SerialPortList.h"

namespace {

using namespace quillon;
using namespace quillon::testing;

// A trial takes 4 s; the first search comes after about 100 ms.
constexpr auto kFound = std::chrono::seconds(15);

// The serial link with its port list pinned to the given terminals, recording deliveries.
class SerialLink {
public:
    explicit SerialLink(const std::vector<const PseudoTerminal*>& ports)
    {
        std::vector<std::string> names;
        for (const auto* pty : ports)
            names.push_back(pty->slavePath());
        serial::pin_ports(names);
        link_ = std::make_unique<CSerialPort_SET>();
        link_->SetMsgCallback([this](unsigned char* frame, int length) {
            std::lock_guard lock(mutex_);
            delivered_.emplace_back(frame, frame + length);
            return 0;
        });
    }

    CSerialPort_SET* operator->() { return link_.get(); }

    std::vector<Bytes> delivered()
    {
        std::lock_guard lock(mutex_);
        return delivered_;
    }

private:
    std::mutex mutex_;
    std::vector<Bytes> delivered_;
    std::unique_ptr<CSerialPort_SET> link_;
};

// A device on a pseudo-terminal that greets the host once. The terminal holds the greeting until
// the host opens the port and reads it; greeting again could leave a stale greeting in front of
// the device's first frame after the key, which the host would then not see.
DevicePeer GreetingDevice(PseudoTerminal& pty)
{
    DevicePeer peer(PtyDeviceChannel(pty), true);
    peer.SendRaw(GreetingFrame());
    return peer;
}

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PseudoTerminal::Supported())
            GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    }
};

TEST_F(SerialLinkTest, DeviceIsFoundKeyedTwiceHeardRekeyedAfterWrongTagsAndLostWhenUnplugged)
{
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    auto* registry = CSysconfig_SET::get();
    std::atomic<int> online{0}, offline{0}, lastState{0};
    registry->SetDeviceOnline([&](int state, int link) {
        EXPECT_EQ(link, 0);
        ++(state == 1 ? online : offline);
        lastState = state;
    });

    SerialLink link({&pty});
    DevicePeer device = GreetingDevice(pty);
    const auto firstKey = device.ReadKeyFrame(kFound);
    ASSERT_TRUE(firstKey) << "the device was never keyed";
    // The key frame goes out twice in a row, the same bytes both times.
    EXPECT_EQ(device.ReadWireFrame(), firstKey);
    EXPECT_EQ(device.key(), link->currentKey());
    EXPECT_EQ(link->DevicePortName(), pty.slavePath());
    EXPECT_TRUE(WaitFor([&] { return link->KeyFramesSent() == 1; }));
    EXPECT_GT(offline.load(), 0) << "searching is reported as offline";
    ASSERT_TRUE(WaitFor([&] { return online > 0; }));
    EXPECT_EQ(registry->GetSeriOrTcp(), 0);

    // A short frame read by itself is filled to 72 bytes; the handler sees the fill.
    Bytes ack(kMaxFrameSize);
    ack.resize(AssembleFrame(ack, TypeByte(FrameType::Ack), Bytes{0}, device.key()));
    device.SendRaw(ack);
    Bytes filled = ack;
    filled.resize(72, 0x12);
    ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 1; }));
    EXPECT_EQ(link.delivered()[0], filled);

    // A device that pads its short frames itself is delivered as it sent them.
    device.SendAck();
    ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 2; }));
    EXPECT_EQ(link.delivered()[1].size(), 72u);
    EXPECT_EQ(link.delivered()[1].back(), kFrameEnd);

    // A device greets until the key frame reaches it, so a padded greeting can cross the key frame
    // and share a read with the device's next frame, which must not hide behind it.
    Bytes crossed = GreetingFrame();
    crossed.resize(72, 0x00);
    crossed.back() = kFrameEnd;
    crossed.insert(crossed.end(), ack.begin(), ack.end());
    device.SendRaw(crossed);
    ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 3; }));
    EXPECT_EQ(link.delivered()[2], filled);

    // A block frame that crosses the line in pieces is gathered whole.
    Bytes block(kMaxFrameSize), body = {5, 0};
    for (std::size_t i = 0; i < kBlockDataSize; ++i)
        body.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    block.resize(AssembleFrame(block, TypeByte(FrameType::Block), body, device.key()));
    ASSERT_TRUE(
        pty.writeInPieces(std::string(block.begin(), block.end()), 512, std::chrono::milliseconds(2)));
    ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 4; }));
    EXPECT_EQ(link.delivered()[3], block);

    // The host's frames reach the device over the same port.
    link->SendCommand(2, 1, 0);
    const auto command = device.ReadFrame();
    ASSERT_TRUE(command && command->checked());
    EXPECT_EQ(Bytes(command->clear.begin() + 2, command->clear.begin() + 6), (Bytes{2, 1, 0, 0}));

    // The device keeps scrambling with the key it had before: its tags are wrong.
    const LinkKey announced = device.key();
    device.SetKey(LinkKey{});
    for (std::size_t i = 1; i <= 3; ++i) {
        device.SendAck();
        ASSERT_TRUE(WaitFor([&] { return link.delivered().size() == 4 + i; }));
    }
    ASSERT_TRUE(device.ReadKeyFrame(std::chrono::seconds(20))) << "no new key after three wrong tags";
    EXPECT_TRUE(WaitFor([&] { return link->KeyFramesSent() == 2; }));
    EXPECT_TRUE(device.key() == link->currentKey());
    EXPECT_TRUE(link->previousKey() == announced);

    pty.closeMaster();
    ASSERT_TRUE(WaitFor([&] { return lastState == -1; }));
    registry->SetDeviceOnline(nullptr);
}

// The link's reads take a frame that is whole as it stands the moment its last byte is in, however
// long the line's quiet wait: a block, a record, and a short frame with the device's padding.
TEST_F(SerialLinkTest, AWholeFrameIsTakenWithoutWaitingForTheLineToFallQuiet)
{
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    libmarl::SerialPort port;
    port.setTimeoutRead(60'000);
    port.setChunkComplete(CSerialPort_SET::IsWholeFrame);
    port.setPort(pty.slavePath());
    ASSERT_EQ(port.serialOpen(), 0);
    for (const FrameType type : {FrameType::Block, FrameType::Record, FrameType::Ack}) {
        SCOPED_TRACE(static_cast<int>(type));
        std::string frame(kMaxFrameSize, '\0');
        frame.resize(AssembleFrame({reinterpret_cast<std::uint8_t*>(frame.data()), frame.size()},
                                   TypeByte(type), Bytes{1}, LinkKey{}));
        if (frame.size() < 72)
            frame.resize(71, '\0'), frame.push_back(static_cast<char>(kFrameEnd));
        auto read = std::async(std::launch::async, [&port] {
            std::string chunk;
            return port.serialRead(chunk) == 0 ? chunk : "read error";
        });
        ASSERT_TRUE(pty.write(frame));
        if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            pty.closeMaster();  // ends the read
            FAIL() << "the frame waited for the line to fall quiet";
        }
        EXPECT_EQ(read.get(), frame);
    }
}

// Ports are tried from the last listed: here noisy, silent, device, first. Data that is no greeting
// is refused, a silent port passed over, and once the device is found the search leaves the port
// listed first alone although a device greets there too.
TEST_F(SerialLinkTest, PortsAreTriedLastFirstPassingOverSilenceAndRefusingDataThatIsNoGreeting)
{
    PseudoTerminal first, device, silent, noisy;
    ASSERT_TRUE(first.ok() && device.ok() && silent.ok() && noisy.ok());
    SerialLink link({&first, &device, &silent, &noisy});
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        DevicePeer peer(PtyDeviceChannel(noisy), true);
        while (!stop && peer.Quiet(std::chrono::milliseconds(20)))
            peer.SendRaw(Bytes(20, 0x41));
    });

    ::testing::internal::CaptureStdout();
    DevicePeer greeter = GreetingDevice(device);
    DevicePeer firstDevice = GreetingDevice(first);
    const auto key = greeter.ReadKeyFrame(std::chrono::seconds(20));
    stop = true;
    noise.join();
    const std::string printed = ::testing::internal::GetCapturedStdout();

    ASSERT_TRUE(key);
    EXPECT_EQ(link->DevicePortName(), device.slavePath());
    EXPECT_NE(printed.find("Received Error: 41 41"), std::string::npos);
    EXPECT_NE(printed.find("realPort: " + device.slavePath()), std::string::npos);
    EXPECT_TRUE(silent.drain().empty());
    // The search that found the device has ended once the next one starts.
    const int searches = link->SearchesStarted();
    ASSERT_TRUE(WaitFor([&] { return link->SearchesStarted() > searches; }, std::chrono::seconds(20)));
    EXPECT_TRUE(first.drain().empty()) << "the port listed first was left alone";
    EXPECT_EQ(link->KeyFramesSent(), 1);
}

TEST_F(SerialLinkTest, HundredLinksComeAndGoWithoutLeaks)
{
    if (quillon::testing::kWindows)
        GTEST_SKIP()
            << "counts descriptors and threads in /proc, which a Windows program does not have (under "
               "Wine it shows Wine's own)";
    if (!std::filesystem::exists("/proc/self/fd"))
        GTEST_SKIP() << "needs /proc to count descriptors and threads";
    PseudoTerminal silent;
    ASSERT_TRUE(silent.ok());
    {
        SerialLink warmUp({&silent});
    }  // runtimes start helper threads of their own on first use
    const auto entriesIn = [](const char* folder) {
        return std::distance(std::filesystem::directory_iterator(folder),
                             std::filesystem::directory_iterator());
    };
    const auto descriptors = entriesIn("/proc/self/fd");
    const auto threads = entriesIn("/proc/self/task");
    for (int i = 0; i < 100; ++i) {
        SerialLink link({&silent});
        if (i % 25 == 24) {  // some go in the middle of a port trial, which takes seconds
            ASSERT_TRUE(WaitFor([&] { return link->SearchesStarted() == 1; }));
        }
    }
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
}

}  // namespace
