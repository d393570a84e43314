// Starting programs, reading what they write, and ending them: against a small helper program that
// does what its arguments say.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/TempFolder.h"
#include "support/tooling/ChildProcess.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::TempFolder;

const std::string kHelper = QUILLON_CHILD_HELPER_PATH;

std::vector<std::string> Helper(std::vector<std::string> steps)
{
    steps.insert(steps.begin(), kHelper);
    return steps;
}

TEST(ChildProcess, ReportsExitCodesAndBothStreams)
{
    struct Case {
        std::vector<std::string> steps;
        int code;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, 0, "", ""},
        {{"out", "one", "err", "two", "out", "three"}, 0, "one\nthree\n", "two\n"},
        {{"err", "failed", "exit", "3"}, 3, "", "failed\n"},
        {{"out", "x", "exit", "255"}, 255, "x\n", ""},
    };
    for (const auto& c : cases) {
        ChildProcess child(Helper(c.steps));
        ASSERT_TRUE(child.started()) << child.error();
        EXPECT_EQ(child.Wait(30s), c.code);
#ifndef _WIN32  // Wine, which runs the Windows suite, counts no memory of a child that has ended
        EXPECT_GT(child.PeakMemoryKiB(), 0u);
#endif
        // Text-mode streams on Windows end lines with CR LF.
        auto plain = [](std::string text) {
            std::erase(text, '\r');
            return text;
        };
        EXPECT_EQ(plain(child.TakeOutput()), c.out);
        EXPECT_EQ(plain(child.TakeErrors()), c.err);
    }
}

TEST(ChildProcess, PassesArgumentsThroughUnchanged)
{
    const std::vector<std::string> arguments = {
        "plain",      "two words",           "",          "\"quoted\"", "back\\slash",
        "trailing\\", "both \\\"x\\\" \\\\", "tab\there",
    };
    std::vector<std::string> steps{"args"};
    steps.insert(steps.end(), arguments.begin(), arguments.end());
    ChildProcess child(Helper(steps));
    ASSERT_TRUE(child.started()) << child.error();
    for (const auto& argument : arguments)
        EXPECT_EQ(child.ReadLine(30s), "[" + argument + "]");
    EXPECT_EQ(child.ReadLine(30s), std::nullopt);
    EXPECT_EQ(child.Wait(30s), 0);
}

TEST(ChildProcess, AProgramThatCannotStartSaysSo)
{
    TempFolder folder;
    const std::string missing = (folder.path() / "no-such-program").string();
    ChildProcess child({missing});
    EXPECT_FALSE(child.started());
    EXPECT_NE(child.error().find("no-such-program"), std::string::npos) << child.error();
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(child.ReadLine(10ms), std::nullopt);
    EXPECT_EQ(child.Stop(), -1);

    EXPECT_FALSE(ChildProcess({}).started());
}

TEST(ChildProcess, ReadsLinesAsTheyComeWhileTheChildRuns)
{
    ChildProcess child(Helper({"out", "ready", "wait", "tail", "no line end", "exit", "7"}));
    ASSERT_TRUE(child.started()) << child.error();
    EXPECT_EQ(child.ReadLine(30s), "ready");
    // Nothing more comes until the stop request, so both waits run out.
    EXPECT_EQ(child.ReadLine(50ms), std::nullopt);
    EXPECT_EQ(child.Wait(50ms), std::nullopt);
    EXPECT_TRUE(child.Running());

    const int code = child.Stop(30s);
    if (code == -1)
        GTEST_SKIP() << "this system cannot send the child a stop request it can handle (Windows without "
                        "a console for Ctrl+Break), so it was ended at once";
    EXPECT_EQ(code, 7);
    EXPECT_EQ(child.ReadLine(1s), "no line end");
    EXPECT_EQ(child.ReadLine(1s), std::nullopt);
}

TEST(ChildProcess, AChildThatIgnoresTheStopRequestIsKilled)
{
    ChildProcess child(Helper({"deaf", "out", "deaf now", "wait"}));
    ASSERT_TRUE(child.started()) << child.error();
    ASSERT_EQ(child.ReadLine(30s), "deaf now");
    EXPECT_EQ(child.Stop(200ms), -1);
    EXPECT_FALSE(child.Running());

    ChildProcess killed(Helper({"out", "up", "wait"}));
    ASSERT_EQ(killed.ReadLine(30s), "up");
    killed.Kill();
    EXPECT_EQ(killed.Wait(30s), -1);
}

}  // namespace
}  // namespace quillon
