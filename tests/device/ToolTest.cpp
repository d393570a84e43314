// quillon-device run as its users run it: what it says about a command line it cannot serve and
// with which exit code, and that the sessions asked for end it. What it does as a device is in the
// device suite; the command-line tool's suite runs it over TCP and on pseudo-terminals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "device/ScriptedHost.h"
#include "tools/ToolProcess.h"

namespace quillon::testing {
namespace {

const std::string kTool = QUILLON_DEVICE_PATH;

ProcessResult RunTool(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), kTool);
    return RunProcess(arguments, {.deadline = std::chrono::seconds(30)});
}

// One row per rule the program checks itself, and one for each kind of check it declares.
TEST(DeviceTool, CommandLinesItCannotServeSayWhyWithTheirExitCode)
{
    TempFolder folder;
    WriteBytes(folder.path() / "file", "a file, not a folder");
    struct Case {
        std::vector<std::string> arguments;
        std::string mentions;
        int exitCode;  // 2: the command line is wrong; 1: what it names cannot be opened
    };
    const std::vector<Case> cases = {
        {{"--name", "THIRTEEN-CHAR"}, "exactly 12 characters", 2},
        {{"--tcp", "localhost"}, "HOST:PORT", 2},
        {{"--tcp", ":8234"}, "names no host", 2},
        {{"--tcp", "127.0.0.1:0"}, "not a TCP port", 2},
        {{"--tcp", "127.0.0.1:80x"}, "not a TCP port", 2},
        {{"--tcp", "127.0.0.1:8234", "--pty"}, "exclude each other", 2},
        {{"--refuse", "delete"}, "delete", 2},
        {{"--delay", "-5"}, "--delay", 2},
        {{"--archive", "no-such-archive.zip"}, "no-such-archive.zip", 2},
        {{"--bogus"}, "--bogus", 2},
        {{"--state", (folder.path() / "file" / "state").string()}, "state folder", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " " + c.arguments[1] : ""));
        const ProcessResult result = RunTool(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const ProcessResult help = RunTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos) << help.out;
}

TEST(DeviceTool, TheSessionsAskedForEndTheProgram)
{
    TempFolder folder;
    ScriptedHost host;
    BackgroundProcess device({kTool, "--sessions", "1", "--state", (folder.path() / "state").string(),
                              "--tcp", "127.0.0.1:" + std::to_string(host.port())},
                             folder.path() / "device.log");
    ASSERT_TRUE(device.started());
    ASSERT_TRUE(host.Accept(20s)) << "the device never connected";
    host.SendKeyFrame({1, 2, 3, 4, 5, 6});
    host.SendCommand(0, 0, 0);
    EXPECT_EQ(host.ReadAck(), 0);
    host.Close();
    ASSERT_TRUE(WaitFor([&] { return !device.Running(); })) << "the program did not end";
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_NE(ReadBytes(folder.path() / "device.log").find("session ended"), std::string::npos);
}

}  // namespace
}  // namespace quillon::testing
