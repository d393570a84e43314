// quillon-device run as its users run it: what it says about a command line it cannot serve and
// with which exit code, and how a session with a real host ends it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/LoopbackLink.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "support/serial/SerialPortList.h"
#include "support/tooling/PseudoTerminalPair.h"
#include "tools/ToolProcess.h"
#include "transfer/Quillon.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;

const std::string kTool = QUILLON_DEVICE_PATH;

class DeviceTool : public ::testing::Test {
protected:
    ProcessResult Run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), kTool);
        return RunProcess(arguments, {.deadline = std::chrono::seconds(30)});
    }

    // The program's log, its lines ended as on POSIX (a Windows program's text-mode stream writes CR LF).
    std::string Log() const
    {
        std::string text = ReadBytes(log_);
        std::erase(text, '\r');
        return text;
    }

    std::string state() const { return (folder_.path() / "state").string(); }

    TempFolder folder_;
    const fs::path log_ = folder_.path() / "device.log";
};

TEST_F(DeviceTool, CommandLinesItCannotServeSayWhyWithTheirExitCode)
{
    WriteBytes(folder_.path() / "file", "a file, not a folder");
    struct Case {
        std::vector<std::string> arguments;
        std::string mentions;
        int exitCode;  // 2: the command line is wrong; 1: what it names cannot be opened
    };
    const std::vector<Case> cases = {
        {{"--name", "SHORT"}, "exactly 12 characters", 2},
        {{"--name", "THIRTEEN-CHAR"}, "exactly 12 characters", 2},
        {{"--refuse", "delete"}, "delete", 2},
        {{"--refuse"}, "--refuse", 2},
        {{"--tcp", "localhost"}, "HOST:PORT", 2},
        {{"--tcp", ":8234"}, "names no host", 2},
        {{"--tcp", "127.0.0.1:0"}, "not a TCP port", 2},
        {{"--tcp", "127.0.0.1:65536"}, "not a TCP port", 2},
        {{"--tcp", "127.0.0.1:80x"}, "not a TCP port", 2},
        {{"--tcp", "127.0.0.1:8234", "--pty"}, "exclude each other", 2},
        {{"--serial", "/dev/null", "--pty"}, "exclude each other", 2},
        {{"--stop-acks-after", "-1"}, "--stop-acks-after", 2},
        {{"--corrupt-block", "two"}, "--corrupt-block", 2},
        {{"--delay", "-5"}, "--delay", 2},
        {{"--sessions", "0"}, "--sessions", 2},
        {{"--archive", "no-such-archive.zip"}, "no-such-archive.zip", 2},
        {{"--state"}, "--state", 2},
        {{"--bogus"}, "--bogus", 2},
        {{"stray"}, "stray", 2},
        {{"--serial", (folder_.path() / "no-such-port").string(), "--state", state()},
         "cannot open the serial port",
         1},
        {{"--state", (folder_.path() / "file" / "state").string()}, "state folder", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " " + c.arguments[1] : ""));
        const ProcessResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
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

// Over TCP the device connects to the host; on a pseudo-terminal it prints the path first, for the
// host to open.
class DeviceToolSession : public DeviceTool, public ::testing::WithParamInterface<bool> {
protected:
    bool pty() const { return GetParam(); }
};

TEST_P(DeviceToolSession, TheSessionsAskedForEndTheProgram)
{
    if (pty() && !PseudoTerminalPair::Supported())
        GTEST_SKIP() << "pseudo-terminals are not available on this platform";
    // A host on TCP listens before the device connects; one on a serial line opens the device's port.
    std::optional<CQuillon> quillon;
    if (!pty())
        quillon.emplace(LoopbackLink());
    std::vector<std::string> arguments = {kTool, "--sessions", "1", "--state", state()};
    arguments.insert(arguments.end(),
                     pty() ? std::initializer_list<std::string>{"--pty"}
                           : std::initializer_list<std::string>{
                                 "--tcp", "127.0.0.1:" + std::to_string(quillon->GetListeningPort())});
    BackgroundProcess device(arguments, log_);
    ASSERT_TRUE(device.started());
    if (pty()) {
        const std::string path = device.ReadLine(10s);
        ASSERT_FALSE(path.empty()) << "no path on the first line";
        serial::pin_ports({path});
        quillon.emplace(LoopbackLink());
    }
    // The device says when it has the key that the host sends as the link comes up.
    ASSERT_TRUE(WaitFor(
        [&] {
            return Log().find("keyed\n") != std::string::npos &&
                   CSysconfig_SET::get()->GetSeriOrTcp() == (pty() ? kSerialLink : kTcpLink);
        },
        20s))
        << "the host never found the device";
    EXPECT_EQ(quillon->WriteFileVersion(1, 9), 0);
    quillon.reset();
    // The host has gone: the session is over, and so is the program.
    ASSERT_TRUE(WaitFor([&] { return !device.Running(); })) << "the program did not end";
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(ReadBytes(folder_.path() / "state" / "versions.txt"), "kind 1: 9\n");
    const std::string lines = Log();
    for (const char* line : {pty() ? "the host closed the port" : "connected\n", "keyed\n",
                             "version kind 1: 9 stored\n", "session ended"})
        EXPECT_NE(lines.find(line), std::string::npos) << line << " is not in:\n" << lines;
}

INSTANTIATE_TEST_SUITE_P(Links, DeviceToolSession, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OnAPseudoTerminal" : "OverTcp"; });

}  // namespace
}  // namespace quillon::testing
