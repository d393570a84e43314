#include "support/net/TCPServer.h"

#include "support/base/Diagnostics.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/base/Diagnostics.h"
#include "support/net/AddressFilter.h"
#include "support/net/ListenOptions.h"

// Threading model. The server's thread owns the connections: it accepts, reads, closes, and runs
// the callbacks. Other threads touch only what `mutex_` guards (the table of open connections and
// each connection's write state) and, for one non-blocking send at a time, the socket itself.
//
// Writing: whichever thread finds a connection's line idle claims it and sends at once; the socket
// is non-blocking, so that never waits. Bytes the kernel did not take, and bytes sent while the line
// is claimed, join the connection's queue, which the server's thread writes out in order before it
// gives the line up. A send on an idle line, the stop-and-wait case, thus costs no thread
// hand-over and no copy; and a message is never split by another, as only the line's holder
// writes. The one lock held across a system call, a connection's sendMutex, covers that
// non-blocking send and the close, so that a closing connection's descriptor is never reused
// under a sender.

namespace libmarl {

namespace {

using asio::ip::tcp;

// Each connection reads into a buffer of its own: large enough for a few block frames per read,
// small enough that idle connections cost little. Being no larger than MaxPendingBytes, it also
// keeps a splitter's pending bytes under twice that bound.
constexpr std::size_t kReadChunk = 16 * 1024;
static_assert(kReadChunk <= TCPServer::MaxPendingBytes);

// A resource shortage (no file descriptors left) fails every accept at once; retrying at once
// would spin, so the server waits this long before trying again.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

// Through the library's diagnostic lines, where a host reads (or hides) everything else the
// library has to say: a line of its own on standard error came before a tool's own message.
void Report(const char* what, const char* detail)
{
    quillon::diag::Log(quillon::diag::Level::Error, "TCP server: %s: %s\n", what, detail);
}

}  // namespace

class QUILLON_LOCAL TCPServer::Impl {
public:
    Impl(TCPServer& owner, bool reuseAddress) : owner_(owner), reuseAddress_(reuseAddress) {}

    ~Impl()
    {
        // The owner's destructor has stopped the thread; what remains is closed without callbacks.
        closeLeftovers();
    }

    int start(const std::string& address, int port);
    void stop(bool notify);
    void beginShutdown(bool notify);
    void runLoop();

    void silenceCallbacks() { callbacksEnabled_.store(false); }
    int listeningPort() const { return port_.load(); }

    void setSplitter(MessageSplitter splitter)
    {
        std::lock_guard lock(mutex_);
        configuredSplitter_ = std::move(splitter);
    }

    std::string setAllowedPeers(const std::vector<std::string>& entries)
    {
        quillon::AddressFilter filter;
        for (const std::string& entry : entries)
            if (std::string problem = filter.Add(entry); !problem.empty())
                return problem;
        std::lock_guard lock(mutex_);
        configuredPeers_ = std::move(filter);
        return {};
    }

    void setMaxConnections(std::size_t count)
    {
        std::lock_guard lock(mutex_);
        configuredMaxConnections_ = count;
    }

    void closeById(std::int64_t fd);
    void runAfter(std::chrono::milliseconds delay, std::function<void()> task);

    // newest: to the most recently connected open connection, whatever `fd` says.
    int queue(std::int64_t fd, bool newest, const char* data, std::size_t count);
    bool connInfo(std::int64_t fd, std::string& ip, int& port);

private:
    struct Connection {
        Connection(std::int64_t handle, tcp::socket s) : id(handle), socket(std::move(s)) {}

        const std::int64_t id;
        tcp::socket socket;
        // Set once at accept, read-only afterwards.
        std::string peerAddress;
        int peerPort = 0;
        bool peerKnown = false;

        // Server thread only.
        bool closed = false;
        std::vector<char> readBuffer = std::vector<char>(kReadChunk);
        std::vector<char> pending;  // received bytes that do not make a message yet
        std::vector<char> writing;  // the bytes of the write under way

        // Guarded by Impl::mutex_.
        std::vector<char> queued;  // bytes waiting for the line, in order
        bool lineClaimed = false;  // a sender or the server's thread is writing
        // Bytes taken by sendMsg that the socket has not taken yet: queued, being written, or in a
        // sender's hands. The limit is on this sum; the queue alone says nothing while a write is
        // under way or a sender is about to put back what the socket did not take.
        std::size_t held = 0;

        std::mutex sendMutex;  // a send from another thread against the close
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    void startAccept();
    void onAccepted(const asio::error_code& error, tcp::socket socket);
    void startRead(const ConnectionPtr& conn);
    void onReadDone(const ConnectionPtr& conn, const asio::error_code& error, std::size_t count);
    void deliver(const ConnectionPtr& conn, const char* data, std::size_t count);
    std::optional<std::size_t> splitAndDeliver(const ConnectionPtr& conn, const char* data,
                                               std::size_t count);
    void deliverWhole(const ConnectionPtr& conn, const char* data, std::size_t count);
    void flush(const ConnectionPtr& conn);
    void closeConnection(const ConnectionPtr& conn, bool notify);
    void shutdownNow(bool notify);
    void closeLeftovers();
    std::size_t openCount();

    // Runs a callback of the owner. A derived class's exception must not end the server's thread
    // (every other connection would go silent), so it is reported and the server goes on.
    template <typename Callback>
    bool invoke(const char* what, Callback&& callback)
    {
        if (!callbacksEnabled_.load())
            return true;
        try {
            callback();
            return true;
        } catch (const std::exception& e) {
            Report(what, e.what());
        } catch (...) {
            Report(what, "unknown exception");
        }
        return false;
    }

    TCPServer& owner_;
    const bool reuseAddress_;
    std::atomic<bool> callbacksEnabled_{true};
    std::atomic<int> port_{0};
    // Tells a shutdown posted for one run from a later run: a stale one must not end the new run.
    std::atomic<std::uint64_t> generation_{0};

    // Serialises start and stop; never taken on the server's thread.
    std::mutex lifecycleMutex_;
    std::thread thread_;

    asio::io_context io_{1};
    tcp::acceptor acceptor_{io_};
    asio::steady_timer acceptRetry_{io_};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;

    // Server thread only.
    std::int64_t nextId_ = 1;  // never reset: a handle is not reused within one server
    MessageSplitter splitter_;
    quillon::AddressFilter peers_;
    std::size_t maxConnections_ = 0;
    std::vector<char> delivery_;  // what onRead gets; reused, but the callee may take it
    bool acceptFailing_ = false;

    std::mutex mutex_;
    std::map<std::int64_t, ConnectionPtr> open_;  // by handle, so the newest is the last
    MessageSplitter configuredSplitter_;
    quillon::AddressFilter configuredPeers_;
    std::size_t configuredMaxConnections_ = 0;
};

int TCPServer::Impl::start(const std::string& address, int port)
{
    if (io_.get_executor().running_in_this_thread()) {
        Report("startThread", "the server is already running");
        return -1;
    }
    if (port < 0 || port > 65535) {
        Report("startThread", "the port number is out of range");
        return -1;
    }
    std::lock_guard lifecycle(lifecycleMutex_);
    if (thread_.joinable()) {
        Report("startThread", "the server is already running");
        return -1;
    }

    asio::error_code error;
    const asio::ip::address local = asio::ip::make_address(address, error);
    if (error) {
        Report("startThread", ("\"" + address + "\" is not an IPv4 or IPv6 address").c_str());
        return -1;
    }
    const tcp::endpoint endpoint(local, static_cast<unsigned short>(port));
    acceptor_.open(endpoint.protocol(), error);
    // Every interface of IPv6 is meant to take IPv4 peers as well, as "0.0.0.0" does for IPv4.
    if (!error && local.is_v6() && local.is_unspecified())
        acceptor_.set_option(asio::ip::v6_only(false), error);
    if (!error && reuseAddress_)
        quillon::listen_options::AllowQuickRestart(acceptor_, error);
    if (!error)
        acceptor_.bind(endpoint, error);
    if (!error)
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    const tcp::endpoint bound = error ? tcp::endpoint() : acceptor_.local_endpoint(error);
    if (error) {
        const std::string what = "cannot listen on " + address + " port " + std::to_string(port);
        Report(what.c_str(), error.message().c_str());
        asio::error_code ignored;
        acceptor_.close(ignored);
        return -1;
    }

    {
        std::lock_guard lock(mutex_);
        splitter_ = configuredSplitter_;
        peers_ = configuredPeers_;
        maxConnections_ = configuredMaxConnections_;
    }
    ++generation_;
    acceptFailing_ = false;
    io_.restart();
    work_.emplace(asio::make_work_guard(io_));
    startAccept();
    port_.store(bound.port());
    try {
        thread_ = std::thread([this] {
            invoke("mainLoopBegin", [this] { owner_.mainLoopBegin(); });
            owner_.mainLoop();
        });
    } catch (const std::exception& e) {
        Report("cannot start the server's thread", e.what());
        work_.reset();
        asio::error_code ignored;
        acceptor_.close(ignored);
        io_.run();  // lets the aborted accept finish, so a later start begins clean
        port_.store(0);
        return -1;
    }
    return 0;
}

void TCPServer::Impl::runLoop()
{
    // A handler's exception leaves run(); the loop goes on with the remaining handlers. Callbacks
    // are caught where they are called, so only the server's own failures (memory) get here.
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception& e) {
            Report("event loop", e.what());
        } catch (...) {
            Report("event loop", "unknown exception");
        }
    }
}

void TCPServer::Impl::beginShutdown(bool notify)
{
    asio::post(io_, [this, generation = generation_.load(), notify] {
        if (generation == generation_.load())
            shutdownNow(notify);
    });
}

void TCPServer::Impl::stop(bool notify)
{
    if (io_.get_executor().running_in_this_thread()) {
        // Joining itself would never return; the thread ends once this callback has returned.
        if (notify)
            owner_.mainLoopKill();
        else
            beginShutdown(false);
        return;
    }
    std::lock_guard lifecycle(lifecycleMutex_);
    if (!thread_.joinable())
        return;
    if (notify)
        owner_.mainLoopKill();
    else
        beginShutdown(false);
    thread_.join();
    // Only a mainLoop that returned before the shutdown ran leaves anything open.
    closeLeftovers();
    port_.store(0);
}

void TCPServer::Impl::shutdownNow(bool notify)
{
    asio::error_code ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    port_.store(0);
    for (;;) {
        ConnectionPtr conn;
        {
            std::lock_guard lock(mutex_);
            if (open_.empty())
                break;
            conn = open_.begin()->second;
        }
        closeConnection(conn, notify);
    }
    // With nothing left to wait for, run() returns once the aborted operations have finished.
    work_.reset();
}

void TCPServer::Impl::closeLeftovers()
{
    asio::error_code ignored;
    acceptor_.close(ignored);
    std::map<std::int64_t, ConnectionPtr> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(open_);
    }
    for (auto& [id, conn] : left) {
        conn->closed = true;
        std::lock_guard sendLock(conn->sendMutex);
        conn->socket.close(ignored);
    }
    work_.reset();
}

void TCPServer::Impl::startAccept()
{
    acceptor_.async_accept(
        [this](const asio::error_code& error, tcp::socket socket) { onAccepted(error, std::move(socket)); });
}

void TCPServer::Impl::onAccepted(const asio::error_code& error, tcp::socket socket)
{
    if (!acceptor_.is_open())
        return;  // shut down; a connection accepted just before is dropped with its socket
    if (error) {
        if (!acceptFailing_)
            Report("accepting a connection failed, retrying", error.message().c_str());
        acceptFailing_ = true;
        acceptRetry_.expires_after(kAcceptRetryDelay);
        acceptRetry_.async_wait([this](const asio::error_code& waitError) {
            if (!waitError && acceptor_.is_open())
                startAccept();
        });
        return;
    }
    acceptFailing_ = false;

    asio::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    std::string peerAddress;
    if (!peerError) {
        asio::ip::address address = peer.address();
        // An IPv4 peer of a dual-stack listener is shown, and matched, as the IPv4 address it is.
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        peerAddress = address.to_string();
    }
    const char* refusal = nullptr;
    if (!peers_.AllowsEveryone() && (peerError || !peers_.Allows(peerAddress)))
        refusal = "not in the allowed list";
    else if (maxConnections_ > 0 && openCount() >= maxConnections_)
        refusal = "too many connections open";
    if (refusal) {
        // Closed before it costs anything more than the accept: no read, no callback.
        quillon::diag::Log(quillon::diag::Level::Warning, "connection from %s port %d refused: %s\n",
                           peerError ? "an unknown address" : peerAddress.c_str(),
                           peerError ? 0 : static_cast<int>(peer.port()), refusal);
        asio::error_code ignored;
        socket.close(ignored);
        startAccept();
        return;
    }

    asio::error_code ignored;
    // The device protocol waits for each reply before it sends on; delayed acknowledgements would
    // hold every small frame back.
    socket.set_option(tcp::no_delay(true), ignored);
    // Senders on other threads write at once; they must never wait for a slow peer.
    socket.non_blocking(true, ignored);
    auto conn = std::make_shared<Connection>(nextId_++, std::move(socket));
    if (!peerError) {
        conn->peerAddress = std::move(peerAddress);
        conn->peerPort = peer.port();
        conn->peerKnown = true;
    }
    {
        std::lock_guard lock(mutex_);
        open_.emplace(conn->id, conn);
    }
    startRead(conn);
    startAccept();
    invoke("onConn", [&] { owner_.onConn(conn->id); });
}

void TCPServer::Impl::startRead(const ConnectionPtr& conn)
{
    conn->socket.async_read_some(
        asio::buffer(conn->readBuffer),
        [this, conn](const asio::error_code& error, std::size_t count) { onReadDone(conn, error, count); });
}

void TCPServer::Impl::onReadDone(const ConnectionPtr& conn, const asio::error_code& error, std::size_t count)
{
    if (conn->closed)
        return;
    if (error) {
        // End of stream or reset: the peer has gone. What it sent is not lost.
        if (!conn->pending.empty()) {
            std::vector<char> rest;
            rest.swap(conn->pending);
            deliverWhole(conn, rest.data(), rest.size());
        }
        closeConnection(conn, true);
        return;
    }
    deliver(conn, conn->readBuffer.data(), count);
    if (!conn->closed)
        startRead(conn);
}

void TCPServer::Impl::deliver(const ConnectionPtr& conn, const char* data, std::size_t count)
{
    if (!splitter_) {
        deliverWhole(conn, data, count);
        return;
    }
    auto& pending = conn->pending;
    if (pending.empty()) {
        // The usual case: cut straight from the read buffer, keeping only an incomplete tail.
        const auto used = splitAndDeliver(conn, data, count);
        if (!used)
            return;
        pending.assign(data + *used, data + count);
    } else {
        pending.insert(pending.end(), data, data + count);
        const auto used = splitAndDeliver(conn, pending.data(), pending.size());
        if (!used)
            return;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(*used));
    }
    if (pending.size() > TCPServer::MaxPendingBytes) {
        std::vector<char> whole;
        whole.swap(pending);
        deliverWhole(conn, whole.data(), whole.size());
        whole.clear();
        pending.swap(whole);  // keeps the capacity for the next bytes
    }
}

std::optional<std::size_t> TCPServer::Impl::splitAndDeliver(const ConnectionPtr& conn, const char* data,
                                                            std::size_t count)
{
    std::size_t offset = 0;
    while (offset < count && !conn->closed) {
        const std::size_t available = count - offset;
        std::size_t size = 0;
        if (!invoke("message splitter", [&] { size = splitter_(data + offset, available); })) {
            closeConnection(conn, true);
            return std::nullopt;
        }
        if (size == 0 || size > available)
            break;
        deliverWhole(conn, data + offset, size);
        offset += size;
    }
    return offset;
}

void TCPServer::Impl::deliverWhole(const ConnectionPtr& conn, const char* data, std::size_t count)
{
    delivery_.assign(data, data + count);
    invoke("onRead", [&] { owner_.onRead(conn->id, delivery_); });
}

int TCPServer::Impl::queue(std::int64_t fd, bool newest, const char* data, std::size_t count)
{
    if ((count > 0 && data == nullptr) || count > static_cast<std::size_t>(INT_MAX))
        return -1;
    ConnectionPtr conn;
    {
        std::lock_guard lock(mutex_);
        if (open_.empty())
            return -1;
        const auto found = newest ? std::prev(open_.end()) : open_.find(fd);
        if (found == open_.end())
            return -1;
        Connection& target = *found->second;
        if (count > TCPServer::MaxQueuedBytes - target.held)
            return -1;
        target.held += count;
        if (target.lineClaimed || count == 0) {
            target.queued.insert(target.queued.end(), data, data + count);
            return static_cast<int>(count);
        }
        found->second->lineClaimed = true;
        conn = found->second;
    }

    std::size_t sent = 0;
    {
        std::lock_guard sendLock(conn->sendMutex);
        asio::error_code error;  // would_block or a failing peer: the queue takes the rest
        if (conn->socket.is_open())
            sent = conn->socket.send(asio::buffer(data, count), 0, error);
    }
    {
        std::lock_guard lock(mutex_);
        conn->held -= sent;
        // What others queued meanwhile came after this message.
        conn->queued.insert(conn->queued.begin(), data + sent, data + count);
        if (conn->queued.empty()) {
            conn->lineClaimed = false;
            return static_cast<int>(count);
        }
    }
    // The line stays claimed and passes to the server's thread.
    if (io_.get_executor().running_in_this_thread())
        flush(conn);
    else
        asio::post(io_, [this, conn = std::move(conn)] { flush(conn); });
    return static_cast<int>(count);
}

void TCPServer::Impl::flush(const ConnectionPtr& conn)
{
    if (conn->closed)
        return;
    {
        std::lock_guard lock(mutex_);
        if (conn->queued.empty()) {
            conn->lineClaimed = false;
            return;
        }
        conn->writing.swap(conn->queued);
    }
    asio::async_write(conn->socket, asio::buffer(conn->writing),
                      [this, conn](const asio::error_code& error, std::size_t) {
                          if (conn->closed)
                              return;
                          if (error) {
                              closeConnection(conn, true);
                              return;
                          }
                          {
                              std::lock_guard lock(mutex_);
                              conn->held -= conn->writing.size();
                          }
                          conn->writing.clear();
                          flush(conn);
                      });
}

void TCPServer::Impl::closeConnection(const ConnectionPtr& conn, bool notify)
{
    if (conn->closed)
        return;
    conn->closed = true;
    {
        std::lock_guard lock(mutex_);
        open_.erase(conn->id);
    }
    {
        // Gone from the table, the connection takes no new sender; one still sending finishes first.
        std::lock_guard sendLock(conn->sendMutex);
        asio::error_code ignored;
        conn->socket.shutdown(tcp::socket::shutdown_both, ignored);
        conn->socket.close(ignored);
    }
    if (notify)
        invoke("onClose", [&] { owner_.onClose(conn->id); });
}

std::size_t TCPServer::Impl::openCount()
{
    std::lock_guard lock(mutex_);
    return open_.size();
}

void TCPServer::Impl::closeById(std::int64_t fd)
{
    asio::post(io_, [this, fd] {
        ConnectionPtr conn;
        {
            std::lock_guard lock(mutex_);
            const auto found = open_.find(fd);
            if (found == open_.end())
                return;
            conn = found->second;
        }
        closeConnection(conn, true);
    });
}

void TCPServer::Impl::runAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    // The timer keeps itself alive until it fires or the loop's shutdown aborts it.
    timer->async_wait([this, timer, task = std::move(task)](const asio::error_code& error) {
        if (!error && acceptor_.is_open())
            invoke("delayed task", task);
    });
}

bool TCPServer::Impl::connInfo(std::int64_t fd, std::string& ip, int& port)
{
    std::lock_guard lock(mutex_);
    const auto found = open_.find(fd);
    if (found == open_.end() || !found->second->peerKnown)
        return false;
    ip = found->second->peerAddress;
    port = found->second->peerPort;
    return true;
}

TCPServer::TCPServer(bool reuseAddress) : impl_(std::make_unique<Impl>(*this, reuseAddress)) {}

TCPServer::~TCPServer()
{
    // The derived part is gone: nothing may call into it any more.
    impl_->silenceCallbacks();
    impl_->stop(false);
}

int TCPServer::startThread(int port) { return impl_->start("0.0.0.0", port); }

int TCPServer::startThread(const std::string& address, int port) { return impl_->start(address, port); }

std::string TCPServer::setAllowedPeers(const std::vector<std::string>& entries)
{
    return impl_->setAllowedPeers(entries);
}

void TCPServer::setMaxConnections(std::size_t count) { impl_->setMaxConnections(count); }

void TCPServer::closeConnection(std::int64_t fd) { impl_->closeById(fd); }

void TCPServer::runAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    impl_->runAfter(delay, std::move(task));
}

void TCPServer::stop() { impl_->stop(true); }

int TCPServer::listeningPort() const { return impl_->listeningPort(); }

void TCPServer::setMessageSplitter(MessageSplitter splitter) { impl_->setSplitter(std::move(splitter)); }

void TCPServer::mainLoop() { impl_->runLoop(); }

void TCPServer::mainLoopKill() { impl_->beginShutdown(true); }

int TCPServer::sendMsg(std::int64_t fd, const std::string& message)
{
    return impl_->queue(fd, false, message.data(), message.size());
}

int TCPServer::sendMsg(std::int64_t fd, const std::vector<char>& message)
{
    return impl_->queue(fd, false, message.data(), message.size());
}

int TCPServer::sendMsg(std::int64_t fd, const char* data, int count)
{
    if (count < 0)
        return -1;
    return impl_->queue(fd, false, data, static_cast<std::size_t>(count));
}

int TCPServer::sendMsg(const char* data, int count)
{
    if (count < 0)
        return -1;
    return impl_->queue(0, true, data, static_cast<std::size_t>(count));
}

int TCPServer::sendMsg(const std::string& message)
{
    return impl_->queue(0, true, message.data(), message.size());
}

int TCPServer::sendMsg(const std::vector<char>& message)
{
    return impl_->queue(0, true, message.data(), message.size());
}

bool TCPServer::getConnInfo(std::int64_t fd, std::string& ip, int& port)
{
    return impl_->connInfo(fd, ip, port);
}

}  // namespace libmarl
