// Threads identified by handles, in the manner of the Windows thread interface, on every platform,
// and TThread, a thread object that runs a loop until it is stopped.
//
// Results are int: 0 for success, otherwise an error number. 22 means the handle given is not a
// live handle (null, already closed, joined, detached, or never made by Create), or the request
// cannot be honoured (a thread joining itself); 11 means a wait timed out; a failing Create passes
// on the system's own error number.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/base/Export.h"
#include "support/hostapi/Mutex.h"

namespace libmarl {

template <typename T>
class TThreadC;

template <>
class QUILLON_API TThreadC<void> {
public:
    virtual ~TThreadC();
    // There is no state to copy: copies only share the behaviour.
    TThreadC(const TThreadC& other);
    TThreadC& operator=(const TThreadC& other);

    // Starts a thread that runs this object's ThreadMain and then ends. *handle is set to null
    // first; on success it receives the new thread's handle and id its id. With detached the
    // handle is closed at once: the value stored is dead and must not be used. stackSize 0 means
    // the system's default; a larger value asks for at least that many bytes of stack. The two
    // trailing flags are accepted and not used. handle must not be null (22). The object must
    // outlive the thread.
    int Create(unsigned long& id, void** const& handle, const bool& detached, const unsigned int& stackSize,
               const bool&, const bool&) const;
    // As above, without the id. handle may be null: then nobody could ever join the thread, so it is
    // started detached.
    int Create(void** const& handle, const bool& detached, const unsigned int& stackSize, const bool&,
               const bool&) const;
    // As above, but the thread runs fn instead of an object's ThreadMain; fn must not be null (22).
    static int Create(void (*const& fn)(), void** const& handle, const bool& detached,
                      const unsigned int& stackSize, const bool&, const bool&);

    // Closes the handle and lets the thread run on by itself: 0, or 22.
    static int Detach(void* const& handle);
    // Waits, without a time limit, for the thread to end, then closes the handle: 0. A handle is
    // joined once; Join and Detach are alternatives. 22 for a dead handle, a handle that another
    // thread is joining already, or the calling thread's own handle (which would never end).
    static int Join(void* const& handle);
    // Ends the thread: 0, or 22 for a dead handle. On Windows the thread is terminated where it
    // stands, without any clean-up, which is never safe while it may hold a lock. Elsewhere no
    // thread can be ended safely from outside, so Kill is a request: the thread ends at its next
    // TestCancel, unwinding its stack as Exit does. A thread that never calls TestCancel runs on.
    static int Kill(void* const& handle);

protected:
    TThreadC();

    // The body of a thread started by Create.
    virtual void ThreadMain() = 0;

    // Ends the calling thread, which Create must have started. Where the platform can (glibc), the
    // stack is unwound and destructors run; the calling code must not swallow that unwinding in a
    // catch (...) that does not rethrow, nor run inside a noexcept function.
    static void Exit();
    // The calling thread's id, the same value that Create gave for it: 32 bits, never 0, and on
    // POSIX systems the library's own, never reused within the process.
    static int Self();
    // Lets other threads run; a thread that was asked to end with Kill ends here.
    static void TestCancel();

private:
    // Start routines of the threads Create makes: they run the body, then Exit. Never return.
    static unsigned long ThreadMainHandler(TThreadC<void>* object);
    static unsigned long ThreadMainHandler_S(void (*fn)());

    struct Platform;  // the platform's side of Create, defined beside the platform code
};

// A thread object: derive from it, implement mainLoop, and call start(). The thread runs
//
//     mainLoopBegin();
//     while (!stopRequested())
//         mainLoop();
//     mainLoopEnd();
//
// stop() asks the loop to end, calls mainLoopKill() on the stopping thread so that a mainLoop that is
// waiting for something can return at once, and then waits for the thread to end. So each mainLoop
// call is one pass: it should return soon, or wait in a way that mainLoopKill interrupts.
//
// Destruction: by the time ~TThread runs, the derived part of the object, and with it mainLoop, is
// gone, so a derived class must call stop() in its own destructor. ~TThread stops a thread that is
// still running only as a last resort. A TThread must never be destroyed by its own thread.
class QUILLON_API TThread : public TThreadC<void> {
public:
    // Kept for the caller: threads run at the system's normal priority on every platform, since
    // raising a priority takes privileges on most systems and the link threads rely on fair
    // scheduling.
    enum Priority { Idle = 0, Low = 1, Normal = 2, High = 3, Critical = 4 };

    TThread();
    explicit TThread(Priority priority);
    ~TThread() override;

    // Starts the thread: 0, 16 when it runs already (started and not stopped), or the system's error
    // from Create. A stopped TThread may be started again.
    int start();
    // Asks the loop to end, calls mainLoopKill (unless the loop has ended already), and waits for
    // the thread to end: 0, or the error of the wait. Nothing to stop is 0 too. Called on the thread itself,
    // stop() only asks: the loop ends after the current pass, and a later stop() from another thread (or the
    // destructor) waits for it.
    int stop();

    // True from start() until the thread's mainLoopEnd has returned.
    bool isRunning() const;
    // True once stop() was called, until the next start().
    bool stopRequested() const;
    Priority getPriority() const;

    // The handle and id of the running thread; null and 0 when none was started or after stop().
    void* getThreadHandle() const;
    unsigned long getThreadId() const;
    static unsigned long currentThreadId();

protected:
    // Runs the loop described above.
    void ThreadMain() override;

    // Run on the thread, before the first pass and after the last. Nothing by default.
    virtual void mainLoopBegin();
    // One pass of the loop.
    virtual void mainLoop() = 0;
    // Run by stop() on the stopping thread, once the stop is requested, to wake a mainLoop that
    // waits. Nothing by default.
    virtual void mainLoopKill();
    virtual void mainLoopEnd();

private:
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Same results as the TThreadC<void> members of these names.
    static int Detach(void* handle);
    static int Join(void* handle);
    static int Kill(void* handle);

    // Joins the thread that start() made and forgets its handle and id.
    int joinThread();

    // Lifecycle flags and the priority in one word, so the thread and its owner read them without a
    // lock.
    std::atomic<std::uint64_t> state_;
    void* handle_ = nullptr;
    unsigned long id_ = 0;
    TMutex lifecycleMutex_;       // one start() or stop() at a time
    mutable TMutex handleMutex_;  // guards handle_ and id_
};

}  // namespace libmarl
