#include "transport/HardwareServer_SET.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "protocol/DeviceLink.h"
#include "protocol/FrameSplitter.h"
#include "state/Sysconfig_SET.h"
#include "support/base/Diagnostics.h"
#include "transport/FrameDelivery.h"

namespace quillon {

namespace {

// One report every 10 ms, as the host's link indicator expects.
constexpr auto kWatchInterval = std::chrono::milliseconds(10);

void* HandleForLog(std::int64_t fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)); }

}  // namespace

}  // namespace quillon

using quillon::diag::Level;
using quillon::diag::Line;
using quillon::diag::Log;
using quillon::diag::Printf;

CHardwareServer_SET::CHardwareServer_SET() : libmarl::TCPServer(true)
{
    // Each frame reaches the link whole however TCP splits or joins the stream. Stray bytes go on as
    // they are, a run at a time, for the link's own checks to refuse.
    setMessageSplitter([](const char* data, std::size_t size) {
        return quillon::CutFrame({reinterpret_cast<const std::uint8_t*>(data), size}).length;
    });
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

void CHardwareServer_SET::SetMsgCallback(MessageHandler handler) { MsgCallback.store(std::move(handler)); }

void CHardwareServer_SET::SetBusyTest(std::function<bool()> test) { busyTest_.store(std::move(test)); }

bool CHardwareServer_SET::HasClients()
{
    const std::int64_t device = device_.load();
    return device != 0 && keyed_.load() == device;
}

int CHardwareServer_SET::SendBytes(const char* data, int count)
{
    const std::int64_t device = device_.load();
    return device != 0 ? sendMsg(device, data, count) : -1;
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
    std::string ip;
    int peerPort = 0;
    const bool known = getConnInfo(fd, ip, peerPort);
    const std::int64_t previous = device_.load();
    if (previous == fd)
        return;
    if (const auto busy = busyTest_.snapshot(); busy && (*busy)()) {
        // Whoever this is, the exchange under way is with the device it began with.
        Log(Level::Warning,
            "client refused fd:%p, ip=%s, port=%d: the device is in the middle of an exchange\n",
            quillon::HandleForLog(fd), known ? ip.c_str() : "?", peerPort);
        closeConnection(fd);
        return;
    }
    {
        std::lock_guard lock(ClientsMutex);
        Clients.assign(1, fd);
    }
    device_.store(fd);
    if (previous != 0) {
        Log(Level::Info, "client replaced fd:%p by fd:%p\n", quillon::HandleForLog(previous),
            quillon::HandleForLog(fd));
        closeConnection(previous);
    }
    if (known)
        Log(Level::Info, "client online fd:%p, port=%d, ip=%s, port=%d", quillon::HandleForLog(fd),
            listeningPort(), ip.c_str(), peerPort);
    else
        Log(Level::Info, "client online fd:%p, but get conn info error", quillon::HandleForLog(fd));
    // The device wants a pause before the key frame; taken on a timer, so the server goes on
    // accepting and serving meanwhile. A device replaced within the pause is never keyed.
    runAfter(quillon::kFramePause, [this, fd] {
        if (device_.load() == fd) {
            SendKeyTo(fd, quillon::FrameCodec::Pause::AlreadyWaited);
            keyed_.store(fd);
        }
    });
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
    std::int64_t expected = fd;
    device_.compare_exchange_strong(expected, 0);
    Log(Level::Info, "client offline, fd:%p", quillon::HandleForLog(fd));
}

void CHardwareServer_SET::SendKey()
{
    if (const std::int64_t device = device_.load(); device != 0)
        SendKeyTo(device, quillon::FrameCodec::Pause::Wait);
}

void CHardwareServer_SET::SendKeyTo(std::int64_t fd, quillon::FrameCodec::Pause pause)
{
    NewKeyAndSend([this, fd](const std::uint8_t* bytes,
                             int count) { sendMsg(fd, reinterpret_cast<const char*>(bytes), count); },
                  pause);
}

void CHardwareServer_SET::onRead(std::int64_t fd, std::vector<char>& data)
{
    // Only the device speaks: bytes of any other connection never reach the dispatcher.
    if (fd != device_.load())
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
