// Windows has no pseudo-terminal that a program can open by name as a serial port. Under Wine a
// COM port can lead to one, though: the relay (see PseudoTerminalRelay.h), a Linux program built
// beside a cross build, makes the pair and maps the port, and this end only talks to it. On
// Windows itself, or without the relay, there are no pairs.
#include "support/tooling/PseudoTerminalPair.h"

#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>

#include "support/tooling/PseudoTerminalRelay.h"

namespace quillon {

namespace {

namespace relay = pty_relay;
static_assert(sizeof(relay::Request) == 16 && sizeof(relay::Answer) == 8, "the relay reads the same layout");

// How long the relay has to start and make the pair.
constexpr DWORD kRelayStartMilliseconds = 10'000;

#ifdef QUILLON_PTY_RELAY
constexpr const char* kRelayPath = QUILLON_PTY_RELAY;
#else
constexpr const char* kRelayPath = nullptr;
#endif

bool UnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

std::string Failure(const std::string& what)
{
    return what + ": Windows error " + std::to_string(::GetLastError());
}

bool SendAll(SOCKET socket, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const int sent = ::send(socket, bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReceiveAll(SOCKET socket, void* data, std::size_t size)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const int got = ::recv(socket, bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// One connection to the relay, a request at a time.
class Connection {
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void adopt(SOCKET socket) { socket_ = socket; }
    bool open() const { return socket_ != INVALID_SOCKET; }
    void close()
    {
        if (socket_ != INVALID_SOCKET)
            ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

    // The answer's status and bytes; no status when the relay is gone.
    std::optional<std::uint8_t> ask(char operation, std::uint32_t first, std::uint32_t second,
                                    std::string_view payload = {}, std::string* bytes = nullptr)
    {
        std::lock_guard lock(mutex_);
        const relay::Request request{operation, first, second, static_cast<std::uint32_t>(payload.size())};
        if (!open() || !SendAll(socket_, &request, sizeof request) ||
            !SendAll(socket_, payload.data(), payload.size()))
            return std::nullopt;
        return answer(bytes);
    }

    std::optional<std::uint8_t> answer(std::string* bytes)
    {
        relay::Answer answer;
        std::string received;
        if (!ReceiveAll(socket_, &answer, sizeof answer) || answer.length > relay::kMostBytes)
            return std::nullopt;
        received.resize(answer.length);
        if (!ReceiveAll(socket_, received.data(), received.size()))
            return std::nullopt;
        if (bytes)
            *bytes = std::move(received);
        return answer.status;
    }

private:
    std::mutex mutex_;
    SOCKET socket_ = INVALID_SOCKET;
};

std::uint32_t Milliseconds(std::chrono::milliseconds duration)
{
    return static_cast<std::uint32_t>(std::clamp<long long>(duration.count(), 0, 3'600'000));
}

}  // namespace

struct PseudoTerminalPair::Relay {
    struct Winsock {
        bool started = false;
        ~Winsock()
        {
            if (started)
                ::WSACleanup();
        }
    } winsock;  // first, so that it ends after the connections
    Connection reads;
    Connection others;
};

bool PseudoTerminalPair::Supported() { return kRelayPath && UnderWine(); }

namespace {

// Accepts the relay's next connection, which must bring the token, within the time left.
SOCKET AcceptRelay(SOCKET listener, std::uint64_t token, DWORD deadline)
{
    const DWORD now = ::GetTickCount();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    const DWORD left = deadline > now ? deadline - now : 0;
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    if (::select(0, &ready, nullptr, nullptr, &wait) != 1)
        return INVALID_SOCKET;
    SOCKET socket = ::accept(listener, nullptr, nullptr);
    // Each request and answer is small and waited for: nothing may hold one back for company.
    const BOOL noDelay = TRUE;
    if (socket != INVALID_SOCKET)
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                     sizeof noDelay);
    std::uint64_t brought = 0;
    if (socket != INVALID_SOCKET && (!ReceiveAll(socket, &brought, sizeof brought) || brought != token)) {
        ::closesocket(socket);
        socket = INVALID_SOCKET;
    }
    return socket;
}

}  // namespace

PseudoTerminalPair::PseudoTerminalPair(Slave slave) : relay_(std::make_unique<Relay>())
{
    if (!Supported()) {
        error_ = "pseudo-terminals are not supported on this platform";
        return;
    }
    WSADATA winsock;
    relay_->winsock.started = ::WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener, 2) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        error_ = "cannot listen for the relay: Winsock error " + std::to_string(::WSAGetLastError());
        if (listener != INVALID_SOCKET)
            ::closesocket(listener);
        return;
    }
    // Only the relay started here may take the line: anyone on this machine can connect.
    const std::uint64_t token = (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();

    using GetDosName = WCHAR*(CDECL*)(const char*);
    const auto dosName = reinterpret_cast<GetDosName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* program = dosName ? dosName(kRelayPath) : nullptr;
    std::wstring line = L"\"" + std::wstring(program ? program : L"") + L"\" " +
                        std::to_wstring(ntohs(address.sin_port)) + L" " + std::to_wstring(token) +
                        (slave == Slave::Released ? L" released" : L" held");
    if (program)
        ::HeapFree(::GetProcessHeap(), 0, program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!program || !::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      &startup, &started)) {
        error_ = Failure(std::string("cannot start ") + kRelayPath);
        ::closesocket(listener);
        return;
    }
    // Wine runs a Linux program detached: the handles, if any, say nothing about it.
    if (started.hThread)
        ::CloseHandle(started.hThread);
    if (started.hProcess)
        ::CloseHandle(started.hProcess);

    const DWORD deadline = ::GetTickCount() + kRelayStartMilliseconds;
    relay_->reads.adopt(AcceptRelay(listener, token, deadline));
    std::string name;
    const auto made = relay_->reads.open() ? relay_->reads.answer(&name) : std::nullopt;
    if (made == 1)
        relay_->others.adopt(AcceptRelay(listener, token, deadline));
    ::closesocket(listener);
    if (!made)
        error_ = std::string("the relay did not answer: ") + kRelayPath;
    else if (*made != 1)
        error_ = "the relay cannot make a pseudo-terminal pair: " + name;
    else if (!relay_->others.open())
        error_ = "the relay did not connect again";
    if (!error_.empty()) {
        relay_->reads.close();
        return;
    }
    slavePath_ = name;
}

PseudoTerminalPair::~PseudoTerminalPair() = default;

bool PseudoTerminalPair::masterOpen() const { return relay_->reads.open(); }

bool PseudoTerminalPair::write(std::string_view bytes, std::chrono::milliseconds limit)
{
    return relay_->others.ask(relay::kWrite, Milliseconds(limit), 0, bytes) == 1;
}

PseudoTerminalPair::ReadResult PseudoTerminalPair::readSome(std::size_t most,
                                                            std::chrono::milliseconds timeout)
{
    ReadResult result;
    const auto status = relay_->reads.ask(
        relay::kReadSome, static_cast<std::uint32_t>(std::min<std::size_t>(most, relay::kMostBytes)),
        Milliseconds(timeout), {}, &result.bytes);
    result.status = status && *status <= static_cast<std::uint8_t>(ReadStatus::Closed)
                        ? static_cast<ReadStatus>(*status)
                        : ReadStatus::Closed;
    return result;
}

bool PseudoTerminalPair::slaveInUse() const { return relay_->others.ask(relay::kSlaveInUse, 0, 0) == 1; }

std::string PseudoTerminalPair::read(std::size_t count, std::chrono::milliseconds deadline)
{
    std::string received;
    relay_->reads.ask(relay::kRead,
                      static_cast<std::uint32_t>(std::min<std::size_t>(count, relay::kMostBytes)),
                      Milliseconds(deadline), {}, &received);
    return received;
}

std::string PseudoTerminalPair::drain()
{
    std::string received;
    relay_->reads.ask(relay::kDrain, 0, 0, {}, &received);
    return received;
}

bool PseudoTerminalPair::makeSlaveCooked() { return relay_->others.ask(relay::kMakeSlaveCooked, 0, 0) == 1; }

void PseudoTerminalPair::closeMaster()
{
    // The relay hangs the line up before it answers, as closing a master does at once; it ends
    // when the connections close.
    relay_->others.ask(relay::kClose, 0, 0);
    relay_->reads.close();
    relay_->others.close();
}

}  // namespace quillon
