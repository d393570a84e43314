#include "support/serial/SerialPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/PseudoTerminal.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quillon::testing::PseudoTerminal;

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
    std::string chunk = "stale";
    const auto start = Clock::now();
    EXPECT_EQ(port.serialRead(chunk), 0);
    EXPECT_GE(Clock::now() - start, 10ms) << "a read waits the read time-out for a first byte";
    EXPECT_TRUE(chunk.empty()) << "a read on a quiet line returns nothing";
}

TEST_F(SerialPortOnPty, EveryByteCrossesUnchangedEvenOnALineLeftCookedAndASendPausesAfterItsBlock)
{
    // Without raw mode the line would hold bytes back until a line end, echo them to the device,
    // turn CR into NL on the way in and NL into CR NL on the way out, and swallow ^S and ^Q.
    const std::string fromDevice =
        std::string("*\x13\x11\x03\x04\x7f\r\r\n\n\r", 11) + AllByteValues() + AllByteValues();
    const std::string toDevice = "\n\r*\n#" + AllByteValues() + Frame(4104, 'w');
    constexpr int kSendSleep = 30;
    for (const bool cooked : {false, true}) {
        SCOPED_TRACE(cooked ? "cooked" : "raw");
        port.serialClose();
        ASSERT_TRUE(!cooked || pty.makeSlaveCooked());
        ASSERT_EQ(Open({.readTimeout = 100, .sendSleep = kSendSleep}), 0);
        ASSERT_TRUE(pty.write(fromDevice));
        EXPECT_EQ(ReadChunk(), fromDevice);

        EXPECT_EQ(port.send("abc", -1), -1);
        EXPECT_EQ(port.send(nullptr, 3), -1);
        EXPECT_EQ(port.send(nullptr, 0), 0);
        EXPECT_EQ(port.send("abc", 0), 0);
        std::string received;
        std::thread device([&] { received = pty.read(toDevice.size()); });
        const auto start = Clock::now();
        EXPECT_EQ(Send(port, toDevice), static_cast<int>(toDevice.size()));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kSendSleep));
        device.join();
        EXPECT_EQ(received, toDevice) << "the refused sends must have written nothing";
        EXPECT_EQ(pty.drain(), "") << "the line echoed or added bytes";
    }
}

// A read gathers bytes until the line has been quiet for the read time-out or the buffer is full.
TEST_F(SerialPortOnPty, AChunkEndsAtAQuietTimeOrAFullBuffer)
{
    struct Case {
        const char* name;
        int bufferSize;
        int readTimeout;
        std::size_t written;
        std::size_t pieceSize;  // written in pieces of this size, gap apart
        std::chrono::milliseconds gap;
        std::vector<std::size_t> chunkSizes;
    };
    // Gaps far below the read time-out must not cut a frame, as a read that stopped at the first
    // quiet moment of a byte-by-byte line would; a pause far above it must. A pseudo-terminal passes
    // more than 4096 bytes in two batches, a moment apart, far below the time-out.
    const std::vector<Case> cases = {
        {"byte by byte", 5000, 300, 18, 1, 1ms, {18}},
        {"in 8-byte pieces", 5000, 300, 72, 8, 2ms, {72}},
        {"in 256-byte pieces", 5000, 300, 4104, 256, 2ms, {4104}},
        {"two frames, a pause apart", 5000, 40, 144, 72, 400ms, {72, 72}},
        {"buffer of 10", 10, 100, 25, 25, 0ms, {10, 10, 5}},
        {"buffer of 1", 1, 100, 3, 3, 0ms, {1, 1, 1}},
        {"buffer of 4096", 4096, 100, 5000, 5000, 0ms, {4096, 904}},
        {"buffer below one still lets a byte through", 0, 100, 2, 2, 0ms, {1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Open({.bufferSize = c.bufferSize, .readTimeout = c.readTimeout}), 0);
        const std::string sent = Frame(c.written, c.name[0]);
        std::thread writer([&] { EXPECT_TRUE(pty.writeInPieces(sent, c.pieceSize, c.gap)); });
        std::string received;
        std::vector<std::size_t> sizes;
        while (received.size() < sent.size()) {
            const std::string chunk = ReadChunk();
            if (chunk.empty())
                break;
            sizes.push_back(chunk.size());
            received += chunk;
        }
        writer.join();
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

}  // namespace
