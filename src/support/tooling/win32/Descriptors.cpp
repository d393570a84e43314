#include "support/tooling/Descriptors.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace quillon::descriptors {

const char* const kNullDeviceName = "NUL";

int Of(std::FILE* stream) { return ::_fileno(stream); }

int StandardOutput()
{
    return ::_fileno(stdout);  // -2 without a console
}

int Copy(int fd)
{
    // The runtime's copies are not inherited unless a program is started with them on purpose.
    return fd >= 0 ? ::_dup(fd) : -1;
}

int OpenNullDevice() { return ::_open(kNullDeviceName, _O_WRONLY | _O_NOINHERIT); }

bool Redirect(int from, int to) { return ::_dup2(from, to) == 0; }

void Close(int fd) { ::_close(fd); }

std::FILE* OpenStream(int fd) { return ::_fdopen(fd, "w"); }

bool IsTerminal(int fd) { return ::_isatty(fd) != 0; }

int TerminalColumns(int fd)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const auto console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (console == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace quillon::descriptors
