#include "support/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/PseudoTerminal.h"
#include "common/WaitFor.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quillon::testing::PseudoTerminal;
using quillon::testing::WaitFor;

// Every byte value, the line-ending and flow-control characters among them: a raw line passes them
// all through unchanged.
std::string AllByteValues()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Frame(std::size_t length, char fill)
{
    std::string frame(length, fill);
    frame.front() = '*';
    frame.back() = '#';
    for (std::size_t i = 1; i + 1 < length; ++i)
        frame[i] = static_cast<char>((i * 37 + static_cast<unsigned char>(fill)) & 0xFF);
    return frame;
}

struct PortSettings {
    int bufferSize = 5000;
    int readTimeout = 10;
    int sendSleep = 0;
};

void Configure(libmarl::SerialPort& port, const std::string& name, const PortSettings& settings)
{
    port.setBufferSize(settings.bufferSize);
    port.setBaud(115200);
    port.setTimeoutRead(settings.readTimeout);
    port.setSendSleep(settings.sendSleep);
    port.setPort(name);
}

// Reads until a non-empty chunk comes (a writer thread may not have started yet), at most tries reads.
int ReadFirstChunk(libmarl::SerialPort& port, std::string& chunk, int tries = 50)
{
    for (int i = 0; i < tries; ++i) {
        const int result = port.serialRead(chunk);
        if (result != 0 || !chunk.empty())
            return result;
    }
    return 0;
}

class SerialPortOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PseudoTerminal::Supported())
            GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
        ASSERT_TRUE(pty.ok()) << pty.error();
    }

    void Open(const PortSettings& settings)
    {
        Configure(port, pty.slavePath(), settings);
        ASSERT_EQ(port.serialOpen(), 0) << pty.slavePath();
    }

    PseudoTerminal pty;
    libmarl::SerialPort port;
};

TEST_F(SerialPortOnPty, OpensClosesAndReopens)
{
    Configure(port, pty.slavePath(), {});
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getPort(), pty.slavePath());

    ASSERT_EQ(port.serialOpen(), 0);
    EXPECT_TRUE(port.isOpen());
    EXPECT_NE(port.serialOpen(), 0) << "an open port is not opened twice";
    EXPECT_TRUE(port.isOpen());

    port.serialClose();
    EXPECT_FALSE(port.isOpen());
    port.serialClose();  // closing a closed port does nothing
    EXPECT_FALSE(port.isOpen());

    ASSERT_EQ(port.serialOpen(), 0);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPort(), pty.slavePath());
}

TEST(SerialPort, OpenFailuresReturnAnErrorNumberAndLeaveThePortClosed)
{
    const std::string regularFile = ::testing::TempDir() + "quillon_not_a_tty.txt";
    std::ofstream(regularFile) << "not a serial port";

    struct Case {
        const char* name;
        std::string port;
        int baud;
    };
    const std::vector<Case> cases = {
        {"missing path", "/nonexistent/quillon-tty", 115200},
        {"empty name", "", 115200},
        {"regular file", regularFile, 115200},
        {"directory", ::testing::TempDir(), 115200},
    };
    for (const auto& c : cases) {
        libmarl::SerialPort port;
        port.setBaud(c.baud);
        port.setPort(c.port);
        EXPECT_NE(port.serialOpen(), 0) << c.name;
        EXPECT_FALSE(port.isOpen()) << c.name;
        std::string chunk = "stale";
        EXPECT_NE(port.serialRead(chunk), 0) << c.name;
        EXPECT_TRUE(chunk.empty()) << c.name;
        EXPECT_EQ(port.send("x", 1), -1) << c.name;
    }
    std::remove(regularFile.c_str());
}

TEST_F(SerialPortOnPty, UnusableBaudRatesAreRefused)
{
    for (const int baud : {0, -9600, 123457}) {
        libmarl::SerialPort port;
        port.setBaud(baud);
        port.setPort(pty.slavePath());
        EXPECT_NE(port.serialOpen(), 0) << baud;
        EXPECT_FALSE(port.isOpen()) << baud;
    }
}

TEST_F(SerialPortOnPty, ReadOnAQuietLineReturnsEmptyAfterTheTimeout)
{
    constexpr int kTimeout = 50;
    Open({.readTimeout = kTimeout});
    std::string chunk = "stale";
    const auto start = Clock::now();
    EXPECT_EQ(port.serialRead(chunk), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_TRUE(chunk.empty());
    EXPECT_GE(elapsed, std::chrono::milliseconds(kTimeout));
}

TEST_F(SerialPortOnPty, ReadReturnsWhatArrivedUnchanged)
{
    Open({.readTimeout = 100});
    const std::string sent = AllByteValues() + "\r\n\n\r" + AllByteValues();
    ASSERT_TRUE(pty.write(sent));
    std::string chunk;
    ASSERT_EQ(ReadFirstChunk(port, chunk), 0);
    EXPECT_EQ(chunk, sent);
    EXPECT_EQ(pty.drain(), "") << "the line echoed what it received";
}

TEST_F(SerialPortOnPty, OpeningMakesACookedLineRaw)
{
    // Without raw mode the line would hold bytes back until a line end, echo them to the device,
    // turn CR into NL on the way in and NL into CR NL on the way out, and swallow ^S and ^Q.
    ASSERT_TRUE(pty.makeSlaveCooked());
    Open({.readTimeout = 100});
    const std::string fromDevice = std::string("*\x13\x11\x03\x04\x7f\r", 7) + AllByteValues();
    ASSERT_TRUE(pty.write(fromDevice));
    std::string chunk;
    ASSERT_EQ(ReadFirstChunk(port, chunk), 0);
    EXPECT_EQ(chunk, fromDevice);

    const std::string toDevice = "\n\r*\n#";
    ASSERT_EQ(port.send(toDevice.data(), static_cast<int>(toDevice.size())),
              static_cast<int>(toDevice.size()));
    EXPECT_EQ(pty.read(toDevice.size()), toDevice);
    EXPECT_EQ(pty.drain(), "") << "the line echoed or added bytes";
}

TEST_F(SerialPortOnPty, AFrameWrittenInPiecesWithShortGapsArrivesAsOneChunk)
{
    // The gaps are far below the read time-out, so only a read that stopped at the first quiet
    // moment of a byte-by-byte line would cut the frame.
    struct Case {
        const char* name;
        std::string frame;
        std::size_t pieceSize;
        std::chrono::milliseconds gap;
    };
    const std::vector<Case> cases = {
        {"18-byte frame byte by byte", Frame(18, 'a'), 1, 1ms},
        {"72-byte frame in 8-byte pieces", Frame(72, 'b'), 8, 2ms},
        {"4104-byte frame in 256-byte pieces", Frame(4104, 'c'), 256, 2ms},
    };
    Open({.readTimeout = 300});
    for (const auto& c : cases) {
        std::thread writer([&] { EXPECT_TRUE(pty.writeInPieces(c.frame, c.pieceSize, c.gap)) << c.name; });
        std::string chunk;
        EXPECT_EQ(ReadFirstChunk(port, chunk), 0) << c.name;
        writer.join();
        EXPECT_EQ(chunk.size(), c.frame.size()) << c.name;
        EXPECT_EQ(chunk, c.frame) << c.name;
    }
}

TEST_F(SerialPortOnPty, WritesFurtherApartThanTheTimeoutArriveAsSeparateChunks)
{
    constexpr int kTimeout = 40;
    Open({.readTimeout = kTimeout});
    const std::string first = Frame(18, 'x');
    const std::string second = Frame(72, 'y');
    std::thread writer([&] {
        EXPECT_TRUE(pty.write(first));
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * kTimeout)); // the pause between two frames
        EXPECT_TRUE(pty.write(second));
    });
    std::vector<std::string> chunks;
    const auto deadline = Clock::now() + 10s;
    while (chunks.size() < 2 && Clock::now() < deadline) {
        std::string chunk;
        ASSERT_EQ(port.serialRead(chunk), 0);
        if (!chunk.empty())
            chunks.push_back(chunk);
    }
    writer.join();
    EXPECT_EQ(chunks, (std::vector<std::string>{first, second}));
}

TEST_F(SerialPortOnPty, TheBufferSizeCapsAChunk)
{
    struct Case {
        int bufferSize;
        std::size_t written;
        std::vector<std::size_t> chunkSizes;
    };
    const std::vector<Case> cases = {
        {10, 25, {10, 10, 5}},
        {1, 3, {1, 1, 1}},
        {5000, 4104, {4104}},
        {4096, 5000, {4096, 904}},
        {0, 2, {1, 1}},  // a size below one still lets a byte through
    };
    for (const auto& c : cases) {
        libmarl::SerialPort port;
        // A pseudo-terminal passes more than 4096 bytes in two batches; the quiet time is far above
        // the moment between them.
        Configure(port, pty.slavePath(), {.bufferSize = c.bufferSize, .readTimeout = 100});
        ASSERT_EQ(port.serialOpen(), 0);
        const std::string sent = Frame(c.written, 'k');
        ASSERT_TRUE(pty.write(sent));
        std::string received;
        std::vector<std::size_t> sizes;
        while (received.size() < sent.size()) {
            std::string chunk;
            ASSERT_EQ(ReadFirstChunk(port, chunk), 0) << c.bufferSize;
            ASSERT_FALSE(chunk.empty()) << c.bufferSize;
            sizes.push_back(chunk.size());
            received += chunk;
        }
        EXPECT_EQ(sizes, c.chunkSizes) << "buffer size " << c.bufferSize;
        EXPECT_EQ(received, sent) << "buffer size " << c.bufferSize;
    }
}

TEST_F(SerialPortOnPty, AClosedPeerIsAPortErrorNotAQuietLine)
{
    struct Case {
        const char* name;
        std::string pending;  // written by the peer just before it goes away
    };
    for (const Case& c : {Case{"nothing pending", ""}, Case{"bytes pending", Frame(18, 'p')}}) {
        PseudoTerminal line;
        ASSERT_TRUE(line.ok()) << line.error();
        libmarl::SerialPort port;
        Configure(port, line.slavePath(), {.readTimeout = 10});
        ASSERT_EQ(port.serialOpen(), 0);
        ASSERT_TRUE(line.write(c.pending));
        line.closeMaster();

        // Whatever was pending may still come first, but the hang-up must surface within a few
        // reads and stay: a caller that keeps reading gets the error, never endless empty reads.
        std::string received;
        int result = 0;
        for (int i = 0; i < 5 && result == 0; ++i) {
            std::string chunk;
            result = port.serialRead(chunk);
            received += chunk;
        }
        EXPECT_NE(result, 0) << c.name;
        EXPECT_EQ(c.pending.compare(0, received.size(), received), 0) << c.name << ": got bytes never sent";
        std::string chunk;
        EXPECT_NE(port.serialRead(chunk), 0) << c.name;
        EXPECT_EQ(port.send("abc", 3), -1) << c.name;
        port.serialClose();
        EXPECT_FALSE(port.isOpen()) << c.name;
    }
}

TEST_F(SerialPortOnPty, SendArrivesByteExactAndThenPauses)
{
    constexpr int kSendSleep = 30;
    Open({.sendSleep = kSendSleep});
    const std::string frame = AllByteValues() + "\r\n" + Frame(72, 'q');
    const auto start = Clock::now();
    EXPECT_EQ(port.send(frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kSendSleep));
    EXPECT_EQ(pty.read(frame.size()), frame);
    EXPECT_EQ(pty.drain(), "");
}

TEST_F(SerialPortOnPty, SendRejectsBadArgumentsAndSendsNothing)
{
    Open({});
    EXPECT_EQ(port.send("abc", -1), -1);
    EXPECT_EQ(port.send(nullptr, 3), -1);
    EXPECT_EQ(port.send(nullptr, 0), 0);
    EXPECT_EQ(port.send("abc", 0), 0);
    ASSERT_EQ(port.send("z", 1), 1);
    EXPECT_EQ(pty.read(2, 200ms), "z");
}

TEST_F(SerialPortOnPty, ABlockFrameIsSentWhole)
{
    Open({});
    const std::string block = Frame(4104, 'w');
    std::string received;
    std::thread device([&] { received = pty.read(block.size()); });
    EXPECT_EQ(port.send(block.data(), static_cast<int>(block.size())), static_cast<int>(block.size()));
    device.join();
    EXPECT_EQ(received, block);
}

TEST_F(SerialPortOnPty, SendsFromAnotherThreadWhileAReadIsBlocked)
{
    Open({.readTimeout = 20});
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<std::size_t> receivedCount{0};
    std::string received;  // the reader's until it is joined
    int readError = 0;
    std::thread reader([&] {
        while (!stop) {
            std::string chunk;
            readError = port.serialRead(chunk);
            if (readError != 0)
                return;
            received += chunk;
            receivedCount = received.size();
            ++reads;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return reads > 0; })) << "the reader never came back from a read";

    // Host frames go out while the reader sits in its reads; the device answers each one.
    std::string expected;
    std::string answers;
    for (int i = 0; i < 20; ++i) {
        const std::string frame = Frame(72, static_cast<char>('A' + i));
        expected += frame;
        EXPECT_EQ(port.send(frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
        const std::string answer = Frame(10, static_cast<char>('a' + i));
        answers += answer;
        EXPECT_TRUE(pty.write(answer));
    }
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(WaitFor([&] { return receivedCount >= answers.size(); }));
    stop = true;
    reader.join();
    EXPECT_EQ(readError, 0);
    EXPECT_EQ(received, answers);
}

TEST_F(SerialPortOnPty, CloseWhileAnotherThreadReadsEndsItsReadsWithAnError)
{
    // Each read waits long, so the close nearly always meets one in progress, which it lets finish.
    Open({.readTimeout = 200});
    std::atomic<int> reads{0};
    int result = 0;
    std::thread reader([&] {
        std::string chunk;
        while ((result = port.serialRead(chunk)) == 0)
            ++reads;
    });
    ASSERT_TRUE(WaitFor([&] { return reads > 0; }));
    port.serialClose();
    reader.join();
    EXPECT_NE(result, 0);
    EXPECT_FALSE(port.isOpen());
}

}  // namespace
