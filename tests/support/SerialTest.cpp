#include "support/hostapi/Serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "common/PseudoTerminal.h"

namespace {

using namespace std::chrono_literals;
using quillon::testing::PseudoTerminal;

TEST(SerialExceptions, OnlyIOExceptionKeepsAMessageAndItNamesTheErrorNumberAndPlace)
{
    EXPECT_STREQ(serial::SerialException("port busy").what(), "");
    EXPECT_STREQ(serial::PortNotOpenedException("Serial::read").what(), "");

    struct Case {
        const char* file;
        int line;
        int errorNumber;
        const char* description;  // the description form when set
    };
    const std::vector<Case> cases = {
        {"port.cpp", 42, EIO, nullptr},
        {"port.cpp", 9, 0, "lost the line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const serial::IOException error = c.description ? serial::IOException(c.file, c.line, c.description)
                                                        : serial::IOException(c.file, c.line, c.errorNumber);
        const std::string message = error.what();
        EXPECT_NE(message.find(std::string(c.file) + ":" + std::to_string(c.line)), std::string::npos)
            << message;
        EXPECT_EQ(message.find("lost the line"), std::string::npos) << "the description is not kept";
        EXPECT_TRUE(c.errorNumber == 0 || message.find(std::to_string(c.errorNumber)) != std::string::npos)
            << message;
        // A copy has the message, the line and the error number, but not the file name.
        const serial::IOException copy(error);
        for (const serial::IOException* e : {&error, &copy}) {
            EXPECT_STREQ(e->what(), message.c_str());
            EXPECT_EQ(e->getErrorNumber(), c.errorNumber);
            EXPECT_EQ(e->getLine(), c.line);
            EXPECT_EQ(e->getFile(), e == &error ? c.file : "");
        }
    }
}

TEST(Serial, OpenFailuresThrowIOExceptionWithTheErrorNumberAndAClosedPortThrowsPortNotOpened)
{
    struct Case {
        serial::bytesize_t bytesize;
        serial::parity_t parity;
        int errorNumber;
    };
    const std::vector<Case> cases = {
        {serial::eightbits, serial::parity_none, ENOENT},  // no such path
        {serial::sevenbits, serial::parity_none, EINVAL},
        {serial::eightbits, serial::parity_even, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.errorNumber);
        try {
            serial::Serial port("/nonexistent/quillon-tty", 115200, serial::Timeout(), c.bytesize, c.parity,
                                serial::stopbits_one, serial::flowcontrol_none);
            ADD_FAILURE() << "opened";
        } catch (const serial::IOException& error) {
            EXPECT_EQ(error.getErrorNumber(), c.errorNumber);
        }
    }
    serial::Serial unnamed;
    EXPECT_THROW(unnamed.open(), serial::IOException);
    EXPECT_FALSE(unnamed.isOpen());
    EXPECT_THROW(unnamed.read(1), serial::PortNotOpenedException);
    EXPECT_THROW(unnamed.write("x"), serial::PortNotOpenedException);
}

TEST(Serial, OnAPseudoTerminalReadsWithinItsTimeoutsAndThrowsOnceTheLineIsLost)
{
    if (!PseudoTerminal::Supported())
        GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(10, 100, 0, 0, 0), serial::eightbits,
                        serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.write(std::string("\x2A\x00\r\n#", 5)), 5u);
    EXPECT_EQ(pty.read(5), std::string("\x2A\x00\r\n#", 5));
    ASSERT_TRUE(pty.write("0123456789"));
    EXPECT_EQ(port.read(4), "0123");  // the rest waits for the next read
    EXPECT_EQ(port.read(100), "456789");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(10), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms) << "a quiet line is waited on in all";

    pty.closeMaster();
    EXPECT_THROW(port.read(1), serial::IOException);
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_THROW(port.read(1), serial::PortNotOpenedException);
}

}  // namespace
