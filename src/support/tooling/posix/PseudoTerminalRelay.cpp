// The relay: the Linux end of a pseudo-terminal pair for a Windows program under Wine (see
// PseudoTerminalRelay.h). Built for the machine that runs Wine, beside a cross build.
#include "support/tooling/PseudoTerminalRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "support/tooling/PseudoTerminalPair.h"

namespace quillon::pty_relay {

namespace {

static_assert(sizeof(Request) == 16 && sizeof(Answer) == 8, "the Windows side reads the same layout");

// COM numbers the relay may take. The low ones are Wine's own mappings of the machine's ports.
constexpr int kFirstPort = 100;
constexpr int kLastPort = 255;

bool SendAll(int socket, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int socket, void* data, std::size_t size)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::recv(socket, bytes, size, 0);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool SendAnswer(int socket, std::uint8_t status, const std::string& bytes = {})
{
    const Answer answer{status, static_cast<std::uint32_t>(bytes.size())};
    return SendAll(socket, &answer, sizeof answer) && SendAll(socket, bytes.data(), bytes.size());
}

int Connect(std::uint16_t port, std::uint64_t token)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Each request and answer is small and waited for: nothing may hold one back for company.
    const int noDelay = 1;
    if (socket < 0 || ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0 ||
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !SendAll(socket, &token, sizeof token))
        std::_Exit(1);
    return socket;
}

// A COM port of the prefix mapped to a device for as long as this program runs. A lock file per
// number says which are taken, so that relays running side by side never share one and a mapping
// left by a relay that was killed is taken over.
class PortMapping {
public:
    explicit PortMapping(const std::string& device)
    {
        const char* prefix = std::getenv("WINEPREFIX");
        const char* home = std::getenv("HOME");
        const std::string root = prefix && *prefix ? prefix : std::string(home ? home : "") + "/.wine";
        const std::string locks = root + "/quillon-ports";
        ::mkdir(locks.c_str(), 0700);
        for (int number = kFirstPort; number <= kLastPort; ++number) {
            const std::string name = "com" + std::to_string(number);
            const int lock = ::open((locks + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (lock < 0)
                break;
            if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
                ::close(lock);
                continue;
            }
            link_ = root + "/dosdevices/" + name;
            ::unlink(link_.c_str());
            if (::symlink(device.c_str(), link_.c_str()) == 0) {
                name_ = "COM" + std::to_string(number);
                return;  // the lock stays held until the program ends
            }
            ::close(lock);
            error_ = "cannot map " + name + " in " + root + ": " + std::strerror(errno);
            link_.clear();
            return;
        }
        error_ = "no free COM port in " + root;
    }
    ~PortMapping() { Unmap(); }

    void Unmap()
    {
        if (!link_.empty())
            ::unlink(link_.c_str());
        link_.clear();
    }

    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

private:
    std::string link_;
    std::string name_;
    std::string error_;
};

// Answers the requests that come on one connection until it closes or asks for the end.
void Serve(int socket, PseudoTerminalPair& pair, PortMapping& mapping)
{
    using std::chrono::milliseconds;
    Request request;
    std::string bytes;
    while (ReceiveAll(socket, &request, sizeof request) && request.length <= kMostBytes) {
        bytes.resize(request.length);
        if (!ReceiveAll(socket, bytes.data(), bytes.size()))
            return;
        const std::size_t most = std::min(request.first, kMostBytes);
        bool sent = false;
        switch (request.operation) {
        case kReadSome: {
            auto got = pair.readSome(most, milliseconds(request.second));
            sent = SendAnswer(socket, static_cast<std::uint8_t>(got.status), got.bytes);
            break;
        }
        case kRead:
            sent = SendAnswer(socket, 1, pair.read(most, milliseconds(request.second)));
            break;
        case kDrain:
            sent = SendAnswer(socket, 1, pair.drain());
            break;
        case kWrite:
            sent = SendAnswer(socket, pair.write(bytes, milliseconds(request.first)) ? 1 : 0);
            break;
        case kSlaveInUse:
            sent = SendAnswer(socket, pair.slaveInUse() ? 1 : 0);
            break;
        case kMakeSlaveCooked:
            sent = SendAnswer(socket, pair.makeSlaveCooked() ? 1 : 0);
            break;
        case kClose:
            mapping.Unmap();
            pair.closeMaster();
            SendAnswer(socket, 1);
            return;
        }
        if (!sent)
            return;
    }
}

int Run(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    // Wine hands its own descriptors down, the test runner's output pipe among them, which would
    // then stay open as long as this program does.
    const int nothing = ::open("/dev/null", O_RDWR);
    for (int stream = 0; stream <= 2; ++stream)
        ::dup2(nothing, stream);
    ::close_range(3, ~0u, 0);

    const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
    const std::uint64_t token = std::strtoull(argv[2], nullptr, 10);
    const auto slave = std::strcmp(argv[3], "released") == 0 ? PseudoTerminalPair::Slave::Released
                                                             : PseudoTerminalPair::Slave::Held;

    const int reads = Connect(port, token);
    PseudoTerminalPair pair(slave);
    if (!pair.ok()) {
        SendAnswer(reads, 0, pair.error());
        return 1;
    }
    PortMapping mapping(pair.slavePath());
    if (mapping.name().empty()) {
        SendAnswer(reads, 0, mapping.error());
        return 1;
    }
    if (!SendAnswer(reads, 1, mapping.name()))
        return 1;
    const int others = Connect(port, token);

    // Whichever connection closes first ends the program: the Windows side has closed the master,
    // or is gone. The port is unmapped first, so that it is never left pointing at a stale line.
    std::once_flag ending;
    const auto end = [&] {
        std::call_once(ending, [&] {
            mapping.Unmap();
            std::_Exit(0);
        });
    };
    std::thread otherRequests([&] {
        Serve(others, pair, mapping);
        end();
    });
    Serve(reads, pair, mapping);
    end();
    return 0;
}

}  // namespace

}  // namespace quillon::pty_relay

int main(int argc, char** argv) { return quillon::pty_relay::Run(argc, argv); }
