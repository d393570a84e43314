#include "support/net/TCPServer.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Fd = std::int64_t;
constexpr auto kDeadline = 10s;
constexpr std::size_t kMaxPending = libmarl::TCPServer::MaxPendingBytes;

// What the server's callbacks saw.
struct Events {
    std::vector<Fd> conns, closes;
    std::map<Fd, std::vector<std::string>> messages;
    std::map<Fd, std::string> bytes;  // the messages of each connection, joined
    std::string last;                 // the latest callback: "conn", "read" or "close"
    std::set<std::thread::id> threads;

    std::string received(Fd fd) const { return bytes.count(fd) ? bytes.at(fd) : std::string(); }
};

class RecordingServer : public libmarl::TCPServer {
public:
    using TCPServer::TCPServer;
    ~RecordingServer() override { stop(); }

    // Runs on the server's thread after each callback is recorded, and may throw; set before startThread.
    std::function<void(const std::string& what, Fd fd, const std::string& data)> hook;

    void onConn(Fd fd) override { record("conn", fd); }
    void onRead(Fd fd, std::vector<char>& data) override
    {
        std::vector<char> taken;
        taken.swap(data);  // callees may consume the buffer; the server must cope
        record("read", fd, std::string(taken.begin(), taken.end()));
    }
    void onClose(Fd fd) override { record("close", fd); }

    bool waitUntil(const std::function<bool(const Events&)>& done)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return done(events_); });
    }
    Events events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The handle of the next connection that no caller has asked for yet, once it has connected.
    Fd nextConn()
    {
        const std::size_t n = ++connsTaken_;
        waitUntil([&](const Events& e) { return e.conns.size() >= n; });
        const auto e = events();
        return e.conns.size() >= n ? e.conns[n - 1] : -1;
    }
    bool waitReceived(Fd fd, const std::string& bytes)
    {
        return waitUntil([&](const Events& e) { return e.received(fd) == bytes; });
    }
    bool waitClosed(Fd fd)
    {
        return waitUntil(
            [&](const Events& e) { return std::count(e.closes.begin(), e.closes.end(), fd) > 0; });
    }

private:
    void record(const std::string& what, Fd fd, const std::string& data = {})
    {
        {
            std::lock_guard lock(mutex_);
            if (what == "read")
                events_.messages[fd].push_back(data), events_.bytes[fd] += data;
            else
                (what == "conn" ? events_.conns : events_.closes).push_back(fd);
            events_.last = what;
            events_.threads.insert(std::this_thread::get_id());
        }
        changed_.notify_all();
        if (hook)
            hook(what, fd, data);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
    std::size_t connsTaken_ = 0;  // the test's thread only
};

// A loopback peer whose reads give up after a deadline rather than hang a broken run.
class Client {
public:
    // receiveBuffer: the socket's receive buffer in bytes, fixed before it connects; 0 leaves it
    // to the system.
    explicit Client(int port, int receiveBuffer = 0)
    {
        socket_.open(asio::ip::tcp::v4());
        if (receiveBuffer > 0)
            socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        socket_.connect({asio::ip::address_v4::loopback(), std::uint16_t(port)});
    }

    void write(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    int localPort() const { return socket_.local_endpoint().port(); }
    void close(bool reset = false)
    {
        if (reset)
            socket_.set_option(asio::socket_base::linger(true, 0));
        socket_.close();
    }

    // Exactly count bytes, or fewer when the stream ends or the deadline passes first.
    std::string read(std::size_t count)
    {
        std::string data(count, '\0');
        std::size_t got = 0;
        asio::async_read(socket_, asio::buffer(data),
                         [&](asio::error_code e, std::size_t n) { error_ = e, got = n; });
        io_.restart();
        io_.run_for(kDeadline);
        if (!io_.stopped()) {  // the deadline passed
            socket_.cancel();
            io_.run();
        }
        return data.substr(0, got);
    }
    // True when the server ends the stream (with no more data) within the deadline.
    bool readsEndOfStream()
    {
        return read(1).empty() && (error_ == asio::error::eof || error_ == asio::error::connection_reset);
    }

private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_{io_};
    asio::error_code error_;  // of the last read
};

// A client of a RecordingServer, with the handle the server gave it.
struct Peer : Client {
    explicit Peer(RecordingServer& server) : Client(server.listeningPort()), fd(server.nextConn()) {}
    const Fd fd;
};

std::string Pattern(std::size_t size, int seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 251);
    return bytes;
}

TEST(TcpServerLifecycle, ListensOnAFreePortUntilStoppedAndRefusesUnusablePorts)
{
    RecordingServer server;
    server.stop();  // before any start: harmless
    EXPECT_EQ(server.listeningPort(), 0);
    ASSERT_EQ(server.startThread(0), 0);
    const int port = server.listeningPort();
    ASSERT_GT(port, 0);
    EXPECT_EQ(server.startThread(0), -1) << "a running server refuses a second start";
    for (bool reuse : {true, false}) {
        RecordingServer second(reuse);
        EXPECT_EQ(second.startThread(port), -1) << "a port in use, reuse " << reuse;
        EXPECT_EQ(second.listeningPort(), 0);
    }
    for (int bad : {-1, 65536})
        EXPECT_EQ(RecordingServer().startThread(bad), -1) << bad;
    EXPECT_GT(Peer(server).fd, 0) << "the refused starts left the running server unharmed";
    server.stop();
    server.stop();
    EXPECT_EQ(server.listeningPort(), 0);
    EXPECT_THROW(Client{port}, asio::system_error) << "nothing listens after stop";
}

TEST(TcpServerLifecycle, StopClosesEveryConnectionAndTheSamePortListensAgainAtOnce)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    const int port = server.listeningPort();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<Peer>(server));
        peers.back()->write("hi");
        ASSERT_TRUE(server.waitReceived(peers.back()->fd, "hi"));
    }
    server.stop();
    const auto events = server.events();
    EXPECT_EQ(std::set(events.closes.begin(), events.closes.end()),
              std::set(events.conns.begin(), events.conns.end()));
    EXPECT_EQ(events.threads.size(), 1u) << "every callback ran on the server's thread";
    EXPECT_FALSE(events.threads.count(std::this_thread::get_id()));
    for (auto& peer : peers)
        EXPECT_TRUE(peer->readsEndOfStream());

    // The server closed first, so its side of those connections waits in TIME_WAIT.
    ASSERT_EQ(server.startThread(port), 0);
    Peer again(server);
    EXPECT_GT(again.fd, *std::max_element(events.conns.begin(), events.conns.end()))
        << "handles are not reused";
    EXPECT_EQ(server.sendMsg(again.fd, std::string("back")), 4);
    EXPECT_EQ(again.read(4), "back");
}

TEST(TcpServerLifecycle, StopFromACallbackEndsTheServerWithoutDeadlock)
{
    RecordingServer server;
    server.hook = [&](const std::string& what, Fd, const std::string&) {
        if (what == "read")
            server.stop();
    };
    ASSERT_EQ(server.startThread(0), 0);
    Peer peer(server);
    peer.write("quit");
    EXPECT_TRUE(peer.readsEndOfStream());
    EXPECT_TRUE(server.waitClosed(peer.fd));
    server.stop();  // waits for the thread that stopped itself
    server.hook = nullptr;
    ASSERT_EQ(server.startThread(0), 0);
    EXPECT_GT(Peer(server).fd, peer.fd);
}

TEST(TcpServerLifecycle, DestroyingARunningServerClosesItsConnections)
{
    auto server = std::make_unique<libmarl::TCPServer>();
    ASSERT_EQ(server->startThread(0), 0);
    Client client(server->listeningPort());
    server.reset();
    EXPECT_TRUE(client.readsEndOfStream());
}

TEST(TcpServerConnections, FreshHandlesPeerInformationAndOneOnCloseWhetherThePeerClosesOrResets)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    Peer first(server), second(server);
    EXPECT_GT(first.fd, 0);
    EXPECT_GT(second.fd, first.fd);
    std::string ip;
    int port = 0;
    ASSERT_TRUE(server.getConnInfo(first.fd, ip, port));
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(port, first.localPort());

    for (auto [peer, reset] : {std::pair{&first, false}, std::pair{&second, true}}) {
        peer->write("last");
        ASSERT_TRUE(server.waitReceived(peer->fd, "last"));
        peer->close(reset);
        ASSERT_TRUE(server.waitClosed(peer->fd)) << "reset " << reset;
        EXPECT_EQ(server.sendMsg(peer->fd, std::string("late")), -1);
    }
    Peer third(server);
    EXPECT_GT(third.fd, second.fd) << "a new connection never gets an old handle";
    for (Fd unknown : {first.fd, second.fd, Fd{0}, Fd{-1}, third.fd + 100})
        EXPECT_FALSE(server.getConnInfo(unknown, ip, port)) << unknown;
    server.stop();  // would close the first two a second time had they stayed in the table
    EXPECT_EQ(server.events().closes, (std::vector<Fd>{first.fd, second.fd, third.fd}));
}

TEST(TcpServerConnections, AThrowingCallbackDoesNotStopTheServer)
{
    for (const std::string thrower : {"conn", "read", "close"}) {
        SCOPED_TRACE("throwing in on" + thrower);
        RecordingServer server;
        server.hook = [&](const std::string& what, Fd, const std::string&) {
            if (what == thrower)
                throw std::runtime_error("test callback failure");
        };
        ASSERT_EQ(server.startThread(0), 0);
        {
            Peer first(server);
            first.write("one");
            ASSERT_TRUE(server.waitReceived(first.fd, "one"));
            first.write("two");
            ASSERT_TRUE(server.waitReceived(first.fd, "onetwo"));
            first.close();
            ASSERT_TRUE(server.waitClosed(first.fd));
        }
        Peer second(server);
        EXPECT_EQ(server.sendMsg(second.fd, std::string("alive")), 5);
        EXPECT_EQ(second.read(5), "alive");
    }
}

// Sends with a handle reach that connection; sends without one reach the newest that is open.
TEST(TcpServerData, BytesFlowBothWaysThroughEveryOverloadAndBadSendsAreRefused)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    EXPECT_EQ(server.sendMsg("x", 1), -1) << "no connection open";
    Peer older(server), newer(server);
    const Fd fd = older.fd;

    const std::string upload = Pattern(300 * 1024, 1);
    for (std::size_t at = 0; at < upload.size(); at += 70000)
        older.write(upload.substr(at, 70000));
    EXPECT_TRUE(server.waitReceived(fd, upload)) << "without a splitter bytes arrive as they are, in order";

    using Send = std::function<int(const std::string&)>;
    const std::vector<std::tuple<const char*, Send, Peer*>> overloads = {
        {"fd, string", [&](const std::string& m) { return server.sendMsg(fd, m); }, &older},
        {"pointer", [&](const std::string& m) { return server.sendMsg(m.data(), int(m.size())); }, &newer},
    };
    int seed = 2;
    for (const auto& [name, send, peer] : overloads) {
        const std::string message = Pattern(4104, seed++);
        EXPECT_EQ(send(message), 4104) << name;
        EXPECT_EQ(peer->read(message.size()), message) << name;  // the other peer's would come first
    }

    EXPECT_EQ(server.sendMsg(fd, "", 0), 0);
    for (Fd unknown : {Fd{0}, Fd{-1}, newer.fd + 1})
        EXPECT_EQ(server.sendMsg(unknown, std::string("x")), -1) << unknown;
    EXPECT_EQ(server.sendMsg(fd, "x", -1), -1);
    EXPECT_EQ(server.sendMsg(fd, nullptr, 5), -1);
    EXPECT_EQ(server.sendMsg("x", -1), -1);
    ASSERT_EQ(server.sendMsg(fd, std::string("end")), 3);
    EXPECT_EQ(older.read(3), "end") << "a refused send wrote nothing";

    newer.close();
    ASSERT_TRUE(server.waitClosed(newer.fd));
    EXPECT_EQ(server.sendMsg(std::string("to older")), 8);
    EXPECT_EQ(older.read(8), "to older");
    older.close();
    ASSERT_TRUE(server.waitClosed(older.fd));
    EXPECT_EQ(server.sendMsg(std::string("nobody")), -1);
}

TEST(TcpServerData, SendsFromCallbacksKeepTheirOrder)
{
    RecordingServer server;
    server.setMessageSplitter([](const char*, std::size_t size) { return size >= 3 ? std::size_t{3} : 0; });
    server.hook = [&](const std::string& what, Fd fd, const std::string& message) {
        if (what == "conn")
            server.sendMsg("key", 3);  // as a link key goes out
        if (what == "read")
            server.sendMsg(fd, "<" + message), server.sendMsg(fd, std::string(">"));
    };
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    std::string sent, expected = "key";
    for (int i = 100; i < 400; ++i) {
        sent += std::to_string(i);
        expected += "<" + std::to_string(i) + ">";
    }
    client.write(sent);
    EXPECT_EQ(client.read(expected.size()), expected);
}

TEST(TcpServerData, APeerThatDoesNotReadCannotMakeTheServerHoldMoreThanItsLimit)
{
    using libmarl::TCPServer;
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    // A small receive buffer keeps what the system takes off the server's hands to its send buffer.
    Client peer(server.listeningPort(), 64 * 1024);
    const auto fd = server.nextConn();

    // A message of the whole limit is taken; the socket takes what its buffers hold and the rest
    // waits on the server. Once that rest is being written, the queue itself is empty again, and a
    // limit on the queue alone would take another limit's worth.
    EXPECT_EQ(server.sendMsg(fd, std::string(TCPServer::MaxQueuedBytes, 'w')),
              static_cast<int>(TCPServer::MaxQueuedBytes));
    const std::string chunk(256 * 1024, 'q');
    std::size_t more = 0;
    while (more <= TCPServer::MaxQueuedBytes && server.sendMsg(fd, chunk) > 0)
        more += chunk.size();
    EXPECT_LT(more, TCPServer::MaxQueuedBytes / 2) << "the server took a second queue's worth";
    EXPECT_EQ(server.sendMsg(fd, chunk), -1);
}

std::size_t LengthPrefixed(const char* data, std::size_t size)
{
    const auto byte = [&](int i) { return std::size_t{static_cast<unsigned char>(data[i])}; };
    return size < 2 ? 0 : 2 + (byte(1) << 8 | byte(0));
}

std::string WithLength(const std::string& body)
{
    return std::string{char(body.size() & 0xFF), char(body.size() >> 8)} + body;
}

TEST(TcpServerSplitter, UnendingDataIsDeliveredInBoundedPiecesAndTheRestAtClose)
{
    RecordingServer server;
    server.setMessageSplitter([](const char*, std::size_t) { return std::size_t{0}; });
    ASSERT_EQ(server.startThread(0), 0);
    Peer peer(server);
    const std::size_t size = 4 * kMaxPending + 123;
    const std::string stream = Pattern(size, 5);
    peer.write(stream);
    const auto allButTheBound = [&](const Events& e) {
        return e.received(peer.fd).size() + kMaxPending >= size;
    };
    ASSERT_TRUE(server.waitUntil(allButTheBound)) << "no more than the bound waits for a message";
    auto events = server.events();
    for (const auto& piece : events.messages[peer.fd]) {
        EXPECT_GT(piece.size(), kMaxPending);
        EXPECT_LE(piece.size(), 2 * kMaxPending);
    }
    peer.close();
    ASSERT_TRUE(server.waitClosed(peer.fd));
    events = server.events();
    EXPECT_EQ(events.received(peer.fd), stream);
    EXPECT_EQ(events.last, "close") << "the rest came before onClose";
}

TEST(TcpServerSplitter, ASplitterThatThrowsEndsOnlyThatConnection)
{
    RecordingServer server;
    server.setMessageSplitter([](const char* data, std::size_t size) {
        if (data[0] == '!')
            throw std::runtime_error("test splitter failure");
        return LengthPrefixed(data, size);
    });
    ASSERT_EQ(server.startThread(0), 0);
    Peer bad(server), good(server);
    bad.write("!oops");
    EXPECT_TRUE(server.waitClosed(bad.fd));
    EXPECT_TRUE(bad.readsEndOfStream());
    good.write(WithLength("fine"));
    EXPECT_TRUE(server.waitReceived(good.fd, WithLength("fine")));
}

}  // namespace
