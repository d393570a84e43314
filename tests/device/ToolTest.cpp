// quillon-device run as its users run it: what it says about a wrong command line and with which
// exit code, and how a session with a real host ends it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "device/HostWithDevice.h"
#include "support/PseudoTerminalPair.h"
#include "support/SerialPortList.h"
#include "tools/ToolProcess.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;

const std::string kTool = QUILLON_DEVICE_PATH;

// The program's log, its lines ended as on POSIX (a Windows program's text-mode stream writes CR LF).
std::string LogText(const fs::path& log)
{
    std::string text = ReadBytes(log);
    std::erase(text, '\r');
    return text;
}

class DeviceTool : public ::testing::Test {
protected:
    ProcessResult Run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), kTool);
        return RunProcess(arguments, {.deadline = std::chrono::seconds(30)});
    }

    std::string state() const { return (folder_.path() / "state").string(); }

    TempFolder folder_;
};

TEST_F(DeviceTool, WrongCommandLinesExitWithTwoAndSayWhy)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{"--name", "SHORT"}, "exactly 12 characters"},
        {{"--name", "THIRTEEN-CHAR"}, "exactly 12 characters"},
        {{"--refuse", "delete"}, "delete"},
        {{"--refuse"}, "--refuse"},
        {{"--tcp", "localhost"}, "HOST:PORT"},
        {{"--tcp", ":8234"}, "names no host"},
        {{"--tcp", "127.0.0.1:0"}, "not a TCP port"},
        {{"--tcp", "127.0.0.1:65536"}, "not a TCP port"},
        {{"--tcp", "127.0.0.1:80x"}, "not a TCP port"},
        {{"--tcp", "127.0.0.1:8234", "--pty"}, "exclude each other"},
        {{"--serial", "/dev/null", "--pty"}, "exclude each other"},
        {{"--stop-acks-after", "-1"}, "--stop-acks-after"},
        {{"--corrupt-block", "two"}, "--corrupt-block"},
        {{"--delay", "-5"}, "--delay"},
        {{"--sessions", "0"}, "--sessions"},
        {{"--archive", "no-such-archive.zip"}, "no-such-archive.zip"},
        {{"--state"}, "--state"},
        {{"--bogus"}, "--bogus"},
        {{"stray"}, "stray"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " " + c.arguments[1] : ""));
        const ProcessResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(DeviceTool, HelpExplainsEveryOptionItsExitCodesAndGivesAnExample)
{
    const ProcessResult result = Run({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* option :
         {"--tcp HOST:PORT", "--serial PATH", "--pty", "--state DIR", "--archive ZIP", "--name NAME",
          "--refuse OP", "--silent", "--stop-acks-after N", "--corrupt-block N", "--wrong-index-block N",
          "--repeat-size", "--disconnect-after N", "--delay MS", "--line-rate", "--sessions N", "--verbose",
          "Exit codes:", "Examples:"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

TEST_F(DeviceTool, WhatCannotBeOpenedExitsWithOne)
{
    WriteBytes(folder_.path() / "file", "a file, not a folder");
    struct Case {
        std::vector<std::string> arguments;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{"--serial", (folder_.path() / "no-such-port").string(), "--state", state()},
         "cannot open the serial port"},
        {{"--state", (folder_.path() / "file" / "state").string()}, "state folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mentions);
        const ProcessResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
    }
}

TEST_F(DeviceTool, OverTcpTheSessionsAskedForEndTheProgram)
{
    const fs::path log = folder_.path() / "device.log";
    BackgroundProcess device({kTool, "--tcp", "127.0.0.1:8234", "--sessions", "1", "--state", state()}, log);
    ASSERT_TRUE(device.started());
    {
        CQuillon quillon;
        // The key frame goes out as the connection comes up; the device says when it has it.
        ASSERT_TRUE(WaitFor([&] {
            return LogText(log).find("keyed\n") != std::string::npos && Registry().GetSeriOrTcp() == 1;
        })) << "the device was never keyed";
        EXPECT_EQ(quillon.WriteFileVersion(1, 9), 0);
    }
    // The host has gone: the session is over, and so is the program.
    ASSERT_TRUE(WaitFor([&] { return !device.Running(); })) << "the program did not end";
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(ReadBytes(folder_.path() / "state" / "versions.txt"), "kind 1: 9\n");
    const std::string lines = LogText(log);
    for (const char* line : {"connected\n", "keyed\n", "version kind 1: 9 stored\n", "session ended"})
        EXPECT_NE(lines.find(line), std::string::npos) << line << " is not in:\n" << lines;
}

TEST_F(DeviceTool, OnAPseudoTerminalThePathComesFirstAndTheSessionEndsTheProgram)
{
    if (!PseudoTerminalPair::Supported())
        GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    const fs::path log = folder_.path() / "device.log";
    BackgroundProcess device({kTool, "--pty", "--sessions", "1", "--state", state()}, log);
    ASSERT_TRUE(device.started());
    const std::string path = device.ReadLine(10s);
    ASSERT_FALSE(path.empty()) << "no path on the first line";
    serial::pin_ports({path});
    {
        CQuillon quillon;
        ASSERT_TRUE(WaitFor(
            [&] {
                return LogText(log).find("keyed\n") != std::string::npos && Registry().GetSeriOrTcp() == 0;
            },
            20s))
            << "the host never found " << path;
        EXPECT_TRUE(quillon.JudgeIsAvailable());
    }
    ASSERT_TRUE(WaitFor([&] { return !device.Running(); })) << "the program did not end";
    EXPECT_EQ(device.Stop(), 0);
    const std::string lines = LogText(log);
    EXPECT_NE(lines.find("the host closed the port"), std::string::npos) << lines;
}

}  // namespace
}  // namespace quillon::testing
