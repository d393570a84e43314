// A TCP server that runs on a thread of its own. Connections are identified by handles that are
// never reused within one server, so a stale handle can never reach a newer connection. onConn,
// onRead and onClose are all called on the server's thread, one at a time; sendMsg may be called
// from any thread, the server's own included (say from inside onRead).
//
// A derived class calls stop() in its own destructor (or its owner calls it before deleting it):
// the base's destructor runs after the derived part is gone, when the server's thread may no
// longer call into it. The base's destructor therefore stops without calling any callback.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API TCPServer {
public:
    // Says how many bytes at the head of the received data make one whole message, or 0 when more
    // bytes are needed to tell. A result larger than the data also means "more are needed".
    using MessageSplitter = std::function<std::size_t(const char* data, std::size_t size)>;

    // With a splitter installed, received bytes that do not yet make a message wait, up to this
    // many; more than that without a message are delivered as they are, so a peer that never
    // completes a message cannot make the server hold ever more memory.
    static constexpr std::size_t MaxPendingBytes = 64 * 1024;
    // Bytes that one connection may have waiting to be written. A peer that stops reading makes
    // sendMsg fail rather than grow the queue without limit.
    static constexpr std::size_t MaxQueuedBytes = 16 * 1024 * 1024;

    // reuseAddress: the port can be listened on again at once after a stop, while connections of
    // the previous run are still in TIME_WAIT (SO_REUSEADDR on POSIX systems; what Windows does by
    // itself). Either way a port that another socket listens on stays refused.
    explicit TCPServer(bool reuseAddress);
    TCPServer() : TCPServer(true) {}
    // Stops the server if it still runs, without calling onClose. Never from the server's own
    // thread (a callback): that thread cannot wait for itself to end.
    virtual ~TCPServer();

    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // Listens on every IPv4 interface and starts the server's thread. Port 0 picks a free port
    // (see listeningPort). Returns 0, or -1 when the port cannot be listened on or the server runs.
    int startThread(int port);
    // The same on one local address, IPv4 or IPv6 ("127.0.0.1", "::1"; "::" takes IPv4 peers too
    // where the system allows it). -1 as well when address is not an address.
    int startThread(const std::string& address, int port);

    // Which peers may connect: addresses and networks ("10.0.0.5", "192.168.7.0/24", "::1"). A
    // connection from anyone else is closed as soon as it is accepted, before onConn, and logged
    // with its address. Empty (the default): everyone. Returns empty, or why an entry is not an
    // address or network (the list in force is then unchanged). Takes effect at the next startThread.
    std::string setAllowedPeers(const std::vector<std::string>& entries);

    // At most this many connections open at once; one more is closed as soon as it is accepted,
    // before onConn, and logged. 0 (the default): no cap. Takes effect at the next startThread.
    void setMaxConnections(std::size_t count);

    // Closes one connection (its onClose follows on the server's thread). From any thread; a handle
    // that is not open is ignored.
    void closeConnection(std::int64_t fd);

    // Runs task on the server's thread once delay has passed, unless the server stops first: a
    // pause there must not hold up every other connection. From any thread.
    void runAfter(std::chrono::milliseconds delay, std::function<void()> task);

    // Closes every connection (each gets its onClose on the server's thread), ends the server's
    // thread and waits for it. Bytes still queued for writing are dropped. The port can be listened
    // on again as soon as this returns. Safe to call more than once and from any thread; called on
    // the server's own thread (from a callback) it only begins the shutdown, and a later stop()
    // from another thread, or the destructor, waits for the thread.
    void stop();

    // The port the server listens on, or 0 when it does not run.
    int listeningPort() const;

    // Cuts each connection's received byte stream into messages, each delivered whole in one
    // onRead. Without a splitter, data is delivered as it arrives. The splitter runs on the
    // server's thread; one that throws ends that connection, whose stream can no longer be cut.
    // When the peer ends the connection, bytes that never made a message are delivered as they are
    // before onClose. Takes effect at the next startThread.
    void setMessageSplitter(MessageSplitter splitter);

    // Called on the server's thread before mainLoop.
    virtual void mainLoopBegin() {}
    // Runs the server's event loop on the calling thread until stop; startThread's thread runs it.
    // An exception that escapes a callback is reported on standard error and the loop goes on.
    virtual void mainLoop();
    // Closes every connection (with onClose) and makes mainLoop return; stop() calls it.
    virtual void mainLoopKill();

    // Called on the server's thread; they do nothing here.
    virtual void onClose(std::int64_t fd) { (void)fd; }
    // data holds one message (or what arrived, without a splitter); onRead may consume it.
    virtual void onRead(std::int64_t fd, std::vector<char>& data) { (void)fd, (void)data; }
    virtual void onConn(std::int64_t fd) { (void)fd; }

    // Send bytes to one connection: at once when nothing else is being written to it, otherwise
    // queued behind what is, for the server's thread to write in order. Never waits for the peer;
    // each message stays contiguous. Return the number of bytes taken, or -1 when the connection
    // does not exist (any more), the count is negative, or MaxQueuedBytes would be exceeded.
    virtual int sendMsg(std::int64_t fd, const std::string& message);
    virtual int sendMsg(std::int64_t fd, const std::vector<char>& message);
    virtual int sendMsg(std::int64_t fd, const char* data, int count);
    // The same to the most recently connected connection that is still open: a device that
    // reconnects holds the newest link key, so it is the one to talk to. -1 with none open.
    virtual int sendMsg(const char* data, int count);
    virtual int sendMsg(const std::string& message);
    virtual int sendMsg(const std::vector<char>& message);

    // The peer's address (IPv4, or IPv6 on an IPv6 listener) and port of a connection; false when
    // it does not exist.
    bool getConnInfo(std::int64_t fd, std::string& ip, int& port);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace libmarl
