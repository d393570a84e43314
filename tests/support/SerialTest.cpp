#include "support/hostapi/Serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/PseudoTerminal.h"

namespace {

using namespace std::chrono_literals;
using quillon::testing::PseudoTerminal;

TEST(SerialExceptions, DescriptionsAreNotKept)
{
    const serial::SerialException serialError("port busy");
    const serial::PortNotOpenedException notOpened("Serial::read");
    EXPECT_STREQ(serialError.what(), "");
    EXPECT_STREQ(notOpened.what(), "");
    const serial::SerialException serialCopy(serialError);
    const serial::PortNotOpenedException notOpenedCopy(notOpened);
    EXPECT_STREQ(serialCopy.what(), "");
    EXPECT_STREQ(notOpenedCopy.what(), "");
}

TEST(SerialExceptions, IOExceptionKeepsItsErrorNumberAndPlace)
{
    struct Case {
        const char* name;
        const char* file;
        int line;
        int errorNumber;
        const char* description;  // the description form when set
    };
    const std::vector<Case> cases = {
        {"error number", "port.cpp", 42, EIO, nullptr},
        {"another error number", "a/b.cpp", 7, ENOENT, nullptr},
        {"description", "port.cpp", 9, 0, "lost the line"},
    };
    for (const auto& c : cases) {
        const serial::IOException error = c.description ? serial::IOException(c.file, c.line, c.description)
                                                        : serial::IOException(c.file, c.line, c.errorNumber);
        EXPECT_EQ(error.getFile(), c.file) << c.name;
        const std::string message = error.what();
        EXPECT_NE(message.find(std::string(c.file) + ":" + std::to_string(c.line)), std::string::npos)
            << message;
        EXPECT_EQ(message.find("lost the line"), std::string::npos) << "the description is not kept";
        EXPECT_EQ(error.getErrorNumber(), c.errorNumber) << c.name;
        EXPECT_EQ(error.getLine(), c.line) << c.name;
        if (c.errorNumber != 0) {
            EXPECT_NE(message.find(std::to_string(c.errorNumber)), std::string::npos) << message;
        }

        // A copy has the message, the line and the error number, but not the file name.
        const serial::IOException copy(error);
        EXPECT_STREQ(copy.what(), error.what()) << c.name;
        EXPECT_EQ(copy.getErrorNumber(), c.errorNumber) << c.name;
        EXPECT_EQ(copy.getLine(), c.line) << c.name;
        EXPECT_EQ(copy.getFile(), "") << c.name;
    }
}

TEST(Serial, ReadAndWriteOnAClosedPortThrowPortNotOpened)
{
    serial::Serial port;
    EXPECT_THROW(port.read(1), serial::PortNotOpenedException);
    EXPECT_THROW(port.write("x"), serial::PortNotOpenedException);
}

TEST(Serial, OpenFailuresThrowIOExceptionWithTheErrorNumber)
{
    struct Case {
        const char* name;
        std::string port;
        serial::bytesize_t bytesize;
        serial::parity_t parity;
        int errorNumber;
    };
    const std::vector<Case> cases = {
        {"missing path", "/nonexistent/quillon-tty", serial::eightbits, serial::parity_none, ENOENT},
        {"seven data bits", "/nonexistent/quillon-tty", serial::sevenbits, serial::parity_none, EINVAL},
        {"even parity", "/nonexistent/quillon-tty", serial::eightbits, serial::parity_even, EINVAL},
    };
    for (const auto& c : cases) {
        try {
            serial::Serial port(c.port, 115200, serial::Timeout(), c.bytesize, c.parity, serial::stopbits_one,
                                serial::flowcontrol_none);
            ADD_FAILURE() << c.name << ": opened";
        } catch (const serial::IOException& error) {
            EXPECT_EQ(error.getErrorNumber(), c.errorNumber) << c.name;
        }
    }
    serial::Serial unnamed;
    EXPECT_THROW(unnamed.open(), serial::IOException);
    EXPECT_FALSE(unnamed.isOpen());
}

class SerialOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PseudoTerminal::Supported())
            GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
        ASSERT_TRUE(pty.ok()) << pty.error();
    }
    PseudoTerminal pty;
};

TEST_F(SerialOnPty, WritesAndReadsBytes)
{
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(50, 2000, 0, 0, 0), serial::eightbits,
                        serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.write(std::string("\x2A\x00\r\n#", 5)), 5u);
    EXPECT_EQ(pty.read(5), std::string("\x2A\x00\r\n#", 5));

    ASSERT_TRUE(pty.write("0123456789"));
    EXPECT_EQ(port.read(4), "0123");  // the rest waits for the next read
    EXPECT_EQ(port.read(100), "456789");
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_THROW(port.read(1), serial::PortNotOpenedException);
}

TEST_F(SerialOnPty, AReadWaitsForTheTotalTimeoutWhenNothingComes)
{
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(10, 100, 0, 0, 0), serial::eightbits,
                        serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(10), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST_F(SerialOnPty, ALostLineThrowsIOException)
{
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(10, 0, 0, 0, 0), serial::eightbits,
                        serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    pty.closeMaster();
    EXPECT_THROW(port.read(1), serial::IOException);
}

}  // namespace
