// Children over CreateProcessW: anonymous pipes for the streams, the process handle for the end.
#include "support/tooling/ChildProcessPlatform.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <mutex>

namespace quillon {

struct ChildProcess::Platform {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE streams[2] = {nullptr, nullptr};
    std::size_t peakMemoryKiB = 0;

    ~Platform()
    {
        for (HANDLE stream : streams)
            if (stream)
                ::CloseHandle(stream);
        if (process)
            ::CloseHandle(process);
    }
};

void ChildProcess::PlatformDeleter::operator()(Platform* platform) const { delete platform; }

namespace child_process {

namespace {

// A killed child's exit code, which GetExitCodeProcess then reports and Release turns into -1 as a
// POSIX signal would be.
constexpr UINT kKilledExitCode = 0xFFFFFFFFu;

std::string Failure(const std::string& what)
{
    return what + ": Windows error " + std::to_string(::GetLastError());
}

std::wstring Wide(const std::string& narrow)
{
    if (narrow.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), size);
    return wide;
}

// One argument as the C runtime's command-line parser splits it back out: quoted when it holds
// blanks or quotes (or is empty), with the backslashes before a quote doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument)
{
    if (!line.empty())
        line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// Handles the child inherits, each closed here once the child has its copy.
class InheritedHandles {
public:
    ~InheritedHandles()
    {
        for (HANDLE handle : handles_)
            ::CloseHandle(handle);
    }
    HANDLE Keep(HANDLE handle)
    {
        if (handle != INVALID_HANDLE_VALUE && handle)
            handles_.push_back(handle);
        return handle;
    }

private:
    std::vector<HANDLE> handles_;
};

// A pipe whose write end the child inherits and whose read end stays here only.
bool MakePipe(HANDLE& readEnd, InheritedHandles& inherited, HANDLE& writeEnd, std::string& error)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        error = Failure("CreatePipe");
        return false;
    }
    inherited.Keep(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// Every inheritable handle goes to every child created while it is open; one start at a time
// keeps one child's pipe ends out of another, which would hold its streams open past its end.
std::mutex& StartLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

bool TerminalSupported() { return false; }

std::filesystem::path CurrentProgram()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // cut short: a longer buffer
    }
}

std::unique_ptr<ChildProcess::Platform, ChildProcess::PlatformDeleter>
Start(const std::vector<std::string>& argv, const ChildProcess::Options& options, std::string& error)
{
    if (options.errors == ChildProcess::ErrorStream::Terminal) {
        error = "a terminal for standard error is not available on this platform";
        return nullptr;
    }
    std::wstring line;
    for (const auto& argument : argv)
        AppendArgument(line, Wide(argument));

    std::lock_guard startLock(StartLock());
    std::unique_ptr<ChildProcess::Platform, ChildProcess::PlatformDeleter> child(new ChildProcess::Platform);
    InheritedHandles inherited;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inherited.Keep(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                     &inheritable, OPEN_EXISTING, 0, nullptr));
    if (startup.hStdInput == INVALID_HANDLE_VALUE) {
        error = Failure("NUL");
        return nullptr;
    }
    if (options.readOutput) {
        if (!MakePipe(child->streams[kOutput], inherited, startup.hStdOutput, error))
            return nullptr;
    } else {
        startup.hStdOutput =
            inherited.Keep(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, OPEN_EXISTING, 0, nullptr));
        if (startup.hStdOutput == INVALID_HANDLE_VALUE) {
            error = Failure("NUL");
            return nullptr;
        }
    }
    if (options.errors == ChildProcess::ErrorStream::Pipe) {
        if (!MakePipe(child->streams[kErrors], inherited, startup.hStdError, error))
            return nullptr;
    } else if (options.errors == ChildProcess::ErrorStream::Shared) {
        // An inheritable copy: the handle itself may not be one. None at all (a program without a
        // console) leaves the child without one too.
        const HANDLE own = ::GetStdHandle(STD_ERROR_HANDLE);
        HANDLE copy = nullptr;
        if (own && own != INVALID_HANDLE_VALUE &&
            ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                              DUPLICATE_SAME_ACCESS))
            startup.hStdError = inherited.Keep(copy);
    } else {
        startup.hStdError = inherited.Keep(::CreateFileW(options.errorFile.wstring().c_str(), GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (startup.hStdError == INVALID_HANDLE_VALUE) {
            error = Failure("cannot create " + options.errorFile.string());
            return nullptr;
        }
    }

    PROCESS_INFORMATION created{};
    // A group of its own, so that Ctrl+Break reaches this child and not its parent. Without an
    // application name, a program named without a folder is looked up, on PATH among other places.
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                          nullptr, &startup, &created)) {
        error = Failure("cannot start " + argv[0]);
        return nullptr;
    }
    ::CloseHandle(created.hThread);
    child->process = created.hProcess;
    child->id = created.dwProcessId;
    return child;
}

bool Readable(const ChildProcess::Platform& child, Stream stream) { return child.streams[stream] != nullptr; }

// The pipe ends when the child (and whatever inherited its end) has ended, which is what abandon
// waits for on this platform as well: ChildProcess abandons reads only after the child's end.
std::size_t Read(ChildProcess::Platform& child, Stream stream, char* buffer, std::size_t size,
                 const std::atomic<bool>&)
{
    DWORD got = 0;
    if (!::ReadFile(child.streams[stream], buffer, static_cast<DWORD>(size), &got, nullptr))
        return 0;
    return got;
}

void AwaitEnd(ChildProcess::Platform& child) { ::WaitForSingleObject(child.process, INFINITE); }

int Release(ChildProcess::Platform& child)
{
    DWORD code = kKilledExitCode;
    ::GetExitCodeProcess(child.process, &code);
    PROCESS_MEMORY_COUNTERS memory{};
    if (::GetProcessMemoryInfo(child.process, &memory, sizeof memory))
        child.peakMemoryKiB = memory.PeakWorkingSetSize / 1024;
    return code == kKilledExitCode ? -1 : static_cast<int>(code);
}

std::size_t PeakMemoryKiB(const ChildProcess::Platform& child) { return child.peakMemoryKiB; }

void AskToStop(ChildProcess::Platform& child)
{
    // Console programs have no gentler request than Ctrl+Break (SIGBREAK in the C runtime); one
    // without a console to receive it is ended at once.
    if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id))
        Kill(child);
}

void Kill(ChildProcess::Platform& child) { ::TerminateProcess(child.process, kKilledExitCode); }

}  // namespace child_process
}  // namespace quillon
