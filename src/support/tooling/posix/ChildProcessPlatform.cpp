#include "support/tooling/ChildProcessPlatform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace quillon {

struct ChildProcess::Platform {
    pid_t pid = -1;
    int streams[2] = {-1, -1};
    std::size_t peakMemoryKiB = 0;

    ~Platform()
    {
        for (int fd : streams)
            if (fd >= 0)
                ::close(fd);
    }
};

void ChildProcess::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

namespace child_process {

namespace {

// A slice of every wait for output, so that an abandoned read ends soon after.
constexpr int kSliceMs = 100;

std::string Failure(const char* what, int code = errno)
{
    return std::string(what) + ": " + std::strerror(code);
}

// A pseudo-terminal master for the test's side and the slave's path for the child's.
bool OpenTerminal(int& master, std::string& slavePath, unsigned short columns, std::string& error)
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        error = Failure("pseudo-terminal");
        return false;
    }
    slavePath = name;
    if (columns > 0) {
        struct winsize size {};
        size.ws_col = columns;
        size.ws_row = 24;
        ::ioctl(master, TIOCSWINSZ, &size);
    }
    return true;
}

// Frees the spawn's file actions on every way out of Start.
struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { ::posix_spawn_file_actions_init(&actions); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions); }
};

// A pipe that the child's stream target writes into: its read end stays here (ours), its write
// end (theirs) is the child's.
bool AddPipe(FileActions& spawn, int target, int& ours, int& theirs, std::string& error)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = Failure("pipe");
        return false;
    }
    ours = ends[0];
    theirs = ends[1];
    ::posix_spawn_file_actions_adddup2(&spawn.actions, theirs, target);
    return true;
}

}  // namespace

bool TerminalSupported() { return true; }

std::filesystem::path CurrentProgram()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program;
}

std::unique_ptr<ChildProcess::Platform, ChildProcess::PlatformDeleter>
Start(const std::vector<std::string>& argv, const ChildProcess::Options& options, std::string& error)
{
    std::unique_ptr<ChildProcess::Platform, ChildProcess::PlatformDeleter> child(new ChildProcess::Platform);
    // The child's ends: they must be closed here once the child has them, or the streams never end.
    int childOut = -1;
    int childErr = -1;
    struct ChildEnds {
        int& out;
        int& err;
        ~ChildEnds()
        {
            for (const int fd : {out, err})
                if (fd >= 0)
                    ::close(fd);
        }
    } closeOnEveryWayOut{childOut, childErr};
    std::string terminalPath;

    FileActions spawn;
    ::posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!options.readOutput)
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    else if (!AddPipe(spawn, STDOUT_FILENO, child->streams[kOutput], childOut, error))
        return nullptr;
    switch (options.errors) {
    case ChildProcess::ErrorStream::Pipe:
        if (!AddPipe(spawn, STDERR_FILENO, child->streams[kErrors], childErr, error))
            return nullptr;
        break;
    case ChildProcess::ErrorStream::File:
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, options.errorFile.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        break;
    case ChildProcess::ErrorStream::Terminal:
        if (!OpenTerminal(child->streams[kErrors], terminalPath, options.terminalColumns, error))
            return nullptr;
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, terminalPath.c_str(),
                                           O_RDWR | O_NOCTTY, 0);
        break;
    case ChildProcess::ErrorStream::Shared:
        break;  // inherited as it is
    }

    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    // posix_spawnp looks a name without a slash up on PATH, and takes any other as the path it is.
    const int spawned =
        ::posix_spawnp(&child->pid, arguments[0], &spawn.actions, nullptr, arguments.data(), environ);
    if (spawned != 0) {
        error = Failure(("cannot start " + argv[0]).c_str(), spawned);
        return nullptr;
    }
    return child;
}

bool Readable(const ChildProcess::Platform& child, Stream stream) { return child.streams[stream] >= 0; }

std::size_t Read(ChildProcess::Platform& child, Stream stream, char* buffer, std::size_t size,
                 const std::atomic<bool>& abandon)
{
    const int fd = child.streams[stream];
    while (!abandon.load()) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kSliceMs);
        if (polled < 0 && errno != EINTR)
            return 0;
        if (polled <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0)
            return static_cast<std::size_t>(got);
        // A pipe reads 0 at its end; a terminal's master fails with EIO once the slave is closed.
        if (got == 0 || (errno != EINTR && errno != EAGAIN))
            return 0;
    }
    return 0;
}

void AwaitEnd(ChildProcess::Platform& child)
{
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

int Release(ChildProcess::Platform& child)
{
    int status = 0;
    pid_t reaped = -1;
    rusage usage{};
    while ((reaped = ::wait4(child.pid, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    if (reaped == child.pid)
        child.peakMemoryKiB = static_cast<std::size_t>(usage.ru_maxrss);  // in KiB on Linux
    return reaped == child.pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t PeakMemoryKiB(const ChildProcess::Platform& child) { return child.peakMemoryKiB; }

void AskToStop(ChildProcess::Platform& child) { ::kill(child.pid, SIGTERM); }

void Kill(ChildProcess::Platform& child) { ::kill(child.pid, SIGKILL); }

}  // namespace child_process
}  // namespace quillon
