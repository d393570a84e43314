// The thread wrapper's handle operations over the Windows thread interface.
#include "support/hostapi/Thread.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

namespace quillon {
namespace {

constexpr int kBadHandle = 22;
constexpr int kTimedOut = 11;

// The thread handles that Create gave out and that nobody has joined or detached yet, each with
// whether a Join waits on it. A handle is a kernel object, but two threads racing to join and
// detach it are not safe with the kernel alone: a wait on a handle that another thread closes is
// undefined, and a closed handle's value is soon reused for an unrelated object, on which a late
// Join would wait for ever. So each handle is claimed here, under the lock, before it is waited on
// or closed, and the loser of such a race gets 22.
class LiveHandles {
public:
    void add(HANDLE handle)
    {
        std::lock_guard lock(mutex_);
        joining_[handle] = false;
    }

    // Marks the handle as being joined; false when it is not live or already being joined.
    bool beginJoin(HANDLE handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = joining_.find(handle);
        if (it == joining_.end() || it->second)
            return false;
        it->second = true;
        return true;
    }
    void endJoin(HANDLE handle, bool joined)
    {
        std::lock_guard lock(mutex_);
        if (joined)
            joining_.erase(handle);
        else
            joining_[handle] = false;
    }

    // Takes the handle out for a Detach; false when it is not live or a Join owns it.
    bool take(HANDLE handle)
    {
        std::lock_guard lock(mutex_);
        const auto it = joining_.find(handle);
        if (it == joining_.end() || it->second)
            return false;
        joining_.erase(it);
        return true;
    }

    // Runs action on the handle while nobody can close it; false when it is not live.
    template <typename Action>
    bool withLive(HANDLE handle, Action&& action)
    {
        std::lock_guard lock(mutex_);
        if (joining_.find(handle) == joining_.end())
            return false;
        return action();
    }

private:
    std::mutex mutex_;
    std::unordered_map<HANDLE, bool> joining_;
};

// Never destroyed: detached threads may still create or join threads while static destructors run
// at exit.
LiveHandles& Live()
{
    static LiveHandles* live = new LiveHandles;
    return *live;
}

}  // namespace
}  // namespace quillon

namespace libmarl {

struct TThreadC<void>::Platform {
    static DWORD WINAPI RunObject(LPVOID argument)
    {
        return ThreadMainHandler(static_cast<TThreadC<void>*>(argument));
    }

    static DWORD WINAPI RunFunction(LPVOID argument)
    {
        return ThreadMainHandler_S(reinterpret_cast<void (*)()>(argument));
    }

    static int Start(LPTHREAD_START_ROUTINE routine, LPVOID argument, unsigned long* id, void** handle,
                     bool detached, unsigned int stackSize)
    {
        if (handle == nullptr)
            return quillon::kBadHandle;
        *handle = nullptr;
        DWORD newId = 0;
        HANDLE thread = CreateThread(nullptr, stackSize, routine, argument, 0, &newId);
        if (thread == nullptr)
            return static_cast<int>(GetLastError());
        if (detached)
            CloseHandle(thread);
        else
            quillon::Live().add(thread);
        *handle = thread;
        if (id != nullptr)
            *id = newId;
        return 0;
    }
};

int TThreadC<void>::Create(unsigned long& id, void** const& handle, const bool& detached,
                           const unsigned int& stackSize, const bool&, const bool&) const
{
    return Platform::Start(&Platform::RunObject, const_cast<TThreadC<void>*>(this), &id, handle, detached,
                           stackSize);
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
    // Without a place for the handle nobody could ever close it.
    const bool detach = detached || handle == nullptr;
    return Platform::Start(&Platform::RunFunction, reinterpret_cast<LPVOID>(fn), nullptr, target, detach,
                           stackSize);
}

int TThreadC<void>::Detach(void* const& handle)
{
    if (handle == nullptr || !quillon::Live().take(handle))
        return quillon::kBadHandle;
    CloseHandle(handle);
    return 0;
}

int TThreadC<void>::Join(void* const& handle)
{
    if (handle == nullptr || !quillon::Live().beginJoin(handle))
        return quillon::kBadHandle;
    // A thread waiting for its own end would wait for ever.
    if (GetThreadId(handle) == GetCurrentThreadId()) {
        quillon::Live().endJoin(handle, false);
        return quillon::kBadHandle;
    }
    switch (WaitForSingleObject(handle, INFINITE)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        quillon::Live().endJoin(handle, true);
        CloseHandle(handle);
        return 0;
    case WAIT_TIMEOUT:
        quillon::Live().endJoin(handle, false);
        return quillon::kTimedOut;
    default:
        quillon::Live().endJoin(handle, false);
        return quillon::kBadHandle;
    }
}

int TThreadC<void>::Kill(void* const& handle)
{
    if (handle == nullptr)
        return quillon::kBadHandle;
    const bool killed = quillon::Live().withLive(handle, [&] { return TerminateThread(handle, 0) != FALSE; });
    return killed ? 0 : quillon::kBadHandle;
}

void TThreadC<void>::Exit() { ExitThread(0); }

int TThreadC<void>::Self() { return static_cast<int>(GetCurrentThreadId()); }

void TThreadC<void>::TestCancel() { Sleep(0); }

}  // namespace libmarl
