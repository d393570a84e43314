#include "support/os/WfirstRWLock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/WaitFor.h"

namespace {

using quillon::testing::WaitFor;

// Lets a thread that was just started reach its blocking call. Only a broken lock can let that
// thread through meanwhile; a correct one keeps it out however long it is given.
void GiveOtherThreadsAChance()
{
    for (int i = 0; i < 10000; ++i)
        std::this_thread::yield();
}

TEST(WfirstRWLock, ManyReadersHoldTheSharedSideAtOnce)
{
    libmarl::WfirstRWLock lock;
    constexpr int kReaders = 6;
    std::atomic<int> inside{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&] {
            lock.lock_read();
            ++inside;
            WaitFor([&] { return leave.load(); });
            lock.release_read();
        });
    EXPECT_TRUE(WaitFor([&] { return inside == kReaders; }));
    EXPECT_EQ(lock.reader_count(), static_cast<std::uint64_t>(kReaders));
    leave = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(lock.reader_count(), 0u);
}

// A writer announces itself while the lock is held, then readers come: once the holder lets go,
// the writer gets the lock before any of them.
TEST(WfirstRWLock, AWaitingWriterGoesBeforeReadersThatCameAfterIt)
{
    for (const bool holderWrites : {false, true}) {
        SCOPED_TRACE(holderWrites ? "a writer holds the lock" : "a reader holds the lock");
        libmarl::WfirstRWLock lock;
        holderWrites ? lock.lock_write() : lock.lock_read();
        std::atomic<int> served{0}, readersStarted{0};  // served: threads that got the lock so far
        int writerTurn = 0;
        std::vector<int> readerTurns(3, 0);
        std::thread writer([&] {
            lock.lock_write();
            writerTurn = ++served;
            lock.release_write();
        });
        ASSERT_TRUE(WaitFor([&] { return lock.writer_count() == (holderWrites ? 2u : 1u); }));
        std::vector<std::thread> readers;
        for (int& turn : readerTurns)
            readers.emplace_back([&, mine = &turn] {
                ++readersStarted;
                lock.lock_read();
                *mine = ++served;
                lock.release_read();
            });
        ASSERT_TRUE(WaitFor([&] { return readersStarted == 3; }));
        GiveOtherThreadsAChance();
        EXPECT_EQ(served, 0) << "nobody may get in while the holder has the lock";
        EXPECT_EQ(lock.reader_count(), holderWrites ? 0u : 1u);

        holderWrites ? lock.release_write() : lock.release_read();
        writer.join();
        for (auto& t : readers)
            t.join();
        EXPECT_EQ(writerTurn, 1);
        EXPECT_EQ(*std::min_element(readerTurns.begin(), readerTurns.end()), 2);
        EXPECT_EQ(lock.writer_count(), 0u);
        EXPECT_EQ(lock.reader_count(), 0u);
    }
}

}  // namespace
