#include "support/hostapi/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/Latch.h"
#include "common/WaitFor.h"

namespace {

using libmarl::TThread;
using quillon::testing::Latch;
using quillon::testing::WaitFor;
using Threads = libmarl::TThreadC<void>;

constexpr int kBadHandle = 22;

// A thread object whose body the test chooses; the body may use the wrapper's protected operations.
class Worker : public Threads {
public:
    using Threads::Exit;
    using Threads::TestCancel;

    explicit Worker(std::function<void()> body = {}) : body_(std::move(body)) {}

    int start(bool detached = false, unsigned int stackSize = 0)
    {
        return Create(createdId, &handle, detached, stackSize, false, false);
    }
    int join() const { return Join(handle); }

    void* handle = nullptr;
    unsigned long createdId = 0;
    std::atomic<int> selfId{0};
    std::atomic<bool> finished{false};  // the body returned; the thread uses the object no more

protected:
    void ThreadMain() override
    {
        selfId = Self();
        if (body_)
            body_();
        finished = true;
    }

private:
    std::function<void()> body_;
};

std::atomic<int> functionRuns{0};
void CountedFunction() { ++functionRuns; }

TEST(ThreadCreate, RunsTheBodyOnANewThreadDetachedWhenNoHandleIsWantedAndRefusesWhatCannotRun)
{
    std::atomic<unsigned long> idInside{0};
    Worker worker([&] { idInside = TThread::currentThreadId(); });
    ASSERT_EQ(worker.start(), 0);
    EXPECT_NE(worker.handle, nullptr);
    EXPECT_EQ(worker.join(), 0);
    EXPECT_TRUE(worker.finished);
    EXPECT_EQ(idInside.load(), worker.createdId);
    EXPECT_EQ(static_cast<unsigned long>(worker.selfId.load()), worker.createdId);
    unsigned long foreign = 0;  // a thread Create did not start gets an id of its own too
    std::thread([&] { foreign = TThread::currentThreadId(); }).join();
    EXPECT_NE(foreign, worker.createdId);
    EXPECT_NE(foreign, TThread::currentThreadId());

    functionRuns = 0;
    void* handle = nullptr;
    ASSERT_EQ(Threads::Create(&CountedFunction, &handle, false, 0, false, false), 0);
    EXPECT_EQ(Threads::Join(handle), 0);
    EXPECT_EQ(functionRuns, 1);
    ASSERT_EQ(Threads::Create(&CountedFunction, nullptr, false, 0, false, false), 0);
    EXPECT_TRUE(WaitFor([] { return functionRuns.load() == 2; }));
    Worker detached;
    ASSERT_EQ(detached.Create(nullptr, false, 0, false, false), 0);
    EXPECT_TRUE(WaitFor([&] { return detached.finished.load(); }));

    Worker refused;
    unsigned long id = 7;
    EXPECT_EQ(refused.Create(id, nullptr, false, 0, false, false), kBadHandle);
    EXPECT_EQ(id, 7u);
    handle = &id;  // anything but null: Create clears it
    void (*none)() = nullptr;
    EXPECT_EQ(Threads::Create(none, &handle, false, 0, false, false), kBadHandle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(refused.selfId, 0) << "no thread ran";
}

// Touches about that many bytes of stack, a page per call, where no optimiser can fold it away.
std::size_t UseStack(std::size_t bytes)
{
    constexpr std::size_t kPage = 4096;
    volatile char page[kPage];
    page[0] = 1;
    page[kPage - 1] = 1;
    return bytes <= kPage ? page[0] : page[kPage - 1] + UseStack(bytes - kPage);
}

TEST(ThreadCreate, GivesTheThreadTheStackItAsksFor)
{
    // A request below the default still gets the default; 12 MiB runs only if 32 MiB is honoured,
    // being more than the usual 8 MiB default.
    for (const auto& [stackSize, used] :
         {std::pair{0u, 64u << 10}, {1u, 64u << 10}, {32u << 20, 12u << 20}}) {
        SCOPED_TRACE(stackSize);
        Worker worker([used = used] { EXPECT_GT(UseStack(used), 0u); });
        ASSERT_EQ(worker.start(false, stackSize), 0);
        EXPECT_EQ(worker.join(), 0);
        EXPECT_TRUE(worker.finished);
    }
}

TEST(ThreadHandles, JoinWaitsForTheEndButNotForItselfAndReturnsAtOnceForAnEndedThread)
{
    Latch release(1);
    std::atomic<void*> ownHandle{nullptr};
    std::atomic<int> selfJoin{-1};
    Worker waiting([&] {
        WaitFor([&] { return ownHandle.load() != nullptr; });
        selfJoin = Threads::Join(ownHandle.load());  // would never return
        release.wait();
    });
    ASSERT_EQ(waiting.start(), 0);
    ownHandle = waiting.handle;
    ASSERT_TRUE(WaitFor([&] { return selfJoin.load() != -1; }));
    EXPECT_EQ(selfJoin, kBadHandle);
    Latch joining(1);
    std::thread joiner([&] {
        joining.count_down();
        EXPECT_EQ(waiting.join(), 0);
        EXPECT_TRUE(waiting.finished) << "Join returned before the thread ended";
    });
    joining.wait();
    release.count_down();
    joiner.join();

    Worker ended;
    ASSERT_EQ(ended.start(), 0);
    ASSERT_TRUE(WaitFor([&] { return ended.finished.load(); }));
    EXPECT_EQ(ended.join(), 0);
}

// Every way a handle can be dead, against every operation that takes one.
TEST(ThreadHandles, DeadHandlesAreRefusedWith22)
{
    const std::pair<const char*, int (*)(void* const&)> operations[] = {
        {"Detach", &Threads::Detach}, {"Join", &Threads::Join}, {"Kill", &Threads::Kill}};
    for (const std::string death : {"joined", "detached", "created detached", "null"}) {
        for (const auto& [name, operation] : operations) {
            SCOPED_TRACE(std::string(name) + " of a " + death + " handle");
            Worker worker;
            if (death != "null") {
                ASSERT_EQ(worker.start(death == "created detached"), 0);
                ASSERT_NE(worker.handle, nullptr);
            }
            EXPECT_EQ(death == "joined"     ? worker.join()
                      : death == "detached" ? Threads::Detach(worker.handle)
                                            : 0,
                      0);
            EXPECT_EQ(operation(worker.handle), kBadHandle);
            // The worker must outlive its thread, detached ones included.
            EXPECT_TRUE(death == "null" || WaitFor([&] { return worker.finished.load(); }));
        }
    }
}

TEST(ThreadHandles, OfAJoinAndADetachOfTheSameHandleOneWins)
{
    Latch release(1), go(2);
    Worker worker([&] { release.wait(); });
    ASSERT_EQ(worker.start(), 0);
    std::atomic<int> joinResult{-1}, detachResult{-1};
    std::thread joiner([&] {
        go.arrive_and_wait();
        joinResult = worker.join();
    });
    std::thread detacher([&] {
        go.arrive_and_wait();
        detachResult = Threads::Detach(worker.handle);
    });
    detacher.join();
    release.count_down();
    joiner.join();
    EXPECT_EQ(std::min(joinResult, detachResult), 0);
    EXPECT_EQ(std::max(joinResult, detachResult), kBadHandle);
    EXPECT_TRUE(WaitFor([&] { return worker.finished.load(); }));
}

TEST(ThreadEnd, ExitOrKillEndsTheThreadBeforeItsBodyReturns)
{
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "Kill, then TestCancel" : "Exit");
        std::atomic<int> passes{0};
        std::atomic<bool> giveUp{false};  // ends the loop only if Kill failed, so the test cannot hang
        Worker worker([&] {
            while (!giveUp) {
                ++passes;
                kill ? Worker::TestCancel() : Worker::Exit();
            }
        });
        ASSERT_EQ(worker.start(), 0);
        ASSERT_TRUE(WaitFor([&] { return passes.load() > 0; }));
        EXPECT_EQ(kill ? Threads::Kill(worker.handle) : 0, 0);
        std::atomic<bool> joined{false};
        std::thread joiner([&] {
            EXPECT_EQ(worker.join(), 0);
            joined = true;
        });
        EXPECT_TRUE(WaitFor([&] { return joined.load(); }));
        giveUp = true;
        joiner.join();
        EXPECT_TRUE(kill || passes == 1) << "Exit returned";
        EXPECT_FALSE(worker.finished) << "the body ran to its end instead of being ended";
    }
}

// What a loop did, kept outside its object so that it can be read once the object is gone.
struct Journal {
    std::atomic<int> begins{0}, passes{0}, kills{0}, ends{0}, passesAtBegin{-1}, passesAtEnd{-1};
    std::atomic<unsigned long> idInside{0};
};

class Looper : public TThread {
public:
    // stopAfter: the loop stops itself after that many passes (0: never). waits: each pass waits
    // for work, and only mainLoopKill can get it out of that wait.
    explicit Looper(Journal& journal, int stopAfter = 0, bool waits = false)
        : journal_(journal), stopAfter_(stopAfter), waits_(waits)
    {}
    ~Looper() override { stop(); }

protected:
    void mainLoopBegin() override
    {
        journal_.idInside = currentThreadId();
        journal_.passesAtBegin = journal_.passes.load();
        ++journal_.begins;
    }
    void mainLoop() override
    {
        if (++journal_.passes - journal_.passesAtBegin == stopAfter_)
            stop();
        std::this_thread::yield();
        std::unique_lock lock(mutex_);
        woken_.wait(lock, [this] { return !waits_ || kicked_; });
        kicked_ = false;
    }
    void mainLoopKill() override
    {
        ++journal_.kills;
        std::lock_guard lock(mutex_);
        kicked_ = true;
        woken_.notify_one();
    }
    void mainLoopEnd() override
    {
        journal_.passesAtEnd = journal_.passes.load();
        ++journal_.ends;
    }

private:
    Journal& journal_;
    const int stopAfter_;
    const bool waits_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool kicked_ = false;
};

TEST(ThreadObject, RunsBeginThenPassesThenEndUntilStoppedAndCanRunAgain)
{
    Journal journal;
    Looper looper(journal);
    EXPECT_EQ(looper.stop(), 0) << "nothing to stop";
    EXPECT_EQ(looper.getThreadHandle(), nullptr);
    ASSERT_EQ(looper.start(), 0);
    EXPECT_EQ(looper.start(), 16);
    EXPECT_TRUE(looper.isRunning());
    ASSERT_TRUE(WaitFor([&] { return journal.passes.load() >= 3; }));
    EXPECT_NE(looper.getThreadHandle(), nullptr);
    EXPECT_EQ(looper.getThreadId(), journal.idInside.load());
    EXPECT_NE(looper.getThreadId(), TThread::currentThreadId());
    EXPECT_FALSE(looper.stopRequested());

    EXPECT_EQ(looper.stop(), 0);
    EXPECT_FALSE(looper.isRunning());
    EXPECT_TRUE(looper.stopRequested());
    EXPECT_EQ(looper.getThreadHandle(), nullptr);
    EXPECT_EQ(looper.getThreadId(), 0u);
    EXPECT_EQ(journal.begins, 1);
    EXPECT_EQ(journal.kills, 1);  // on this thread, racing the loop's own end
    EXPECT_EQ(journal.ends, 1);
    EXPECT_EQ(journal.passesAtBegin, 0);
    EXPECT_EQ(journal.passesAtEnd, journal.passes);

    const unsigned long firstId = journal.idInside;
    ASSERT_EQ(looper.start(), 0);
    EXPECT_FALSE(looper.stopRequested());
    ASSERT_TRUE(WaitFor([&] { return journal.idInside.load() != firstId; }));
    ASSERT_EQ(looper.stop(), 0);
    EXPECT_EQ(journal.begins, 2);
    EXPECT_EQ(journal.ends, 2);
}

TEST(ThreadObject, EndsByStoppingItselfByAStopThatWakesAWaitingPassOrByDestruction)
{
    Journal stopsItself;
    Looper looper(stopsItself, 5);
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(looper.start(), 0) << "an ended thread is collected by the next start";
        ASSERT_TRUE(WaitFor([&] { return !looper.isRunning(); }));
        EXPECT_EQ(stopsItself.passes, 5 * run);
        EXPECT_EQ(stopsItself.ends, run);
    }
    EXPECT_EQ(looper.stop(), 0);
    EXPECT_EQ(stopsItself.kills, 0) << "a stop from the loop itself needs no waking";

    Journal waits;
    Looper waiter(waits, 0, true);
    ASSERT_EQ(waiter.start(), 0);
    ASSERT_TRUE(WaitFor([&] { return waits.passes.load() > 0; }));
    EXPECT_EQ(waiter.stop(), 0);
    EXPECT_FALSE(waiter.isRunning());
    EXPECT_EQ(waits.passes, 1);

    Journal destroyed;
    {
        Looper doomed(destroyed);
        ASSERT_EQ(doomed.start(), 0);
        ASSERT_TRUE(WaitFor([&] { return destroyed.passes.load() > 0; }));
    }
    EXPECT_EQ(destroyed.ends, 1);
}

}  // namespace
