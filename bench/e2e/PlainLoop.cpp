#include "PlainLoop.h"

#include "Processes.h"
#include "Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace quillon::bench {

namespace {}  // namespace

std::optional<double> PlainStopAndWaitSeconds(std::uint64_t bytes, int receiverProcessor)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        return std::nullopt;
    }
    const std::uint64_t blocks = (bytes + kBlockData - 1) / kBlockData;

    // The receiving end: a block in, an acknowledgement out, until the sender closes.
    std::thread receiver([listener, blocks, receiverProcessor] {
        RunThisThreadOn(receiverProcessor);
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        NoDelay(fd);
        std::vector<char> block(kBlockFrame);
        char ack[kAckFrame] = {'*', 7, 0, 0, 0, 0, 0, 0, 0x2D, '#'};
        for (std::uint64_t i = 0; i < blocks; ++i) {
            if (!ReceiveAll(fd, block.data(), block.size()) || !SendAll(fd, ack, sizeof ack))
                break;
        }
        ::close(fd);
    });

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    std::vector<char> payload(static_cast<std::size_t>(bytes));
    std::vector<char> frame(kBlockFrame);
    double seconds = 0;
    if (ok) {
        NoDelay(fd);
        char ack[kAckFrame];
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t i = 0; ok && i < blocks; ++i) {
            const std::uint64_t offset = i * kBlockData;
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockData, bytes - offset));
            frame[0] = '*';
            frame[1] = 6;
            frame[2] = static_cast<char>(i), frame[3] = static_cast<char>(i >> 8);
            std::memcpy(frame.data() + 4, payload.data() + offset, count);
            frame[kBlockFrame - 1] = '#';
            ok = SendAll(fd, frame.data(), frame.size()) && ReceiveAll(fd, ack, sizeof ack);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    if (fd >= 0)
        ::close(fd);
    ::shutdown(listener, SHUT_RDWR);
    receiver.join();
    ::close(listener);
    if (!ok)
        return std::nullopt;
    return seconds;
}

}  // namespace quillon::bench
