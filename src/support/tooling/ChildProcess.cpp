#include "support/tooling/ChildProcess.h"

#include <utility>

#include "support/tooling/ChildProcessPlatform.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// Once the child has ended its streams end at once, unless a program it started still holds
// them; that one's output is not waited for longer than this.
constexpr auto kStreamsAfterEnd = std::chrono::seconds(5);
// A killed child ends within this on any sane system; the wait only bounds a broken one.
constexpr auto kAfterKill = std::chrono::seconds(30);

}  // namespace

bool ChildProcess::TerminalSupported() { return child_process::TerminalSupported(); }

std::filesystem::path ChildProcess::CurrentProgram() { return child_process::CurrentProgram(); }

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Options options)
    : destroyGrace_(options.destroyGrace)
{
    if (argv.empty()) {
        error_ = "no program to start";
        return;
    }
    platform_ = child_process::Start(argv, options, error_);
    if (!platform_) {
        if (error_.empty())
            error_ = "cannot start " + argv[0];
        return;
    }
    for (const auto stream : {child_process::kOutput, child_process::kErrors}) {
        if (!child_process::Readable(*platform_, stream))
            continue;
        open_[stream] = true;
        threads_.emplace_back([this, stream] { Pump(stream); });
    }
    threads_.emplace_back([this] { AwaitEnd(); });
}

ChildProcess::~ChildProcess()
{
    if (!platform_)
        return;
    Stop(destroyGrace_);
    abandon_ = true;
    for (auto& thread : threads_)
        thread.join();
}

void ChildProcess::Pump(int stream)
{
    const auto which = static_cast<child_process::Stream>(stream);
    char buffer[4096];
    for (;;) {
        const std::size_t got = child_process::Read(*platform_, which, buffer, sizeof buffer, abandon_);
        std::lock_guard lock(mutex_);
        if (got == 0) {
            open_[stream] = false;
            changed_.notify_all();
            return;
        }
        (which == child_process::kOutput ? output_ : errors_).append(buffer, got);
        changed_.notify_all();
    }
}

void ChildProcess::AwaitEnd()
{
    child_process::AwaitEnd(*platform_);
    std::lock_guard lock(mutex_);
    // Released under the lock: Kill and AskToStop, which take it too, never reach a child whose
    // process number the system may already have given to another.
    exitCode_ = child_process::Release(*platform_);
    peakMemoryKiB_ = child_process::PeakMemoryKiB(*platform_);
    ended_ = true;
    changed_.notify_all();
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds deadline)
{
    if (!platform_)
        return std::nullopt;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, deadline, [this] {
        return output_.find('\n') != std::string::npos || !open_[child_process::kOutput];
    });
    const auto newline = output_.find('\n');
    if (newline == std::string::npos && (open_[child_process::kOutput] || output_.empty()))
        return std::nullopt;
    std::string line = output_.substr(0, newline);
    output_.erase(0, newline == std::string::npos ? newline : newline + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void ChildProcess::FinishStreams(std::unique_lock<std::mutex>& lock)
{
    changed_.wait_for(lock, kStreamsAfterEnd, [this] { return !open_[0] && !open_[1]; });
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit)
{
    if (!platform_)
        return -1;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, limit, [this] { return ended_; }))
        return std::nullopt;
    FinishStreams(lock);
    return exitCode_;
}

bool ChildProcess::Running()
{
    std::lock_guard lock(mutex_);
    return platform_ && !ended_;
}

std::size_t ChildProcess::PeakMemoryKiB()
{
    std::lock_guard lock(mutex_);
    return peakMemoryKiB_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace)
{
    if (!platform_)
        return -1;
    {
        std::lock_guard lock(mutex_);
        if (!ended_)
            child_process::AskToStop(*platform_);
    }
    if (const auto code = Wait(grace))
        return *code;
    Kill();
    return Wait(std::chrono::duration_cast<std::chrono::milliseconds>(kAfterKill)).value_or(-1);
}

void ChildProcess::Kill()
{
    std::lock_guard lock(mutex_);
    if (platform_ && !ended_)
        child_process::Kill(*platform_);
}

std::string ChildProcess::TakeOutput()
{
    std::lock_guard lock(mutex_);
    return std::exchange(output_, {});
}

std::string ChildProcess::TakeErrors()
{
    std::lock_guard lock(mutex_);
    return std::exchange(errors_, {});
}

}  // namespace quillon
