// The TCP link: the host listens and the device connects. Every frame the device sends reaches the
// message handler whole; a watcher reports every 10 ms whether a keyed device is connected.
//
// The protocol has no authentication, so the link talks to exactly one connection, the device: the
// newest one that the server took in while the host was not in the middle of an exchange. It gets a
// fresh link key; only its bytes reach the handler, and only it receives the host's frames. A new
// connection while the link is idle replaces the device (a device that reconnects after a cable
// pull is served at once) and the old one is closed; a new connection while the busy test says an
// exchange is under way is closed at once, unkeyed, so that nobody can barge into an upload, a
// download or a reply wait. Which peers the server takes in at all, and how many at once, the
// owner sets on the server (setAllowedPeers, setMaxConnections) before it starts it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/HostFrames.h"
#include "support/base/Guarded.h"
#include "support/net/TCPServer.h"
#include "transport/Communication_SET.h"
#include "transport/FrameDelivery.h"

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
    // Whether the host is in the middle of an exchange with the device; asked on the server's
    // thread for each new connection. Without one the link is always idle.
    void SetBusyTest(std::function<bool()> test);

    void onConn(std::int64_t fd) override;
    void onRead(std::int64_t fd, std::vector<char>& data) override;
    void onClose(std::int64_t fd) override;

    // Announces a new link key to the device (the key is in force from here on).
    void SendKey();

    // How HostFrames' frames leave: to the device's connection, never to a newcomer.
    int SendBytes(const char* data, int count);

    // Whether a device is connected now and has been sent its key. A connection is not the device
    // before: a host that began an exchange in that gap would scramble its first frame with a key
    // the device never had, and take the device's answer for a stranger's.
    bool HasClients();

private:
    void WatchClients();
    void SendKeyTo(std::int64_t fd, quillon::FrameCodec::Pause pause);

    std::vector<std::int64_t> Clients;  // the device's connection, or nothing
    std::mutex ClientsMutex;
    std::condition_variable WakeCondition;
    std::mutex WakeMutex;
    std::string RecvBuffer;  // the chunk under test; only the server's thread touches it
    // May be set while the link runs: a delivery works with the handler it found when it began.
    quillon::GuardedCallback<int(unsigned char*, int)> MsgCallback;
    quillon::GuardedCallback<bool()> busyTest_;
    // The device's connection, 0 for none; written on the server's thread, read by senders.
    std::atomic<std::int64_t> device_{0};
    // The connection that was last sent a key on arrival; the device counts as there once it is
    // device_. Written on the server's thread after the key frame went.
    std::atomic<std::int64_t> keyed_{0};

    bool stopWatching_ = false;  // guarded by WakeMutex
    std::thread watcher_;
};
