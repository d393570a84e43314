#include "Processes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "support/fs/Paths.h"

namespace quillon::bench {

namespace {

// A run ends by itself; this only bounds one whose child hangs, which the benchmark then reports
// as failed.
constexpr auto kRunLimit = std::chrono::hours(24);

}  // namespace

ChildProcess::Options ChildStreams(bool capture, bool keepErrors)
{
    ChildProcess::Options options;
    options.readOutput = capture;
    options.errors = keepErrors ? ChildProcess::ErrorStream::Shared : ChildProcess::ErrorStream::File;
    options.errorFile = NullDevicePath();
    return options;
}

Finished Run(const std::vector<std::string>& argv, bool capture, bool keepErrors)
{
    ChildProcess child(argv, ChildStreams(capture, keepErrors));
    Finished result;
    if (!child.started())
        return result;
    result.exitCode = child.Wait(kRunLimit).value_or(-1);  // one still running ends with child
    result.maxRssKiB = child.PeakMemoryKiB();
    result.output = child.TakeOutput();
    return result;
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
    const bool free =
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return free;
}

std::string UserName()
{
    const passwd* user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace quillon::bench
