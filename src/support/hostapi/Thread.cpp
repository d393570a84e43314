// The portable part of the thread wrapper; Create and the handle operations live beside the
// platform code.
#include "support/hostapi/Thread.h"

#include <mutex>

namespace libmarl {

TThreadC<void>::TThreadC() = default;
TThreadC<void>::~TThreadC() = default;
TThreadC<void>::TThreadC(const TThreadC&) {}
TThreadC<void>& TThreadC<void>::operator=(const TThreadC&) { return *this; }

int TThreadC<void>::Create(void** const& handle, const bool& detached, const unsigned int& stackSize,
                           const bool& unused1, const bool& unused2) const
{
    unsigned long id = 0;
    void* unstored = nullptr;
    void** target = handle != nullptr ? handle : &unstored;
    const bool detach = detached || handle == nullptr;
    return Create(id, target, detach, stackSize, unused1, unused2);
}

unsigned long TThreadC<void>::ThreadMainHandler(TThreadC<void>* object)
{
    object->ThreadMain();
    Exit();
    return 0;
}

unsigned long TThreadC<void>::ThreadMainHandler_S(void (*fn)())
{
    fn();
    Exit();
    return 0;
}

namespace {

constexpr std::uint64_t kStarted = 1u << 0;        // start() made a thread that is not joined yet
constexpr std::uint64_t kStopRequested = 1u << 1;  // stop() was called since that start()
constexpr std::uint64_t kFinished = 1u << 2;       // ThreadMain is done with the object
constexpr int kPriorityShift = 8;
constexpr std::uint64_t kPriorityMask = std::uint64_t{0xFF} << kPriorityShift;

constexpr int kAlreadyRunning = 16;

// The TThread whose loop runs on this thread: lets stop() and the destructor tell a call from the
// thread itself, which must not wait for its own end.
thread_local const void* runningHere = nullptr;

}  // namespace

TThread::TThread() : TThread(Normal) {}

TThread::TThread(Priority priority)
    : state_((static_cast<std::uint64_t>(priority) << kPriorityShift) & kPriorityMask)
{}

TThread::~TThread()
{
    if (runningHere == this) {
        // Misuse, but nobody could ever join this thread now: let it go rather than leak its handle.
        std::lock_guard lock(handleMutex_);
        Detach(handle_);
        handle_ = nullptr;
        return;
    }
    stop();
}

int TThread::start()
{
    std::lock_guard lifecycle(lifecycleMutex_);
    const std::uint64_t state = state_.load();
    if ((state & kStarted) != 0) {
        if ((state & kFinished) == 0)
            return kAlreadyRunning;
        // The loop ended by itself; collect that thread before starting the next.
        joinThread();
    }
    state_.fetch_and(~(kStopRequested | kFinished));

    unsigned long id = 0;
    void* handle = nullptr;
    const int result = TThreadC<void>::Create(id, &handle, false, 0, false, false);
    if (result != 0)
        return result;
    {
        std::lock_guard lock(handleMutex_);
        handle_ = handle;
        id_ = id;
    }
    state_.fetch_or(kStarted);
    return 0;
}

int TThread::stop()
{
    if (runningHere == this) {
        state_.fetch_or(kStopRequested);
        return 0;
    }
    std::lock_guard lifecycle(lifecycleMutex_);
    if ((state_.load() & kStarted) == 0)
        return 0;
    // A loop that has ended by itself has nothing left to wake.
    if ((state_.fetch_or(kStopRequested) & kFinished) == 0)
        mainLoopKill();
    return joinThread();
}

int TThread::joinThread()
{
    void* handle = nullptr;
    {
        std::lock_guard lock(handleMutex_);
        handle = handle_;
    }
    const int result = Join(handle);
    {
        std::lock_guard lock(handleMutex_);
        handle_ = nullptr;
        id_ = 0;
    }
    state_.fetch_and(~kStarted);
    return result;
}

bool TThread::isRunning() const
{
    const std::uint64_t state = state_.load();
    return (state & kStarted) != 0 && (state & kFinished) == 0;
}

bool TThread::stopRequested() const { return (state_.load() & kStopRequested) != 0; }

TThread::Priority TThread::getPriority() const
{
    return static_cast<Priority>((state_.load() & kPriorityMask) >> kPriorityShift);
}

void* TThread::getThreadHandle() const
{
    std::lock_guard lock(handleMutex_);
    return handle_;
}

unsigned long TThread::getThreadId() const
{
    std::lock_guard lock(handleMutex_);
    return id_;
}

unsigned long TThread::currentThreadId()
{
    // Thread ids are 32-bit on every platform; Self() carries them as int.
    return static_cast<unsigned long>(static_cast<std::uint32_t>(Self()));
}

void TThread::ThreadMain()
{
    // A destructor, so that an Exit or a Kill that unwinds the loop still marks it finished.
    struct Finish {
        TThread& thread;
        ~Finish()
        {
            runningHere = nullptr;
            thread.state_.fetch_or(kFinished);
        }
    } finish{*this};

    runningHere = this;
    mainLoopBegin();
    while (!stopRequested())
        mainLoop();
    mainLoopEnd();
}

void TThread::mainLoopBegin() {}
void TThread::mainLoopKill() {}
void TThread::mainLoopEnd() {}

int TThread::Detach(void* handle) { return TThreadC<void>::Detach(handle); }
int TThread::Join(void* handle) { return TThreadC<void>::Join(handle); }
int TThread::Kill(void* handle) { return TThreadC<void>::Kill(handle); }

}  // namespace libmarl
