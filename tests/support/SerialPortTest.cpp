#include "support/serial/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
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
    std::string bytes(256, '\0');
    for (int value = 0; value < 256; ++value)
        bytes[value] = static_cast<char>(value);
    return bytes;
}

// '*', a pattern that depends on fill, '#'.
std::string Frame(std::size_t length, char fill)
{
    std::string frame(length, '#');
    frame.front() = '*';
    for (std::size_t i = 1; i + 1 < length; ++i)
        frame[i] = static_cast<char>((i * 37 + static_cast<unsigned char>(fill)) & 0xFF);
    return frame;
}

int Send(libmarl::SerialPort& port, const std::string& bytes)
{
    return port.send(bytes.data(), static_cast<int>(bytes.size()));
}

struct PortSettings {
    int bufferSize = 5000;
    int readTimeout = 10;
    int sendSleep = 0;
    int baud = 115200;
};

// (Re)opens port on the line: 0, or the error of serialOpen.
int OpenPort(libmarl::SerialPort& port, const std::string& line, const PortSettings& settings)
{
    port.serialClose();
    port.setBufferSize(settings.bufferSize);
    port.setBaud(settings.baud);
    port.setTimeoutRead(settings.readTimeout);
    port.setSendSleep(settings.sendSleep);
    port.setPort(line);
    return port.serialOpen();
}

class SerialPortOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PseudoTerminal::Supported())
            GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
        ASSERT_TRUE(pty.ok()) << pty.error();
    }

    int Open(const PortSettings& settings) { return OpenPort(port, pty.slavePath(), settings); }

    // The first chunk that is not empty, within a few reads (a writer thread may not have started yet).
    std::string ReadChunk()
    {
        std::string chunk;
        for (int i = 0; i < 50 && chunk.empty(); ++i)
            if (const int result = port.serialRead(chunk); result != 0) {
                ADD_FAILURE() << "read error " << result;
                break;
            }
        return chunk;
    }

    PseudoTerminal pty;
    libmarl::SerialPort port;
};

TEST(SerialPort, OpenFailuresReturnAnErrorNumberAndLeaveThePortClosed)
{
    const std::string regularFile = ::testing::TempDir() + "quillon_not_a_tty.txt";
    std::ofstream(regularFile) << "not a serial port";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"missing path", "/nonexistent/quillon-tty"},
        {"empty name", ""},
        {"regular file", regularFile},
        {"directory", ::testing::TempDir()},
    };
    for (const auto& [name, path] : cases) {
        SCOPED_TRACE(name);
        libmarl::SerialPort port;
        EXPECT_NE(OpenPort(port, path, {}), 0);
        EXPECT_FALSE(port.isOpen());
        std::string chunk = "stale";
        EXPECT_NE(port.serialRead(chunk), 0);
        EXPECT_TRUE(chunk.empty());
        EXPECT_EQ(port.send("x", 1), -1);
    }
    std::remove(regularFile.c_str());
}

TEST_F(SerialPortOnPty, OpensOnceClosesAndReopensButRefusesUnusableBaudRates)
{
    EXPECT_FALSE(port.isOpen());
    for (const int baud : {0, -9600, 123457}) {
        EXPECT_NE(Open({.baud = baud}), 0) << baud;
        EXPECT_FALSE(port.isOpen()) << baud;
    }
    ASSERT_EQ(Open({}), 0);
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

TEST_F(SerialPortOnPty, EveryByteCrossesUnchangedEvenOnALineLeftCooked)
{
    // Without raw mode the line would hold bytes back until a line end, echo them to the device,
    // turn CR into NL on the way in and NL into CR NL on the way out, and swallow ^S and ^Q.
    const std::string fromDevice =
        std::string("*\x13\x11\x03\x04\x7f\r\r\n\n\r", 11) + AllByteValues() + AllByteValues();
    const std::string toDevice = "\n\r*\n#";
    for (const bool cooked : {false, true}) {
        SCOPED_TRACE(cooked ? "cooked" : "raw");
        port.serialClose();
        ASSERT_TRUE(!cooked || pty.makeSlaveCooked());
        ASSERT_EQ(Open({.readTimeout = 100}), 0);
        ASSERT_TRUE(pty.write(fromDevice));
        EXPECT_EQ(ReadChunk(), fromDevice);
        ASSERT_EQ(Send(port, toDevice), static_cast<int>(toDevice.size()));
        EXPECT_EQ(pty.read(toDevice.size()), toDevice);
        EXPECT_EQ(pty.drain(), "") << "the line echoed or added bytes";
    }
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
    ASSERT_EQ(Open({.readTimeout = 300}), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread writer([&] { EXPECT_TRUE(pty.writeInPieces(c.frame, c.pieceSize, c.gap)); });
        const std::string chunk = ReadChunk();
        writer.join();
        EXPECT_EQ(chunk.size(), c.frame.size());
        EXPECT_EQ(chunk, c.frame);
    }
}

TEST_F(SerialPortOnPty, AReadEndsOnceTheLineIsQuietForTheTimeoutSoFramesFurtherApartArriveApart)
{
    constexpr int kTimeout = 40;
    ASSERT_EQ(Open({.readTimeout = kTimeout}), 0);
    std::string chunk = "stale";
    const auto start = Clock::now();
    EXPECT_EQ(port.serialRead(chunk), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kTimeout));
    EXPECT_TRUE(chunk.empty()) << "a read on a quiet line returns nothing";

    const std::string first = Frame(18, 'x'), second = Frame(72, 'y');
    std::thread writer([&] {
        EXPECT_TRUE(pty.write(first));
        std::this_thread::sleep_for(
            std::chrono::milliseconds(10 * kTimeout));  // the pause between two frames
        EXPECT_TRUE(pty.write(second));
    });
    std::vector<std::string> chunks;
    for (const auto deadline = Clock::now() + 10s; chunks.size() < 2 && Clock::now() < deadline;) {
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
        {10, 25, {10, 10, 5}},     {1, 3, {1, 1, 1}}, {5000, 4104, {4104}},
        {4096, 5000, {4096, 904}}, {0, 2, {1, 1}},  // a size below one still lets a byte through
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("buffer size " + std::to_string(c.bufferSize));
        // A pseudo-terminal passes more than 4096 bytes in two batches; the quiet time is far above
        // the moment between them.
        ASSERT_EQ(Open({.bufferSize = c.bufferSize, .readTimeout = 100}), 0);
        const std::string sent = Frame(c.written, 'k');
        ASSERT_TRUE(pty.write(sent));
        std::string received;
        std::vector<std::size_t> sizes;
        while (received.size() < sent.size()) {
            const std::string chunk = ReadChunk();
            ASSERT_FALSE(chunk.empty());
            sizes.push_back(chunk.size());
            received += chunk;
        }
        EXPECT_EQ(sizes, c.chunkSizes);
        EXPECT_EQ(received, sent);
    }
}

TEST_F(SerialPortOnPty, AClosedPeerIsAPortErrorNotAQuietLine)
{
    for (const std::string& pending : {std::string(), Frame(18, 'p')}) {  // written just before the peer goes
        SCOPED_TRACE(pending.empty() ? "nothing pending" : "bytes pending");
        PseudoTerminal line;
        ASSERT_TRUE(line.ok()) << line.error();
        ASSERT_EQ(OpenPort(port, line.slavePath(), {}), 0);
        ASSERT_TRUE(line.write(pending));
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
        EXPECT_NE(result, 0);
        EXPECT_EQ(pending.compare(0, received.size(), received), 0) << "got bytes never sent";
        EXPECT_NE(port.serialRead(received), 0);
        EXPECT_EQ(port.send("abc", 3), -1);
        port.serialClose();
        EXPECT_FALSE(port.isOpen());
    }
}

TEST_F(SerialPortOnPty, SendWritesABlockWholeThenPausesAndRefusesBadArguments)
{
    constexpr int kSendSleep = 30;
    ASSERT_EQ(Open({.sendSleep = kSendSleep}), 0);
    EXPECT_EQ(port.send("abc", -1), -1);
    EXPECT_EQ(port.send(nullptr, 3), -1);
    EXPECT_EQ(port.send(nullptr, 0), 0);
    EXPECT_EQ(port.send("abc", 0), 0);

    const std::string block = AllByteValues() + "\r\n" + Frame(4104, 'w');
    std::string received;
    std::thread device([&] { received = pty.read(block.size()); });
    const auto start = Clock::now();
    EXPECT_EQ(Send(port, block), static_cast<int>(block.size()));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kSendSleep));
    device.join();
    EXPECT_EQ(received, block) << "the refused sends must have written nothing";
    EXPECT_EQ(pty.drain(), "");
}

TEST_F(SerialPortOnPty, SendsAndACloseFromAnotherThreadWhileAReadIsUnderWay)
{
    ASSERT_EQ(Open({.readTimeout = 20}), 0);
    std::atomic<int> reads{0};
    std::atomic<std::size_t> receivedCount{0};
    std::atomic<bool> readerEnded{false};
    std::string received;  // the reader's until it is joined
    int readError = 0;
    std::thread reader([&] {
        for (std::string chunk; (readError = port.serialRead(chunk)) == 0; ++reads)
            receivedCount = (received += chunk).size();
        readerEnded = true;
    });
    ASSERT_TRUE(WaitFor([&] { return reads > 0; })) << "the reader never came back from a read";

    // Host frames go out while the reader sits in its reads; the device answers each one.
    std::string expected, answers;
    for (int i = 0; i < 20; ++i) {
        const std::string frame = Frame(72, char('A' + i)), answer = Frame(10, char('a' + i));
        expected += frame;
        answers += answer;
        EXPECT_EQ(Send(port, frame), static_cast<int>(frame.size()));
        EXPECT_TRUE(pty.write(answer));
    }
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(WaitFor([&] { return receivedCount >= answers.size(); }));
    EXPECT_FALSE(readerEnded) << "a read failed while sends went out";

    // The reader is nearly always inside a read now; the close lets it finish, and the next one fails.
    port.serialClose();
    reader.join();
    EXPECT_NE(readError, 0);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(received, answers);
}

}  // namespace
