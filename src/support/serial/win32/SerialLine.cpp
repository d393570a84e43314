#include "support/serial/SerialLine.h"

#include <windows.h>

#include <asio/error.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace quillon::serial_line {

namespace {

// An event for one overlapped write that closes itself.
class WriteEvent {
public:
    WriteEvent() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~WriteEvent()
    {
        if (event_)
            ::CloseHandle(event_);
    }
    WriteEvent(const WriteEvent&) = delete;
    WriteEvent& operator=(const WriteEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

// The errno value for a Windows error code: the serial port's callers get the same numbers on
// every platform. Codes without a closer match are an I/O error.
int FromWindowsError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_OPERATION_ABORTED:
        return ECANCELED;
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
        return ETIMEDOUT;
    default:
        return EIO;
    }
}

int LastError() { return FromWindowsError(::GetLastError()); }

}  // namespace

int MakeRaw(Handle line)
{
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    if (!::GetCommState(line, &settings))
        return LastError();
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    // Opening a port raises DTR and RTS on POSIX systems; USB bridges and devices that wait for
    // them see the same line here.
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    if (!::SetCommState(line, &settings))
        return LastError();
    return 0;
}

int WriteAll(Handle line, const char* data, std::size_t count, std::chrono::milliseconds limit)
{
    WriteEvent event;
    if (!event.get())
        return LastError();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count > 0) {
        OVERLAPPED overlapped{};
        // The low bit keeps the completion out of asio's completion port, which the handle is bound
        // to and which would otherwise hand the reading thread a completion it never started.
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(event.get()) | 1);
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(line, data, piece, nullptr, &overlapped) && ::GetLastError() != ERROR_IO_PENDING)
            return LastError();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD wait = static_cast<DWORD>(std::max<long long>(left.count(), 0));
        if (::WaitForSingleObject(event.get(), wait) != WAIT_OBJECT_0) {
            ::CancelIoEx(line, &overlapped);
            ::GetOverlappedResult(line, &overlapped, &written, TRUE);
            return ETIMEDOUT;
        }
        if (!::GetOverlappedResult(line, &overlapped, &written, FALSE))
            return LastError();
        data += written;
        count -= written;
        ::ResetEvent(event.get());
    }
    return 0;
}

void ReleaseForClose(Handle line, int baud)
{
    COMSTAT status{};
    DWORD errors = 0;
    if (baud > 0 && ::ClearCommError(line, &errors, &status) && status.cbOutQue > 0) {
        const auto needed = std::chrono::milliseconds(2LL * status.cbOutQue * 10 * 1000 / baud + 20);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::min<std::chrono::milliseconds>(needed, std::chrono::seconds(1));
        while (status.cbOutQue > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!::ClearCommError(line, &errors, &status))
                break;
        }
    }
    ::PurgeComm(line, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int ErrorNumber(const asio::error_code& error)
{
    // asio reports Windows' own error codes in the system category.
    if (error.category() == asio::error::get_system_category())
        return FromWindowsError(static_cast<DWORD>(error.value()));
    return EIO;
}

}  // namespace quillon::serial_line
