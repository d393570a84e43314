#include "MinimalPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "Processes.h"
#include "Sockets.h"
#include "protocol/FrameCodec.h"
#include "protocol/FrameSplitter.h"
#include "protocol/HostFrames.h"

namespace quillon::bench {

namespace {

constexpr auto kConnectRetry = std::chrono::milliseconds(5);
// Room for a few block frames per read, as the loop's receiver gets one per read.
constexpr std::size_t kReadRoom = 64 * 1024;

// What the peer knows between frames: the key, and the download it is serving.
class Session {
public:
    Session(int fd, std::atomic<bool>& keyed, Milestones& blocksTaken, Milestones& downloadsServed)
        : fd_(fd), keyed_(keyed), blocksTaken_(blocksTaken), downloadsServed_(downloadsServed)
    {}

    // Answers one whole frame; false once the link is gone.
    template <typename TakeServed>
    bool Answer(std::uint8_t* frame, int length, TakeServed&& takeServed)
    {
        const std::uint8_t type = frame[1];
        if (type == TypeByte(FrameType::Key)) {
            key_ = ReadKeyFrame(frame);
            keyed_.store(true);
            return true;
        }
        if (type == TypeByte(FrameType::Block)) {
            // Acknowledged unread, as the loop's receiver does with its blocks.
            const bool sent = SendAck(0);
            blocksTaken_.Raise();
            return sent;
        }
        if (!CheckFrame(frame, length, key_))
            return true;
        if (type == TypeByte(FrameType::Command)) {
            if (frame[2] == command::kRead && frame[4] == command::kSettings)
                return StartDownload(frame[3], takeServed());
            return SendAck(frame[2] == command::kWrite || frame[2] == command::kProbe ? 0 : 1);
        }
        if (type == TypeByte(FrameType::Value))
            return SendAck(frame[3] == value::kArchiveSize ? 0 : 1);
        if (type == TypeByte(FrameType::Ack) && archive_) {
            if (frame[2] != 0 || next_ == blocks_) {
                if (frame[2] == 0)
                    downloadsServed_.Raise();
                archive_.reset();
                return true;
            }
            return SendBlock();
        }
        return true;
    }

private:
    bool SendAck(std::uint8_t code)
    {
        const std::uint8_t body[] = {code, 0, 0, 0};
        const int length = AssembleFrame(out_, TypeByte(FrameType::Ack), body, key_);
        return SendAll(fd_, out_.data(), static_cast<std::size_t>(length));
    }

    bool StartDownload(std::uint8_t kind, std::shared_ptr<const std::vector<std::uint8_t>> archive)
    {
        if (!archive)
            return SendAck(1);
        archive_ = std::move(archive);
        const auto size = static_cast<std::uint32_t>(archive_->size());
        next_ = 0;
        blocks_ = std::max<std::uint32_t>(1, (size + kBlockDataSize - 1) / kBlockDataSize);
        std::uint8_t body[6] = {kind, value::kArchiveSize};
        WriteLe32(body + 2, size);
        const int length = AssembleFrame(out_, TypeByte(FrameType::Value), body, key_);
        return SendAll(fd_, out_.data(), static_cast<std::size_t>(length));
    }

    // The block is built as it goes, as the loop's sender copies each block into its frame.
    bool SendBlock()
    {
        const std::size_t offset = static_cast<std::size_t>(next_) * kBlockDataSize;
        const std::size_t count = std::min<std::size_t>(kBlockDataSize, archive_->size() - offset);
        const int length = BeginFrame(out_, TypeByte(FrameType::Block));
        WriteLe16(out_.data() + 2, static_cast<std::uint16_t>(next_));
        std::memcpy(out_.data() + 4, archive_->data() + offset, count);
        SealFrame(out_.data(), length, key_);
        ++next_;
        return SendAll(fd_, out_.data(), static_cast<std::size_t>(length));
    }

    const int fd_;
    std::atomic<bool>& keyed_;
    Milestones& blocksTaken_;
    Milestones& downloadsServed_;
    LinkKey key_{};
    std::array<std::uint8_t, kMaxFrameSize> out_{};
    std::shared_ptr<const std::vector<std::uint8_t>> archive_;  // while a download runs
    std::uint32_t next_ = 0;
    std::uint32_t blocks_ = 0;
};

}  // namespace

MinimalPeer::MinimalPeer(int port, int processor) : thread_([this, port, processor] { Run(port, processor); })
{}

MinimalPeer::~MinimalPeer()
{
    stopping_.store(true);
    // Wakes the thread from its blocking read. The socket is closed only once the thread is gone,
    // so that its number is never reused under a read.
    if (const int fd = socket_.load(); fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
    thread_.join();
    if (const int fd = socket_.load(); fd >= 0)
        ::close(fd);
}

void MinimalPeer::Serve(std::vector<std::uint8_t> archive)
{
    auto served = std::make_shared<const std::vector<std::uint8_t>>(std::move(archive));
    std::lock_guard lock(servedMutex_);
    served_ = std::move(served);
}

void Milestones::Raise()
{
    // The count goes up before the waiter's mark is read, and the waiter sets its mark before it
    // reads the count: one of the two sees the other, so no wake-up is lost.
    if (count_.fetch_add(1) + 1 >= awaited_.load()) {
        std::lock_guard lock(mutex_);
        reached_.notify_all();
    }
}

bool Milestones::WaitFor(std::uint64_t total, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    awaited_.store(total);
    const bool reached = reached_.wait_for(lock, limit, [&] { return count_.load() >= total; });
    awaited_.store(UINT64_MAX);
    return reached;
}

void MinimalPeer::Run(int port, int processor)
{
    RunThisThreadOn(processor);
    int fd = -1;
    while (!stopping_.load() && (fd = ConnectLoopback(port)) < 0)
        std::this_thread::sleep_for(kConnectRetry);
    if (fd < 0)
        return;
    NoDelay(fd);
    socket_.store(fd);
    // A destructor that looked before the store finds the flag set here.
    if (stopping_.load())
        return;

    Session session(fd, keyed_, blocksTaken_, downloadsServed_);
    const auto takeServed = [this] {
        std::lock_guard lock(servedMutex_);
        return served_;
    };
    std::vector<std::uint8_t> in(kReadRoom);
    std::size_t have = 0;
    bool up = true;
    while (up) {
        const ssize_t n = ::recv(fd, in.data() + have, in.size() - have, 0);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
        std::size_t at = 0;
        while (up) {
            const FrameCut cut = CutFrame({in.data() + at, have - at});
            if (cut.kind == FrameCut::Kind::Wait)
                break;
            if (cut.kind == FrameCut::Kind::Frame)
                up = session.Answer(in.data() + at, static_cast<int>(cut.length), takeServed);
            at += cut.length;
        }
        std::memmove(in.data(), in.data() + at, have - at);
        have -= at;
    }
}

}  // namespace quillon::bench
