#include "ToolProcess.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> ArgumentVector(const std::vector<std::string>& argv)
{
    std::vector<char*> pointers;
    for (const auto& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Reads what is there without waiting; false at the end of the stream.
bool DrainInto(int fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // A pseudo-terminal's master reports EIO once the last slave is closed.
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int ExitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pseudo-terminal for a child's standard error: the master for the test, the slave's path.
bool OpenTerminal(int& master, std::string& slavePath)
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0)
        return false;
    slavePath = name;
    return true;
}

} // namespace

bool ProcessesSupported()
{
    return true;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options)
{
    ProcessResult result;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int terminal = -1;
    std::string terminalPath;
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (options.stderrOnTerminal ? !OpenTerminal(terminal, terminalPath) : ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]), ::close(outPipe[1]);
        if (terminal >= 0)
            ::close(terminal);
        return result;
    }

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    if (options.stderrOnTerminal)
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, terminalPath.c_str(), O_RDWR | O_NOCTTY,
                                           0);
    else
        ::posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

    const auto start = Clock::now();
    pid_t pid = -1;
    std::vector<char*> arguments = ArgumentVector(argv);
    const int spawned = ::posix_spawn(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (errPipe[1] >= 0)
        ::close(errPipe[1]);
    const int errRead = options.stderrOnTerminal ? terminal : errPipe[0];
    if (spawned != 0) {
        ::close(outPipe[0]), ::close(errRead);
        result.err = "cannot start " + argv[0];
        return result;
    }
    SetNonBlocking(outPipe[0]);
    SetNonBlocking(errRead);

    bool outOpen = true;
    bool errOpen = true;
    bool exited = false;
    int status = 0;
    const auto deadline = start + options.deadline;
    while (!exited || outOpen) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errRead, POLLIN, 0}};
        ::poll(fds, 2, 20);
        if (outOpen)
            outOpen = DrainInto(outPipe[0], result.out);
        if (errOpen)
            errOpen = DrainInto(errRead, result.err);
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        if (!exited && Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            exited = true;
            result.timedOut = true;
        }
        // With a terminal the master never reports an end while the test holds it; the child's
        // end is what counts, after one last drain.
        if (exited && options.stderrOnTerminal && errOpen) {
            DrainInto(errRead, result.err);
            errOpen = false;
        }
    }
    if (errOpen)
        DrainInto(errRead, result.err);
    ::close(outPipe[0]);
    ::close(errRead);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.exitCode = result.timedOut ? -1 : ExitStatus(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& log)
{
    int outPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    std::vector<char*> arguments = ArgumentVector(argv);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        return;
    }
    pid_ = pid;
    out_ = outPipe[0];
    SetNonBlocking(out_);
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
    if (out_ >= 0)
        ::close(out_);
}

std::string BackgroundProcess::ReadLine(std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        if (out_ < 0 || Clock::now() > end)
            return {};
        pollfd fd{out_, POLLIN, 0};
        ::poll(&fd, 1, 50);
        if (!DrainInto(out_, pending_) && pending_.find('\n') == std::string::npos)
            return {};
    }
}

bool BackgroundProcess::Running()
{
    if (pid_ <= 0 || exited_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = ExitStatus(status);
    }
    return !exited_;
}

int BackgroundProcess::Stop()
{
    if (pid_ <= 0 || !Running())
        return status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (Clock::now() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exited_ = true;
    status_ = ExitStatus(status);
    return status_;
}

} // namespace quillon::testing

#else

namespace quillon::testing {

bool ProcessesSupported()
{
    return false;
}

ProcessResult RunProcess(const std::vector<std::string>&, const RunOptions&)
{
    return {};
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>&, const std::filesystem::path&) {}
BackgroundProcess::~BackgroundProcess() = default;
std::string BackgroundProcess::ReadLine(std::chrono::milliseconds)
{
    return {};
}
bool BackgroundProcess::Running()
{
    return false;
}
int BackgroundProcess::Stop()
{
    return -1;
}

} // namespace quillon::testing

#endif
