// The thread wrapper's handle operations over the Windows thread interface.
#include "support/Thread.h"

#include <windows.h>

namespace quillon {
namespace {

constexpr int kBadHandle = 22;
constexpr int kTimedOut = 11;

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
        *handle = thread;
        if (id != nullptr)
            *id = newId;
        if (detached)
            CloseHandle(thread);
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
    if (handle == nullptr)
        return quillon::kBadHandle;
    return CloseHandle(handle) ? 0 : quillon::kBadHandle;
}

int TThreadC<void>::Join(void* const& handle)
{
    if (handle == nullptr)
        return quillon::kBadHandle;
    // A thread waiting for its own end would wait for ever.
    if (GetThreadId(handle) == GetCurrentThreadId())
        return quillon::kBadHandle;
    switch (WaitForSingleObject(handle, INFINITE)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        CloseHandle(handle);
        return 0;
    case WAIT_TIMEOUT:
        return quillon::kTimedOut;
    default:
        return quillon::kBadHandle;
    }
}

int TThreadC<void>::Kill(void* const& handle)
{
    if (handle == nullptr)
        return quillon::kBadHandle;
    return TerminateThread(handle, 0) ? 0 : quillon::kBadHandle;
}

void TThreadC<void>::Exit() { ExitThread(0); }

int TThreadC<void>::Self() { return static_cast<int>(GetCurrentThreadId()); }

void TThreadC<void>::TestCancel() { Sleep(0); }

}  // namespace libmarl
