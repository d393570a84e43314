#include "support/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Latch.h"
#include "common/WaitFor.h"

namespace {

using quillon::testing::Latch;

using libmarl::TThread;
using libmarl::TThreadC;
using quillon::testing::WaitFor;

constexpr int kBadHandle = 22;

// A thread object whose body the test chooses; the body gets the wrapper's protected operations.
class Worker : public TThreadC<void> {
public:
    struct Tools {
        void exit() const { Exit(); }
        int self() const { return Self(); }
        void testCancel() const { TestCancel(); }
    };

    explicit Worker(std::function<void(const Tools&)> body = {}) : body_(std::move(body)) {}

    // Starts the thread; handle receives its handle.
    int start(void*& handle, bool detached = false, unsigned int stackSize = 0)
    {
        unsigned long id = 0;
        const int result = Create(id, &handle, detached, stackSize, false, false);
        createdId = id;
        return result;
    }

    unsigned long createdId = 0;
    std::atomic<int> selfId{0};
    std::atomic<bool> finished{false};  // the body returned; the thread uses the object no more

protected:
    void ThreadMain() override
    {
        selfId = Self();
        if (body_)
            body_(Tools{});
        finished = true;
    }

private:
    std::function<void(const Tools&)> body_;
};

std::atomic<int> functionRuns{0};
void CountedFunction() { ++functionRuns; }

TEST(ThreadCreate, RunsTheBodyOnANewThreadThatKnowsItsId)
{
    std::atomic<unsigned long> idInside{0};
    Worker worker([&](const Worker::Tools&) { idInside = TThread::currentThreadId(); });
    void* handle = nullptr;
    ASSERT_EQ(worker.start(handle), 0);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(TThreadC<void>::Join(handle), 0);
    EXPECT_TRUE(worker.finished);
    EXPECT_EQ(idInside.load(), worker.createdId);
    EXPECT_EQ(static_cast<unsigned long>(worker.selfId.load()), worker.createdId);

    const unsigned long here = TThread::currentThreadId();
    EXPECT_EQ(TThread::currentThreadId(), here);
    unsigned long other = 0;
    std::thread([&] { other = TThread::currentThreadId(); }).join();
    for (const unsigned long id : {worker.createdId, other})
        EXPECT_NE(id, here);
    EXPECT_NE(other, worker.createdId);

    functionRuns = 0;
    ASSERT_EQ(TThreadC<void>::Create(&CountedFunction, &handle, false, 0, false, false), 0);
    EXPECT_EQ(TThreadC<void>::Join(handle), 0);
    EXPECT_EQ(functionRuns, 1);
}

TEST(ThreadCreate, WithoutAPlaceForTheHandleTheThreadRunsDetached)
{
    Worker worker;
    ASSERT_EQ(worker.Create(nullptr, false, 0, false, false), 0);
    EXPECT_TRUE(WaitFor([&] { return worker.finished.load(); }));

    functionRuns = 0;
    ASSERT_EQ(TThreadC<void>::Create(&CountedFunction, nullptr, false, 0, false, false), 0);
    EXPECT_TRUE(WaitFor([] { return functionRuns.load() == 1; }));
}

TEST(ThreadCreate, RefusesAMissingHandleOrFunction)
{
    Worker worker;
    unsigned long id = 7;
    EXPECT_EQ(worker.Create(id, nullptr, false, 0, false, false), kBadHandle);
    EXPECT_EQ(id, 7u);
    void* handle = &id;  // anything but null: Create clears it
    void (*none)() = nullptr;
    EXPECT_EQ(TThreadC<void>::Create(none, &handle, false, 0, false, false), kBadHandle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(worker.selfId, 0) << "no thread ran";
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
    struct Case {
        unsigned int stackSize;
        std::size_t used;
    };
    // A request below the default still gets the default; 12 MiB runs only if 32 MiB is honoured,
    // being more than the usual 8 MiB default.
    for (const Case c : {Case{0, 64 * 1024}, Case{1, 64 * 1024}, Case{32u << 20, 12u << 20}}) {
        SCOPED_TRACE(c.stackSize);
        Worker worker([&](const Worker::Tools&) { EXPECT_GT(UseStack(c.used), 0u); });
        void* handle = nullptr;
        ASSERT_EQ(worker.start(handle, false, c.stackSize), 0);
        EXPECT_EQ(TThreadC<void>::Join(handle), 0);
        EXPECT_TRUE(worker.finished);
    }
}

TEST(ThreadCreate, ManyThreadsCreatedAndJoinedFromManyThreadsAtOnce)
{
    constexpr int kCreators = 4;
    constexpr int kEach = 40;
    std::atomic<int> runs{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int i = 0; i < kCreators; ++i)
        creators.emplace_back([&] {
            for (int k = 0; k < kEach; ++k) {
                Worker worker([&](const Worker::Tools&) { ++runs; });
                void* handle = nullptr;
                if (worker.start(handle) != 0 || TThreadC<void>::Join(handle) != 0)
                    ++failures;
            }
        });
    for (auto& creator : creators)
        creator.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(runs, kCreators * kEach);
}

TEST(ThreadHandles, JoinWaitsForTheEndAndReturnsAtOnceForAnEndedThread)
{
    Latch release(1);
    Worker waiting([&](const Worker::Tools&) { release.wait(); });
    void* handle = nullptr;
    ASSERT_EQ(waiting.start(handle), 0);
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        EXPECT_EQ(TThreadC<void>::Join(handle), 0);
        joined = true;
    });
    ASSERT_TRUE(WaitFor([&] { return waiting.selfId.load() != 0; }));
    EXPECT_FALSE(joined);
    release.count_down();
    joiner.join();
    EXPECT_TRUE(waiting.finished);

    Worker ended;
    ASSERT_EQ(ended.start(handle), 0);
    ASSERT_TRUE(WaitFor([&] { return ended.finished.load(); }));
    EXPECT_EQ(TThreadC<void>::Join(handle), 0);
}

// Every way a handle can be dead, against every operation that takes one.
TEST(ThreadHandles, DeadHandlesAreRefusedWith22)
{
    using Close = std::function<void(void*)>;
    const std::vector<std::pair<const char*, Close>> deaths = {
        {"joined", [](void* h) { EXPECT_EQ(TThreadC<void>::Join(h), 0); }},
        {"detached", [](void* h) { EXPECT_EQ(TThreadC<void>::Detach(h), 0); }},
        {"created detached", nullptr},
        {"null", nullptr},
    };
    const std::vector<std::pair<const char*, int (*)(void* const&)>> operations = {
        {"Detach", &TThreadC<void>::Detach},
        {"Join", &TThreadC<void>::Join},
        {"Kill", &TThreadC<void>::Kill},
    };
    for (const auto& [death, close] : deaths) {
        for (const auto& [name, operation] : operations) {
            SCOPED_TRACE(std::string(name) + " of a " + death + " handle");
            Worker worker;
            void* handle = nullptr;
            if (std::string(death) != "null") {
                ASSERT_EQ(worker.start(handle, close == nullptr), 0);
                ASSERT_NE(handle, nullptr);
                if (close)
                    close(handle);
            }
            EXPECT_EQ(operation(handle), kBadHandle);
            // The worker must outlive its thread, detached ones included.
            if (handle != nullptr) {
                EXPECT_TRUE(WaitFor([&] { return worker.finished.load(); }));
            }
        }
    }
}

TEST(ThreadHandles, OfAJoinAndADetachOfTheSameHandleOneWins)
{
    Latch release(1);
    Worker worker([&](const Worker::Tools&) { release.wait(); });
    void* handle = nullptr;
    ASSERT_EQ(worker.start(handle), 0);
    Latch go(2);
    std::atomic<int> joinResult{-1};
    std::atomic<int> detachResult{-1};
    std::thread joiner([&] {
        go.arrive_and_wait();
        joinResult = TThreadC<void>::Join(handle);
    });
    std::thread detacher([&] {
        go.arrive_and_wait();
        detachResult = TThreadC<void>::Detach(handle);
    });
    detacher.join();
    release.count_down();
    joiner.join();
    EXPECT_EQ(std::min(joinResult, detachResult), 0);
    EXPECT_EQ(std::max(joinResult, detachResult), kBadHandle);
    EXPECT_TRUE(WaitFor([&] { return worker.finished.load(); }));
}

TEST(ThreadHandles, AThreadCannotJoinItself)
{
    std::atomic<void*> ownHandle{nullptr};
    std::atomic<int> result{-1};
    Worker worker([&](const Worker::Tools&) {
        WaitFor([&] { return ownHandle.load() != nullptr; });
        result = TThreadC<void>::Join(ownHandle.load());
    });
    void* handle = nullptr;
    ASSERT_EQ(worker.start(handle), 0);
    ownHandle = handle;
    EXPECT_EQ(TThreadC<void>::Join(handle), 0);
    EXPECT_EQ(result, kBadHandle);
}

TEST(ThreadEnd, ExitEndsTheThreadWhereItIsCalled)
{
    std::atomic<bool> after{false};
    Worker worker([&](const Worker::Tools& tools) {
        tools.exit();
        after = true;
    });
    void* handle = nullptr;
    ASSERT_EQ(worker.start(handle), 0);
    EXPECT_EQ(TThreadC<void>::Join(handle), 0);
    EXPECT_NE(worker.selfId, 0);
    EXPECT_FALSE(after);
    EXPECT_FALSE(worker.finished);
}

TEST(ThreadEnd, KillEndsAThreadThatTestsForCancellation)
{
    std::atomic<int> passes{0};
    std::atomic<bool> giveUp{false};  // ends the loop only if Kill failed, so the test cannot hang
    Worker worker([&](const Worker::Tools& tools) {
        while (!giveUp) {
            ++passes;
            tools.testCancel();
        }
    });
    void* handle = nullptr;
    ASSERT_EQ(worker.start(handle), 0);
    ASSERT_TRUE(WaitFor([&] { return passes.load() > 0; }));

    EXPECT_EQ(TThreadC<void>::Kill(handle), 0);
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        EXPECT_EQ(TThreadC<void>::Join(handle), 0);
        joined = true;
    });
    EXPECT_TRUE(WaitFor([&] { return joined.load(); }));
    giveUp = true;
    joiner.join();
    EXPECT_FALSE(worker.finished) << "the body ran to its end instead of being ended";
}

// A loop that journals its steps (kept outside the object, to be read once the object is gone).
struct Journal {
    std::mutex mutex;
    std::vector<std::string> events;
    void add(const char* event)
    {
        std::lock_guard lock(mutex);
        events.emplace_back(event);
    }
    long count(const char* event)
    {
        std::lock_guard lock(mutex);
        return std::count(events.begin(), events.end(), event);
    }
};

class Looper : public TThread {
public:
    explicit Looper(Journal& journal, int stopAfter = 0) : journal_(journal), stopAfter_(stopAfter) {}
    Looper(Journal& journal, Priority priority) : TThread(priority), journal_(journal) {}
    ~Looper() override { stop(); }

    std::atomic<int> passes{0};
    std::atomic<unsigned long> idInside{0};

protected:
    void mainLoopBegin() override
    {
        idInside = currentThreadId();
        journal_.add("begin");
    }
    void mainLoop() override
    {
        if (++passes == stopAfter_)
            stop();
        std::this_thread::yield();
    }
    void mainLoopKill() override { journal_.add("kill"); }
    void mainLoopEnd() override { journal_.add("end"); }

private:
    Journal& journal_;
    int stopAfter_ = 0;  // the loop stops itself after this many passes; 0: never
};

TEST(ThreadObject, RunsBeginThenPassesThenEndUntilStopped)
{
    Journal journal;
    Looper looper(journal);
    EXPECT_EQ(looper.stop(), 0) << "nothing to stop";
    EXPECT_EQ(looper.getThreadHandle(), nullptr);
    ASSERT_EQ(looper.start(), 0);
    EXPECT_EQ(looper.start(), 16);
    EXPECT_TRUE(looper.isRunning());
    ASSERT_TRUE(WaitFor([&] { return looper.passes.load() >= 3; }));
    EXPECT_NE(looper.getThreadHandle(), nullptr);
    EXPECT_EQ(looper.getThreadId(), looper.idInside.load());
    EXPECT_NE(looper.getThreadId(), TThread::currentThreadId());
    EXPECT_FALSE(looper.stopRequested());

    EXPECT_EQ(looper.stop(), 0);
    EXPECT_FALSE(looper.isRunning());
    EXPECT_TRUE(looper.stopRequested());
    EXPECT_EQ(looper.getThreadHandle(), nullptr);
    EXPECT_EQ(looper.getThreadId(), 0u);
    ASSERT_EQ(journal.events.size(), 3u);
    EXPECT_EQ(journal.events.front(), "begin");
    EXPECT_EQ(journal.count("kill"), 1);  // on this thread, racing the loop's own "end"
    EXPECT_EQ(journal.count("end"), 1);

    const unsigned long firstId = looper.idInside;
    ASSERT_EQ(looper.start(), 0);
    EXPECT_FALSE(looper.stopRequested());
    ASSERT_TRUE(WaitFor([&] { return looper.idInside.load() != firstId; }));
    ASSERT_EQ(looper.stop(), 0);
    EXPECT_EQ(journal.count("begin"), 2);
    EXPECT_EQ(journal.count("end"), 2);
}

TEST(ThreadObject, ALoopThatStopsItselfEndsAndCanBeStartedAgain)
{
    Journal journal;
    Looper looper(journal, 5);
    for (int run = 1; run <= 2; ++run) {
        looper.passes = 0;
        ASSERT_EQ(looper.start(), 0) << "an ended thread is collected by the next start";
        ASSERT_TRUE(WaitFor([&] { return !looper.isRunning(); }));
        EXPECT_EQ(looper.passes, 5);
        EXPECT_EQ(journal.count("end"), run);
    }
    EXPECT_EQ(looper.stop(), 0);
    EXPECT_EQ(journal.count("kill"), 0) << "a stop from the loop itself needs no waking";
}

// Each pass waits for work; only mainLoopKill can get it out of that wait.
class Waiter : public TThread {
public:
    ~Waiter() override { stop(); }
    std::atomic<bool> waiting{false};

protected:
    void mainLoop() override
    {
        std::unique_lock lock(mutex_);
        waiting = true;
        woken_.wait(lock, [this] { return kicked_; });
        kicked_ = false;
    }
    void mainLoopKill() override
    {
        std::lock_guard lock(mutex_);
        kicked_ = true;
        woken_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool kicked_ = false;
};

TEST(ThreadObject, StopWakesAPassThatWaits)
{
    Waiter waiter;
    ASSERT_EQ(waiter.start(), 0);
    ASSERT_TRUE(WaitFor([&] { return waiter.waiting.load(); }));
    EXPECT_EQ(waiter.stop(), 0);
    EXPECT_FALSE(waiter.isRunning());
}

TEST(ThreadObject, DestroyingARunningThreadObjectStopsIt)
{
    Journal journal;
    {
        Looper looper(journal);
        ASSERT_EQ(looper.start(), 0);
        ASSERT_TRUE(WaitFor([&] { return looper.passes.load() > 0; }));
    }
    EXPECT_EQ(journal.count("end"), 1);
}

TEST(ThreadObject, KeepsItsPriority)
{
    Journal journal;
    EXPECT_EQ(Looper(journal).getPriority(), TThread::Normal);
    EXPECT_EQ(static_cast<int>(TThread::Normal), 2);
    for (const auto priority : {TThread::Idle, TThread::Low, TThread::High, TThread::Critical})
        EXPECT_EQ(Looper(journal, priority).getPriority(), priority);
}

}  // namespace
