#include "Processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace quillon::bench {

Child::Child(const std::vector<std::string>& argv, bool capture, bool keepErrors)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (capture && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!keepErrors)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (capture) {
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }
}

Child::~Child()
{
    if (pid_ > 0)
        Stop();
    if (out_ >= 0)
        ::close(out_);
}

Finished Child::Wait()
{
    Finished result;
    if (pid_ <= 0)
        return result;
    if (out_ >= 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(out_, buffer, sizeof buffer);
            if (got > 0)
                output_.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                break;
        }
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.maxRssKiB = usage.ru_maxrss;
    result.output = std::move(output_);
    return result;
}

bool Child::Running()
{
    if (pid_ <= 0)
        return false;
    // Looks without reaping, so that Wait still gets the exit status and the resource use.
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

Finished Child::Stop()
{
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    return Wait();
}

Finished Run(const std::vector<std::string>& argv, bool capture, bool keepErrors)
{
    Child child(argv, capture, keepErrors);
    return child.Wait();
}

std::vector<std::string> Isolated(const std::vector<std::string>& argv)
{
    static const bool possible =
        Run({"unshare", "-rn", "sh", "-c", "ip link set lo up"}, false).exitCode == 0;
    if (!possible)
        return argv;
    std::vector<std::string> wrapped{"unshare", "-rn", "sh", "-c", "ip link set lo up && exec \"$@\"", "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

int FreeLoopbackPort(bool udp)
{
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool TcpPortFree(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      ::listen(fd, 1) == 0;
    ::close(fd);
    return free;
}

std::string UserName()
{
    const passwd* user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

bool RunningAsRoot()
{
    return ::geteuid() == 0;
}

}  // namespace quillon::bench
