#include "Processes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

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
    const std::string unshare = RunningAsRoot() ? "-n" : "-rn";
    // The global address is one no packet leaves for: it is there for programs that look for a
    // configured address before they bind to loopback, as in.tftpd does.
    const std::string setUp = "ip link set lo up && ip addr add 192.0.2.1/32 dev lo scope global";
    static const bool possible = Run({"unshare", unshare, "sh", "-c", setUp}, false).exitCode == 0;
    if (!possible)
        return argv;
    std::vector<std::string> wrapped{"unshare", unshare, "sh", "-c", setUp + " && exec \"$@\"", "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

Processors ProcessorsFor(Placement placement)
{
    switch (placement) {
    case Placement::Split:
        if (std::thread::hardware_concurrency() >= 2)
            return {0, 1};
        [[fallthrough]];
    case Placement::One:
        return {0, 0};
    case Placement::Free:
        break;
    }
    return {};
}

const char* PlacementName(Placement placement)
{
    switch (placement) {
    case Placement::Split:
        return "split";
    case Placement::One:
        return "one";
    case Placement::Free:
        break;
    }
    return "free";
}

bool ParsePlacement(const std::string& text, Placement& placement)
{
    for (const Placement candidate : {Placement::Split, Placement::One, Placement::Free})
        if (text == PlacementName(candidate)) {
            placement = candidate;
            return true;
        }
    return false;
}

namespace {

std::vector<int> ThisThreadsProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> processors;
    if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) == 0)
        for (int i = 0; i < CPU_SETSIZE; ++i)
            if (CPU_ISSET(i, &set))
                processors.push_back(i);
    return processors;
}

bool RunThisThreadOnAll(const std::vector<int>& processors)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int processor : processors)
        CPU_SET(processor, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

}  // namespace

bool RunThisThreadOn(int processor) { return processor < 0 || RunThisThreadOnAll({processor}); }

RunningOn::RunningOn(int processor)
{
    if (processor >= 0) {
        before_ = ThisThreadsProcessors();
        RunThisThreadOn(processor);
    }
}

RunningOn::~RunningOn()
{
    if (!before_.empty())
        RunThisThreadOnAll(before_);
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
