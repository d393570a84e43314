// The TCP link: the host listens and the device connects. Every new connection gets a fresh link
// key; every frame the device sends reaches the message handler whole; a watcher reports every
// 10 ms whether a device is connected.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/HostFrames.h"
#include "support/Guarded.h"
#include "support/TCPServer.h"
#include "transport/Communication_SET.h"
#include "transport/FrameDelivery.h"

namespace quillon {
// Cuts a device's byte stream into frames by their type's length, so that each frame reaches the
// link whole however TCP splits or joins the stream. Bytes that cannot start a frame are passed on
// as they are, up to the next start byte, for the link's own checks to refuse.
std::size_t SplitDeviceFrames(const char* data, std::size_t size);
}  // namespace quillon

class CHardwareServer_SET : public libmarl::TCPServer,
                            public CCommunication_SET,
                            public quillon::HostFrames<CHardwareServer_SET> {
public:
    using MessageHandler = quillon::MessageHandler;

    // Starts the watcher; listening starts with startThread.
    CHardwareServer_SET();
    // Waits for the watcher to leave its loop. The owner stops the server before deleting it, so
    // that no callback reaches a half-destroyed object.
    ~CHardwareServer_SET() override;

    // Receives every frame the device sends, on the server's thread.
    void SetMsgCallback(MessageHandler handler);

    void onConn(std::int64_t fd) override;
    void onRead(std::int64_t fd, std::vector<char>& data) override;
    void onClose(std::int64_t fd) override;

    // Announces a new link key to the device (the key is in force from here on).
    void SendKey();

    // How HostFrames' frames leave: to the connected device.
    int SendBytes(const char* data, int count) { return sendMsg(data, count); }

    // Whether a device is connected now.
    bool HasClients();

private:
    void WatchClients();
    bool IsClient(std::int64_t fd);

    std::vector<std::int64_t> Clients;  // connected devices, in order of connection
    std::mutex ClientsMutex;
    std::condition_variable WakeCondition;
    std::mutex WakeMutex;
    std::string RecvBuffer;  // the chunk under test; only the server's thread touches it
    // May be set while the link runs: a delivery works with the handler it found when it began.
    quillon::GuardedCallback<int(unsigned char*, int)> MsgCallback;

    bool stopWatching_ = false;  // guarded by WakeMutex
    std::thread watcher_;
};
