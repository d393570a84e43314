// A TCP server that runs on a thread of its own. Connections are identified by handles that are
// never reused within one server, so a stale handle can never reach a newer connection. onConn,
// onRead and onClose are all called on the server's thread, one at a time; sendMsg may be called
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/Export.h"

namespace libmarl {

class QUILLON_API TCPServer {
public:
    // Says how many bytes at the head of the received data make one whole message, or 0 when more
    // bytes are needed to tell. A result larger than the data also means "more are needed".
    using MessageSplitter = std::function<std::size_t(const char* data, std::size_t size)>;

    // reuseAddress: listen with SO_REUSEADDR, so the port can be listened on again at once after a
    // stop, while connections of the previous run are still in TIME_WAIT.
    explicit TCPServer(bool reuseAddress);
    TCPServer() : TCPServer(true) {}
    virtual ~TCPServer();  // stops the server if it still runs

    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // Listens on every IPv4 interface and starts the server's thread. Port 0 picks a free port
    // (see listeningPort). Returns 0, or -1 when the port cannot be listened on or the server runs.
    int startThread(int port);

    // Closes every connection (each gets its onClose), ends the server's thread and waits for it.
    // The port can be listened on again as soon as this returns. Safe to call more than once, and
    // from any thread but the server's own.
    void stop();

    // The port the server listens on, or 0 when it does not run.
    int listeningPort() const;

    // Cuts the received byte stream into messages before onRead sees it. Without a splitter, data
    // is delivered as it arrives. Set it before startThread.
    void setMessageSplitter(MessageSplitter splitter);

    virtual void mainLoopBegin() {}
    // Runs the server's event loop on the calling thread until stop; startThread's thread runs it.
    virtual void mainLoop();
    // Makes mainLoop return.
    virtual void mainLoopKill();

    // Called on the server's thread; they do nothing here.
    virtual void onClose(std::int64_t fd) { (void)fd; }
    // data holds one message (or what arrived, without a splitter); onRead may consume it.
    virtual void onRead(std::int64_t fd, std::vector<char>& data) { (void)fd, (void)data; }
    virtual void onConn(std::int64_t fd) { (void)fd; }

    // Queue bytes for one connection; the server's thread writes them in order. Return the number
    // of bytes queued, or -1 when the connection does not exist (any more).
    virtual int sendMsg(std::int64_t fd, const std::string& message);
    virtual int sendMsg(std::int64_t fd, const std::vector<char>& message);
    virtual int sendMsg(std::int64_t fd, const char* data, int count);
    // The same to the most recently connected connection that is still open: a device that
    // reconnects holds the newest link key, so it is the one to talk to. -1 with none open.
    virtual int sendMsg(const char* data, int count);
    virtual int sendMsg(const std::string& message);
    virtual int sendMsg(const std::vector<char>& message);

    // The peer's IPv4 address and port of a connection; false when it does not exist.
    bool getConnInfo(std::int64_t fd, std::string& ip, int& port);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace libmarl
