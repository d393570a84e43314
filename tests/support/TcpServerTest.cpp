#include "support/TCPServer.h"

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Latch.h"

namespace {

using quillon::testing::Latch;

using asio::ip::tcp;
using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;
constexpr std::size_t kMaxPending = libmarl::TCPServer::MaxPendingBytes;

// What the server's callbacks saw, in order.
struct Events {
    std::vector<std::int64_t> conns;
    std::vector<std::int64_t> closes;
    std::map<std::int64_t, std::vector<std::string>> messages;
    std::vector<std::string> order;  // "conn", "read", "close" with the handle
    std::set<std::thread::id> threads;

    std::string received(std::int64_t fd) const
    {
        std::string all;
        if (auto it = messages.find(fd); it != messages.end())
            for (const auto& m : it->second)
                all += m;
        return all;
    }
};

class RecordingServer : public libmarl::TCPServer {
public:
    explicit RecordingServer(bool reuseAddress = true) : TCPServer(reuseAddress) {}
    ~RecordingServer() override { stop(); }

    // Run on the server's thread after the event is recorded; set before startThread.
    std::function<void(std::int64_t)> connHook, closeHook;
    std::function<void(std::int64_t, const std::string&)> readHook;

    void onConn(std::int64_t fd) override
    {
        record([&](Events& e) { e.conns.push_back(fd), e.order.push_back("conn" + std::to_string(fd)); });
        if (connHook)
            connHook(fd);
    }
    void onRead(std::int64_t fd, std::vector<char>& data) override
    {
        std::vector<char> taken;
        taken.swap(data);  // callees may consume the buffer; the server must cope
        const std::string message(taken.begin(), taken.end());
        record([&](Events& e) { e.messages[fd].push_back(message), e.order.push_back("read" + std::to_string(fd)); });
        if (readHook)
            readHook(fd, message);
    }
    void onClose(std::int64_t fd) override
    {
        record([&](Events& e) { e.closes.push_back(fd), e.order.push_back("close" + std::to_string(fd)); });
        if (closeHook)
            closeHook(fd);
    }

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
    // The handle of the n-th connection (from 1), once it has connected.
    std::int64_t waitConn(std::size_t n)
    {
        waitUntil([&](const Events& e) { return e.conns.size() >= n; });
        const auto e = events();
        return e.conns.size() >= n ? e.conns[n - 1] : -1;
    }
    bool waitReceived(std::int64_t fd, const std::string& bytes)
    {
        return waitUntil([&](const Events& e) { return e.received(fd) == bytes; });
    }
    bool waitClosed(std::int64_t fd)
    {
        return waitUntil([&](const Events& e) { return std::count(e.closes.begin(), e.closes.end(), fd) > 0; });
    }

private:
    template <typename F>
    void record(F&& change)
    {
        {
            std::lock_guard lock(mutex_);
            change(events_);
            events_.threads.insert(std::this_thread::get_id());
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Events events_;
};

// A loopback peer whose reads give up after a deadline rather than hang a broken run.
class Client {
public:
    explicit Client(int port) { socket_.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}); }

    void write(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    int localPort() const { return socket_.local_endpoint().port(); }
    void close() { socket_.close(); }
    void reset()
    {
        socket_.set_option(asio::socket_base::linger(true, 0));
        socket_.close();
    }

    // Exactly count bytes, or fewer when the stream ends or the deadline passes first.
    std::string read(std::size_t count)
    {
        std::string data(count, '\0');
        std::size_t got = 0;
        asio::async_read(socket_, asio::buffer(data), [&](const asio::error_code&, std::size_t n) { got = n; });
        run();
        data.resize(got);
        return data;
    }

    // True when the server ends the stream (with no more data) within the deadline.
    bool readsEndOfStream()
    {
        char byte = 0;
        asio::error_code result = asio::error::timed_out;
        socket_.async_read_some(asio::buffer(&byte, 1), [&](const asio::error_code& e, std::size_t) { result = e; });
        run();
        return result == asio::error::eof || result == asio::error::connection_reset;
    }

private:
    void run()
    {
        io_.restart();
        io_.run_for(kDeadline);
        if (!io_.stopped()) {
            socket_.cancel();
            io_.run();
        }
    }

    asio::io_context io_;
    tcp::socket socket_{io_};
};

std::string Pattern(std::size_t size, int seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 251);
    return bytes;
}

// --- lifecycle -----------------------------------------------------------------------------------

TEST(TcpServerLifecycle, EphemeralPortIsReportedWhileRunning)
{
    RecordingServer server;
    server.stop();  // before any start: harmless
    EXPECT_EQ(server.listeningPort(), 0);
    ASSERT_EQ(server.startThread(0), 0);
    const int port = server.listeningPort();
    ASSERT_GT(port, 0);
    EXPECT_EQ(server.startThread(0), -1) << "a running server refuses a second start";
    Client client(port);
    EXPECT_GT(server.waitConn(1), 0);
    server.stop();
    server.stop();
    EXPECT_EQ(server.listeningPort(), 0);
    EXPECT_THROW(Client{port}, asio::system_error) << "nothing listens after stop";
}

TEST(TcpServerLifecycle, UnusablePortsAreRefused)
{
    RecordingServer first;
    ASSERT_EQ(first.startThread(0), 0);
    for (bool reuse : {true, false}) {
        RecordingServer second(reuse);
        EXPECT_EQ(second.startThread(first.listeningPort()), -1) << "reuse " << reuse;
        EXPECT_EQ(second.listeningPort(), 0);
    }
    for (int port : {-1, 65536})
        EXPECT_EQ(RecordingServer().startThread(port), -1) << port;
    Client client(first.listeningPort());
    EXPECT_GT(first.waitConn(1), 0) << "the first server is unharmed";
}

TEST(TcpServerLifecycle, StopClosesEveryConnectionAndTheSamePortListensAgainAtOnce)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    const int port = server.listeningPort();
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 1; i <= 3; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->write("hi");
        ASSERT_TRUE(server.waitReceived(server.waitConn(i), "hi"));
    }
    server.stop();
    auto events = server.events();
    EXPECT_EQ(std::set(events.closes.begin(), events.closes.end()), std::set(events.conns.begin(), events.conns.end()));
    EXPECT_EQ(events.threads.size(), 1u) << "every callback ran on the server's thread";
    EXPECT_FALSE(events.threads.count(std::this_thread::get_id()));
    for (auto& client : clients)
        EXPECT_TRUE(client->readsEndOfStream());

    // The server closed first, so its side of those connections waits in TIME_WAIT.
    ASSERT_EQ(server.startThread(port), 0);
    Client again(port);
    const auto handle = server.waitConn(4);
    EXPECT_GT(handle, *std::max_element(events.conns.begin(), events.conns.end())) << "handles are not reused";
    EXPECT_EQ(server.sendMsg(handle, std::string("back")), 4);
    EXPECT_EQ(again.read(4), "back");
}

TEST(TcpServerLifecycle, StopFromACallbackEndsTheServerWithoutDeadlock)
{
    RecordingServer server;
    server.readHook = [&](std::int64_t, const std::string&) { server.stop(); };
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);
    client.write("quit");
    EXPECT_TRUE(client.readsEndOfStream());
    EXPECT_TRUE(server.waitClosed(fd));
    server.stop();  // waits for the thread that stopped itself
    server.readHook = nullptr;
    ASSERT_EQ(server.startThread(0), 0);
    Client again(server.listeningPort());
    EXPECT_GT(server.waitConn(2), fd);
}

TEST(TcpServerLifecycle, DestroyingARunningServerClosesItsConnections)
{
    auto server = std::make_unique<libmarl::TCPServer>();
    ASSERT_EQ(server->startThread(0), 0);
    Client client(server->listeningPort());
    server.reset();
    EXPECT_TRUE(client.readsEndOfStream());
}

// --- connections ---------------------------------------------------------------------------------

TEST(TcpServerConnections, HandlesAndPeerInformation)
{
    std::mutex infoMutex;  // outlives the server, whose thread may still be in the hook
    std::map<std::int64_t, std::pair<std::string, int>> infoInOnConn;
    RecordingServer server;
    server.connHook = [&](std::int64_t fd) {
        std::string ip;
        int port = 0;
        if (server.getConnInfo(fd, ip, port)) {
            std::lock_guard lock(infoMutex);
            infoInOnConn[fd] = {ip, port};
        }
    };
    ASSERT_EQ(server.startThread(0), 0);

    Client first(server.listeningPort()), second(server.listeningPort());
    const auto a = server.waitConn(1), b = server.waitConn(2);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, a);
    std::string ip;
    int port = 0;
    ASSERT_TRUE(server.getConnInfo(a, ip, port));
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_TRUE(port == first.localPort() || port == second.localPort());
    {
        std::lock_guard lock(infoMutex);
        EXPECT_EQ(infoInOnConn[a], std::make_pair(ip, port)) << "the peer is known in onConn already";
    }

    first.close();
    ASSERT_TRUE(server.waitClosed(a));
    Client third(server.listeningPort());
    EXPECT_GT(server.waitConn(3), b) << "a new connection never gets an old handle";
    for (std::int64_t unknown : {a, std::int64_t{0}, std::int64_t{-1}, b + 100})
        EXPECT_FALSE(server.getConnInfo(unknown, ip, port)) << unknown;
}

TEST(TcpServerConnections, PeerCloseOrResetCallsOnCloseOnce)
{
    for (bool reset : {false, true}) {
        RecordingServer server;
        ASSERT_EQ(server.startThread(0), 0);
        Client client(server.listeningPort());
        const auto fd = server.waitConn(1);
        client.write("last");
        ASSERT_TRUE(server.waitReceived(fd, "last"));
        reset ? client.reset() : client.close();
        ASSERT_TRUE(server.waitClosed(fd)) << "reset " << reset;
        EXPECT_EQ(server.sendMsg(fd, std::string("late")), -1);
        server.stop();  // would close the connection a second time had it stayed in the table
        EXPECT_EQ(server.events().closes, std::vector<std::int64_t>{fd}) << "reset " << reset;
    }
}

TEST(TcpServerConnections, AThrowingCallbackDoesNotStopTheServer)
{
    const std::vector<std::string> throwers = {"onConn", "onRead", "onClose"};
    for (const auto& thrower : throwers) {
        RecordingServer server;
        auto fail = [](auto&&...) { throw std::runtime_error("test callback failure"); };
        if (thrower == "onConn")
            server.connHook = fail;
        if (thrower == "onRead")
            server.readHook = fail;
        if (thrower == "onClose")
            server.closeHook = fail;
        ASSERT_EQ(server.startThread(0), 0);
        {
            Client first(server.listeningPort());
            const auto fd = server.waitConn(1);
            first.write("one");
            ASSERT_TRUE(server.waitReceived(fd, "one")) << thrower;
            first.write("two");
            ASSERT_TRUE(server.waitReceived(fd, "onetwo")) << thrower;
            first.close();
            ASSERT_TRUE(server.waitClosed(fd)) << thrower;
        }
        Client second(server.listeningPort());
        const auto fd = server.waitConn(2);
        EXPECT_EQ(server.sendMsg(fd, std::string("alive")), 5);
        EXPECT_EQ(second.read(5), "alive") << thrower;
    }
}

// --- sending and receiving -----------------------------------------------------------------------

TEST(TcpServerData, BytesFlowBothWaysThroughEveryOverload)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);

    const std::string upload = Pattern(300 * 1024, 1);
    for (std::size_t at = 0; at < upload.size(); at += 70000)
        client.write(upload.substr(at, 70000));
    EXPECT_TRUE(server.waitReceived(fd, upload)) << "without a splitter bytes arrive as they are, in order";

    using Send = std::function<int(const std::string&)>;
    const std::vector<std::pair<const char*, Send>> overloads = {
        {"fd, string", [&](const std::string& m) { return server.sendMsg(fd, m); }},
        {"fd, vector", [&](const std::string& m) { return server.sendMsg(fd, std::vector<char>(m.begin(), m.end())); }},
        {"fd, pointer", [&](const std::string& m) { return server.sendMsg(fd, m.data(), static_cast<int>(m.size())); }},
        {"pointer", [&](const std::string& m) { return server.sendMsg(m.data(), static_cast<int>(m.size())); }},
        {"string", [&](const std::string& m) { return server.sendMsg(m); }},
        {"vector", [&](const std::string& m) { return server.sendMsg(std::vector<char>(m.begin(), m.end())); }},
    };
    int seed = 2;
    for (const auto& [name, send] : overloads) {
        const std::string message = Pattern(4104, seed++);
        EXPECT_EQ(send(message), 4104) << name;
        EXPECT_EQ(client.read(message.size()), message) << name;
    }
    EXPECT_EQ(server.sendMsg(fd, "", 0), 0);
}

TEST(TcpServerData, BadSendsFail)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    EXPECT_EQ(server.sendMsg("x", 1), -1) << "no connection open";
    EXPECT_EQ(server.sendMsg(std::string("x")), -1);
    EXPECT_EQ(server.sendMsg(std::vector<char>{'x'}), -1);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);
    for (std::int64_t unknown : {std::int64_t{0}, std::int64_t{-1}, fd + 1})
        EXPECT_EQ(server.sendMsg(unknown, std::string("x")), -1) << unknown;
    EXPECT_EQ(server.sendMsg(fd, "x", -1), -1);
    EXPECT_EQ(server.sendMsg(fd, nullptr, 5), -1);
    EXPECT_EQ(server.sendMsg("x", -1), -1);
}

TEST(TcpServerData, HandlelessSendsReachTheNewestOpenConnection)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    Client older(server.listeningPort());
    const auto olderFd = server.waitConn(1);
    Client newer(server.listeningPort());
    const auto newerFd = server.waitConn(2);

    EXPECT_EQ(server.sendMsg(std::string("to newer")), 8);
    EXPECT_EQ(newer.read(8), "to newer");
    // Had the older one got it too, this read would start with it.
    EXPECT_EQ(server.sendMsg(olderFd, std::string("marker")), 6);
    EXPECT_EQ(older.read(6), "marker");

    newer.close();
    ASSERT_TRUE(server.waitClosed(newerFd));
    EXPECT_EQ(server.sendMsg(std::string("to older")), 8);
    EXPECT_EQ(older.read(8), "to older");
    older.close();
    ASSERT_TRUE(server.waitClosed(olderFd));
    EXPECT_EQ(server.sendMsg(std::string("nobody")), -1);
}

TEST(TcpServerData, SendsFromCallbacksKeepTheirOrder)
{
    RecordingServer server;
    server.setMessageSplitter([](const char*, std::size_t size) { return size >= 3 ? std::size_t{3} : 0; });
    server.connHook = [&](std::int64_t) { server.sendMsg("key", 3); };  // as a link key goes out
    server.readHook = [&](std::int64_t fd, const std::string& m) {
        server.sendMsg(fd, "<" + m);
        server.sendMsg(fd, std::string(">"));
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

TEST(TcpServerData, ConcurrentSendsKeepEachMessageWhole)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);

    constexpr int kThreads = 4, kMessages = 150;
    // A message: its thread, its sequence number, then a body of the thread's number. Every tenth
    // is larger than the socket takes at once, so sends are cut short while others queue.
    auto message = [](int thread, int seq) {
        const std::size_t length = seq % 10 == 0 ? 100000 + static_cast<std::size_t>(thread) * 1000
                                                 : 1 + static_cast<std::size_t>(seq * 37 + thread * 101) % 3000;
        return std::string{char(thread), char(seq)} + std::string(length, char(thread));
    };
    std::size_t total = 0;
    for (int t = 0; t < kThreads; ++t)
        for (int s = 0; s < kMessages; ++s)
            total += message(t, s).size();

    Latch go(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            go.arrive_and_wait();
            for (int s = 0; s < kMessages; ++s)
                EXPECT_EQ(server.sendMsg(fd, message(t, s)), static_cast<int>(message(t, s).size()));
        });
    const std::string stream = client.read(total);
    for (auto& sender : senders)
        sender.join();
    ASSERT_EQ(stream.size(), total);

    std::vector<int> nextSeq(kThreads, 0);
    for (std::size_t at = 0; at < stream.size();) {
        const int thread = stream[at], seq = static_cast<unsigned char>(stream[at + 1]);
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << "at " << at;
        ASSERT_EQ(seq, nextSeq[thread]++) << "at " << at;
        const std::string expected = message(thread, seq);
        ASSERT_EQ(stream.compare(at, expected.size(), expected), 0) << "message interleaved at " << at;
        at += expected.size();
    }
}

TEST(TcpServerData, APeerThatDoesNotReadCannotGrowTheQueueWithoutLimit)
{
    RecordingServer server;
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);
    const std::string chunk(1024 * 1024, 'q');
    std::size_t accepted = 0;
    for (int i = 0; i < 256 && server.sendMsg(fd, chunk) > 0; ++i)
        accepted += chunk.size();
    EXPECT_GE(accepted + chunk.size(), libmarl::TCPServer::MaxQueuedBytes);
    EXPECT_LT(accepted, 256 * chunk.size()) << "sends must start failing";
}

// --- message splitting ---------------------------------------------------------------------------

std::size_t LengthPrefixed(const char* data, std::size_t size)
{
    if (size < 2)
        return 0;
    return 2 + (static_cast<unsigned char>(data[0]) | static_cast<std::size_t>(static_cast<unsigned char>(data[1])) << 8);
}

std::string WithLength(const std::string& body)
{
    return std::string{char(body.size() & 0xFF), char(body.size() >> 8)} + body;
}

TEST(TcpServerSplitter, MessagesArriveWholeHoweverTheStreamIsCut)
{
    const std::vector<std::string> small = {WithLength("a"), WithLength("frame two"), WithLength("")};
    const std::vector<std::string> blocks = {WithLength(Pattern(4102, 1)), WithLength(Pattern(4102, 2)),
                                             WithLength(Pattern(4102, 3))};
    struct Case {
        const char* name;
        std::vector<std::string> messages;
        std::size_t piece;  // the peer writes the stream in pieces of this size
    };
    const std::vector<Case> cases = {
        {"a byte at a time", small, 1},
        {"all in one write", small, 1000},
        {"cut inside the length", small, 3},
        {"blocks in uneven pieces", blocks, 777},
        {"blocks in one write", blocks, 100000},
    };
    RecordingServer server;
    server.setMessageSplitter(LengthPrefixed);
    ASSERT_EQ(server.startThread(0), 0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        Client client(server.listeningPort());
        const auto fd = server.waitConn(i + 1);
        std::string stream;
        for (const auto& m : c.messages)
            stream += m;
        for (std::size_t at = 0; at < stream.size(); at += c.piece)
            client.write(stream.substr(at, c.piece));
        server.waitUntil([&](const Events& e) { return e.received(fd).size() >= stream.size(); });
        EXPECT_EQ(server.events().messages[fd], c.messages) << c.name;
    }
}

TEST(TcpServerSplitter, UnendingDataIsDeliveredInBoundedPiecesAndTheRestAtClose)
{
    RecordingServer server;
    server.setMessageSplitter([](const char*, std::size_t) { return std::size_t{0}; });
    ASSERT_EQ(server.startThread(0), 0);
    Client client(server.listeningPort());
    const auto fd = server.waitConn(1);
    const std::string stream = Pattern(4 * kMaxPending + 123, 5);
    client.write(stream);
    ASSERT_TRUE(server.waitUntil([&](const Events& e) { return e.received(fd).size() + kMaxPending >= stream.size(); }))
        << "no more than the bound waits for a message";
    const auto beforeClose = server.events();
    for (const auto& piece : beforeClose.messages.at(fd)) {
        EXPECT_GT(piece.size(), kMaxPending);
        EXPECT_LE(piece.size(), 2 * kMaxPending);
    }
    client.close();
    ASSERT_TRUE(server.waitClosed(fd));
    const auto events = server.events();
    EXPECT_EQ(events.received(fd), stream);
    EXPECT_EQ(events.order.back(), "close" + std::to_string(fd)) << "the rest came before onClose";
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
    Client bad(server.listeningPort());
    const auto badFd = server.waitConn(1);
    Client good(server.listeningPort());
    const auto goodFd = server.waitConn(2);
    bad.write("!oops");
    EXPECT_TRUE(server.waitClosed(badFd));
    EXPECT_TRUE(bad.readsEndOfStream());
    good.write(WithLength("fine"));
    EXPECT_TRUE(server.waitReceived(goodFd, WithLength("fine")));
}

}  // namespace
