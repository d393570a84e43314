// The thread wrapper's handle operations over pthreads.
#include "support/hostapi/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace quillon {
namespace {

constexpr int kBadHandle = 22;

struct ThreadRecord {
    pthread_t thread{};
    std::atomic<bool> killRequested{false};
    bool joining = false;  // a Join waits for the thread; guarded by the registry's mutex
};

// Why a registry of handles: on Windows a handle is a kernel object, and closing or waiting on one
// that is already closed fails cleanly. A pthread_t offers no such check: joining or detaching a
// thread twice, or one that was detached, is undefined behaviour. So a handle here is a token from
// a counter that never repeats, looked up in this table of the threads that may still be joined or
// detached. A token that is not in it (closed, joined, detached or made up) gets the clean error
// that Windows gives, and a stale token can never reach a newer thread.
class HandleRegistry {
public:
    void* add(std::shared_ptr<ThreadRecord> record)
    {
        std::lock_guard lock(mutex_);
        const std::uintptr_t token = next_++;
        live_.emplace(token, std::move(record));
        return toHandle(token);
    }

    // A handle that was never live: what a detached Create stores.
    void* closedHandle()
    {
        std::lock_guard lock(mutex_);
        return toHandle(next_++);
    }

    std::shared_ptr<ThreadRecord> find(void* handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = live_.find(toToken(handle));
        return it == live_.end() ? nullptr : it->second;
    }

    // The record, marked as being joined; null when the handle is dead or already being joined.
    std::shared_ptr<ThreadRecord> beginJoin(void* handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = live_.find(toToken(handle));
        if (it == live_.end() || it->second->joining)
            return nullptr;
        it->second->joining = true;
        return it->second;
    }

    void endJoin(void* handle, bool joined)
    {
        std::lock_guard lock(mutex_);
        const auto it = live_.find(toToken(handle));
        if (it == live_.end())
            return;
        if (joined)
            live_.erase(it);
        else
            it->second->joining = false;
    }

    // Takes the record out for a Detach; null when the handle is dead or a Join owns it.
    std::shared_ptr<ThreadRecord> takeForDetach(void* handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = live_.find(toToken(handle));
        if (it == live_.end() || it->second->joining)
            return nullptr;
        auto record = std::move(it->second);
        live_.erase(it);
        return record;
    }

private:
    static void* toHandle(std::uintptr_t token) { return reinterpret_cast<void*>(token); }
    static std::uintptr_t toToken(void* handle) { return reinterpret_cast<std::uintptr_t>(handle); }

    std::mutex mutex_;
    std::uintptr_t next_ = 1;  // 0 would be the null handle
    std::unordered_map<std::uintptr_t, std::shared_ptr<ThreadRecord>> live_;
};

// Never destroyed: detached threads may still create or join threads while static destructors run
// at exit.
HandleRegistry& Registry()
{
    static HandleRegistry* registry = new HandleRegistry;
    return *registry;
}

// Thread ids are the library's own: 32-bit, never 0, and never reused within the process, unlike
// the kernel's, so an id in a log names one thread only. Threads that Create did not start get
// theirs when they first ask.
std::atomic<std::uint32_t> nextThreadId{1};

std::uint32_t NewThreadId()
{
    std::uint32_t id = nextThreadId.fetch_add(1);
    while (id == 0)  // after 2^32 threads
        id = nextThreadId.fetch_add(1);
    return id;
}

thread_local std::uint32_t thisThreadId = 0;
thread_local std::shared_ptr<ThreadRecord> thisThreadRecord;

std::uint32_t CurrentThreadId()
{
    if (thisThreadId == 0)
        thisThreadId = NewThreadId();
    return thisThreadId;
}

// What a new thread needs before it runs its body.
struct StartBlock {
    std::shared_ptr<ThreadRecord> record;
    std::uint32_t id = 0;
    libmarl::TThreadC<void>* object = nullptr;
    void (*fn)() = nullptr;
};

// Windows reserves at least its default stack whatever size is asked for; so does this side, which
// also keeps a small request from starving a thread of stack.
std::size_t StackSizeFor(const pthread_attr_t& attr, unsigned int requested)
{
    std::size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    if (requested <= size)
        return size;
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (static_cast<std::size_t>(requested) + pageSize - 1) / pageSize * pageSize;
}

class ThreadAttributes {
public:
    ThreadAttributes() : result_(pthread_attr_init(&attr_)) {}
    ~ThreadAttributes()
    {
        if (result_ == 0)
            pthread_attr_destroy(&attr_);
    }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;

    int result() const { return result_; }
    pthread_attr_t* get() { return &attr_; }

private:
    pthread_attr_t attr_;
    int result_;
};

}  // namespace
}  // namespace quillon

namespace libmarl {

struct TThreadC<void>::Platform {
    static void* Run(void* argument)
    {
        TThreadC<void>* object = nullptr;
        void (*fn)() = nullptr;
        {
            // Released before the body runs: Exit may end the thread without unwinding.
            std::unique_ptr<quillon::StartBlock> block(static_cast<quillon::StartBlock*>(argument));
            quillon::thisThreadId = block->id;
            quillon::thisThreadRecord = std::move(block->record);
            object = block->object;
            fn = block->fn;
        }
        if (object != nullptr)
            ThreadMainHandler(object);
        else
            ThreadMainHandler_S(fn);
        return nullptr;
    }

    static int Start(TThreadC<void>* object, void (*fn)(), unsigned long* id, void** handle, bool detached,
                     unsigned int stackSize)
    {
        if (handle == nullptr)
            return quillon::kBadHandle;
        *handle = nullptr;

        quillon::ThreadAttributes attributes;
        if (attributes.result() != 0)
            return attributes.result();
        if (stackSize != 0) {
            const int result = pthread_attr_setstacksize(attributes.get(),
                                                         quillon::StackSizeFor(*attributes.get(), stackSize));
            if (result != 0)
                return result;
        }
        if (detached) {
            const int result = pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED);
            if (result != 0)
                return result;
        }

        auto record = std::make_shared<quillon::ThreadRecord>();
        auto block = std::make_unique<quillon::StartBlock>();
        block->record = record;
        block->id = quillon::NewThreadId();
        block->object = object;
        block->fn = fn;
        const std::uint32_t newId = block->id;

        pthread_t thread{};
        const int result = pthread_create(&thread, attributes.get(), &Run, block.get());
        if (result != 0)
            return result;
        block.release();  // the new thread owns it now

        // The new thread never reads this field; Join and Detach read it only once the record is
        // in the registry, whose lock orders this write before them.
        record->thread = thread;
        *handle = detached ? quillon::Registry().closedHandle() : quillon::Registry().add(std::move(record));
        if (id != nullptr)
            *id = newId;
        return 0;
    }
};

int TThreadC<void>::Create(unsigned long& id, void** const& handle, const bool& detached,
                           const unsigned int& stackSize, const bool&, const bool&) const
{
    return Platform::Start(const_cast<TThreadC<void>*>(this), nullptr, &id, handle, detached, stackSize);
}

int TThreadC<void>::Create(void (*const& fn)(), void** const& handle, const bool& detached,
                           const unsigned int& stackSize, const bool&, const bool&)
{
    if (fn == nullptr) {
        if (handle != nullptr)
            *handle = nullptr;
        return quillon::kBadHandle;
    }
    void* unstored = nullptr;
    void** target = handle != nullptr ? handle : &unstored;
    const bool detach = detached || handle == nullptr;
    return Platform::Start(nullptr, fn, nullptr, target, detach, stackSize);
}

int TThreadC<void>::Detach(void* const& handle)
{
    const auto record = quillon::Registry().takeForDetach(handle);
    if (record == nullptr)
        return quillon::kBadHandle;
    return pthread_detach(record->thread) == 0 ? 0 : quillon::kBadHandle;
}

int TThreadC<void>::Join(void* const& handle)
{
    auto& registry = quillon::Registry();
    const auto record = registry.beginJoin(handle);
    if (record == nullptr)
        return quillon::kBadHandle;
    if (pthread_equal(record->thread, pthread_self()) != 0) {
        registry.endJoin(handle, false);
        return quillon::kBadHandle;
    }
    const bool joined = pthread_join(record->thread, nullptr) == 0;
    registry.endJoin(handle, joined);
    return joined ? 0 : quillon::kBadHandle;
}

int TThreadC<void>::Kill(void* const& handle)
{
    const auto record = quillon::Registry().find(handle);
    if (record == nullptr)
        return quillon::kBadHandle;
    record->killRequested = true;
    return 0;
}

void TThreadC<void>::Exit() { pthread_exit(nullptr); }

int TThreadC<void>::Self() { return static_cast<int>(quillon::CurrentThreadId()); }

void TThreadC<void>::TestCancel()
{
    if (quillon::thisThreadRecord != nullptr && quillon::thisThreadRecord->killRequested.load())
        Exit();
    sched_yield();
}

}  // namespace libmarl
