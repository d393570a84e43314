#include "ToolProcess.h"

#include <algorithm>

#include "common/WaitFor.h"

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Windows' text-mode streams end lines with CR LF; the programs write no CR of their own into a
// pipe, so the tests compare the same text on every platform. (A terminal's output, with the CR LF
// it makes and the progress bar's CRs, is kept as it came.)
std::string Plain(std::string text)
{
    std::erase(text, '\r');
    return text;
}

}  // namespace

bool TerminalsSupported() { return ChildProcess::TerminalSupported(); }

ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options)
{
    ProcessResult result;
    const auto start = Clock::now();
    ChildProcess child(argv, {.errors = options.stderrOnTerminal ? ChildProcess::ErrorStream::Terminal
                                                                 : ChildProcess::ErrorStream::Pipe,
                              .errorFile = {},
                              .terminalColumns = options.columns});
    if (!child.started()) {
        result.err = child.error();
        return result;
    }
    std::string errors;
    if (options.whileRunning) {
        WaitFor(
            [&] {
                errors += child.TakeErrors();
                return options.whileRunning(errors) || !child.Running();
            },
            options.deadline);
    }
    auto code = options.stopAfterWhileRunning
                    ? std::optional(child.Stop())
                    : child.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(options.deadline));
    if (!code) {
        child.Kill();
        code = child.Wait(std::chrono::seconds(30));
        result.timedOut = true;
    }
    result.exitCode = result.timedOut ? -1 : code.value_or(-1);
    result.out = Plain(child.TakeOutput());
    errors += child.TakeErrors();
    result.err = options.stderrOnTerminal ? errors : Plain(errors);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

}  // namespace quillon::testing
