// The blocks of an upload in flight. The thread that receives an acknowledgement sends the next
// block at once, so that a block costs one round trip between the link and the device instead of
// one more hand-over to the waiting host thread as well; the host thread only watches the progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "protocol/FrameCodec.h"
#include "transfer/ArchiveReader.h"

namespace quillon {

class UploadPump {
public:
    // From now on SendNext hands out the blocks of archive, which must outlive the matching End.
    void Begin(ArchiveReader& archive)
    {
        std::lock_guard lock(mutex_);
        archive_ = &archive;
        size_ = archive.size();
        next_ = 0;
        count_ = static_cast<int>((size_ + kBlockDataSize - 1) / kBlockDataSize);
        active_ = count_ > 0;
        failed_ = false;
    }

    // Sends the next block through send(data, count, index, blocks), if one is due; false when the
    // upload is not under way, every block has gone, or the archive failed (then the upload ends).
    // The send runs under the pump's lock, so End never returns while a block is still being read.
    template <typename Send>
    bool SendNext(Send&& send)
    {
        std::lock_guard lock(mutex_);
        if (!active_ || next_ >= count_)
            return false;
        const std::uint64_t offset = static_cast<std::uint64_t>(next_) * kBlockDataSize;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockDataSize, size_ - offset));
        const std::uint8_t* data = archive_->Block(next_, count);
        if (!data) {
            active_ = false;
            failed_ = true;
            changed_.notify_all();
            return false;
        }
        send(data, static_cast<int>(count), static_cast<std::uint16_t>(next_), count_);
        ++next_;
        if (next_ < count_)
            archive_->ReadAhead(next_);
        // Only the end wakes the waiting thread: it looks at the progress at every poll anyway, and
        // a wake-up per block would cost each block a thread switch and a fight for this lock.
        if (next_ == count_) {
            active_ = false;
            changed_.notify_all();
        }
        return true;
    }

    // Waits until every block has gone (true), or until no block has gone for stall or stop()
    // holds (false); stop is looked at every `poll`.
    template <typename Stop>
    bool WaitAllSent(std::chrono::milliseconds stall, std::chrono::milliseconds poll, Stop&& stop)
    {
        std::unique_lock lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + stall;
        int seen = next_;
        while (next_ < count_) {
            if (failed_ || stop())
                return false;
            changed_.wait_for(lock, poll);
            const auto now = std::chrono::steady_clock::now();
            if (next_ != seen) {
                seen = next_;
                deadline = now + stall;
            } else if (now >= deadline) {
                return false;
            }
        }
        return true;
    }

    // No block goes after this returns.
    void End()
    {
        std::lock_guard lock(mutex_);
        active_ = false;
        archive_ = nullptr;
    }

    // Whether the upload ended because its archive could not give a block.
    bool failed()
    {
        std::lock_guard lock(mutex_);
        return failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    ArchiveReader* archive_ = nullptr;
    std::uint64_t size_ = 0;
    int next_ = 0;
    int count_ = 0;
    bool active_ = false;
    bool failed_ = false;
};

}  // namespace quillon
