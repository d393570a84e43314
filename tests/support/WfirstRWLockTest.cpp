#include "support/WfirstRWLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/WaitFor.h"

namespace {

using quillon::testing::WaitFor;

// Records the order in which threads got the lock.
class Order {
public:
    void add(std::string who)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(who));
    }
    std::vector<std::string> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

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

TEST(WfirstRWLock, WaitingWriterHoldsBackNewReaders)
{
    libmarl::WfirstRWLock lock;
    Order order;
    lock.lock_read();

    std::thread writer([&] {
        lock.lock_write();
        order.add("writer");
        lock.release_write();
    });
    ASSERT_TRUE(WaitFor([&] { return lock.writer_count() == 1; }));

    std::atomic<bool> readerStarted{false};
    std::thread lateReader([&] {
        readerStarted = true;
        lock.lock_read();
        order.add("late reader");
        lock.release_read();
    });
    ASSERT_TRUE(WaitFor([&] { return readerStarted.load(); }));
    GiveOtherThreadsAChance();
    EXPECT_TRUE(order.events().empty()) << "nobody may get in while the first reader holds the lock";
    EXPECT_EQ(lock.reader_count(), 1u);

    lock.release_read();
    writer.join();
    lateReader.join();
    EXPECT_EQ(order.events(), (std::vector<std::string>{"writer", "late reader"}));
}

TEST(WfirstRWLock, WritersHandTheLockOnBeforeReadersGetIn)
{
    libmarl::WfirstRWLock lock;
    Order order;
    lock.lock_write();

    std::thread secondWriter([&] {
        lock.lock_write();
        order.add("second writer");
        lock.release_write();
    });
    ASSERT_TRUE(WaitFor([&] { return lock.writer_count() == 2; }));

    std::atomic<int> readersStarted{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            ++readersStarted;
            lock.lock_read();
            order.add("reader");
            lock.release_read();
        });
    ASSERT_TRUE(WaitFor([&] { return readersStarted == 3; }));
    GiveOtherThreadsAChance();

    lock.release_write();
    secondWriter.join();
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(order.events(), (std::vector<std::string>{"second writer", "reader", "reader", "reader"}));
    EXPECT_EQ(lock.writer_count(), 0u);
}

TEST(WfirstRWLock, WriterExcludesWriterAndReaders)
{
    libmarl::WfirstRWLock lock;
    int shared = 0;  // a data race here would be reported by ThreadSanitizer
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                lock.lock_write();
                ++shared;
                lock.release_write();
            }
        });
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; ++n) {
                lock.lock_read();
                volatile int seen = shared;
                (void)seen;
                lock.release_read();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared, 8000);
}

}  // namespace
