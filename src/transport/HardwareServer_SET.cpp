#include "transport/HardwareServer_SET.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "state/Sysconfig_SET.h"
#include "support/Diagnostics.h"
#include "transport/FrameDelivery.h"

namespace quillon {

namespace {

// One report every 10 ms, as the host's link indicator expects.
constexpr auto kWatchInterval = std::chrono::milliseconds(10);
constexpr int kTcpLink = 1;

void* HandleForLog(std::int64_t fd)
{
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
}

}  // namespace

std::size_t SplitDeviceFrames(const char* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const auto strayBytes = [&] {
        const void* next = std::memchr(data + 1, kFrameStart, size - 1);
        return next ? static_cast<std::size_t>(static_cast<const char*>(next) - data) : size;
    };
    if (static_cast<std::uint8_t>(data[0]) != kFrameStart)
        return strayBytes();
    if (size < 2)
        return 0;
    const auto length = static_cast<std::size_t>(FrameLength(static_cast<std::uint8_t>(data[1])));
    if (length == 0)
        return strayBytes();
    if (size < length)
        return 0;
    if (static_cast<std::uint8_t>(data[length - 1]) != kFrameEnd)
        return strayBytes();  // not a frame after all: resynchronise at the next start byte
    return length;
}

}  // namespace quillon

using quillon::diag::Line;
using quillon::diag::Printf;

CHardwareServer_SET::CHardwareServer_SET() : libmarl::TCPServer(true)
{
    setMessageSplitter(quillon::SplitDeviceFrames);
    watcher_ = std::thread([this] { WatchClients(); });
}

CHardwareServer_SET::~CHardwareServer_SET()
{
    // No callback may run on the server's thread once this object starts to go.
    stop();
    {
        std::lock_guard lock(WakeMutex);
        stopWatching_ = true;
    }
    WakeCondition.notify_all();
    watcher_.join();
}

void CHardwareServer_SET::SetMsgCallback(MessageHandler handler)
{
    MsgCallback.store(std::move(handler));
}

bool CHardwareServer_SET::HasClients()
{
    std::lock_guard lock(ClientsMutex);
    return !Clients.empty();
}

bool CHardwareServer_SET::IsClient(std::int64_t fd)
{
    std::lock_guard lock(ClientsMutex);
    return std::find(Clients.begin(), Clients.end(), fd) != Clients.end();
}

void CHardwareServer_SET::WatchClients()
{
    auto* registry = CSysconfig_SET::get();
    if (registry->GetCloseExe())
        return;
    std::unique_lock wake(WakeMutex);
    while (!stopWatching_) {
        wake.unlock();
        if (HasClients()) {
            registry->SetSeriOrTcp(quillon::kTcpLink);
            registry->DeviceOnlineCallback.invoke(1, quillon::kTcpLink);
        } else {
            registry->DeviceOnlineCallback.invoke(-1, quillon::kTcpLink);
        }
        wake.lock();
        WakeCondition.wait_for(wake, quillon::kWatchInterval, [this] { return stopWatching_; });
        if (registry->GetCloseExe())
            break;
    }
}

void CHardwareServer_SET::onConn(std::int64_t fd)
{
    {
        std::lock_guard lock(ClientsMutex);
        if (std::find(Clients.begin(), Clients.end(), fd) != Clients.end())
            return;
        Clients.push_back(fd);
    }
    std::string ip;
    int peerPort = 0;
    if (getConnInfo(fd, ip, peerPort))
        Printf("client online fd:%p, port=%d, ip=%s, port=%d", quillon::HandleForLog(fd), listeningPort(),
               ip.c_str(), peerPort);
    else
        Printf("client online fd:%p, but get conn info error", quillon::HandleForLog(fd));
    SendKey();
}

void CHardwareServer_SET::onClose(std::int64_t fd)
{
    {
        std::lock_guard lock(ClientsMutex);
        const auto it = std::find(Clients.begin(), Clients.end(), fd);
        if (it == Clients.end())
            return;
        Clients.erase(it);
    }
    Printf("client offline, fd:%p", quillon::HandleForLog(fd));
}

void CHardwareServer_SET::SendKey()
{
    NewKeyAndSend([this](const std::uint8_t* bytes, int count) {
        sendMsg(reinterpret_cast<const char*>(bytes), count);
    });
}

void CHardwareServer_SET::onRead(std::int64_t fd, std::vector<char>& data)
{
    if (!IsClient(fd))
        return;
    RecvBuffer.clear();
    if (data.empty())
        return;

    RecvBuffer.append(data.data(), data.size());
    Line(std::to_string(data.size()));

    if (!IsFrameComplete(RecvBuffer)) {
        Line(std::to_string(RecvBuffer.size()) + "--------");
        if (RecvBuffer.empty()) {
            data.clear();
            return;
        }
    }
    Line(std::to_string(RecvBuffer.size()));

    if (const auto handler = MsgCallback.snapshot())
        quillon::DeliverChunk(RecvBuffer, *handler);
    RecvBuffer.clear();
    data.clear();
}
