#include "support/tooling/Descriptors.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillon::descriptors {

const char* const kNullDeviceName = "/dev/null";

int Of(std::FILE* stream) { return ::fileno(stream); }

int StandardOutput() { return STDOUT_FILENO; }

int Copy(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

int OpenNullDevice() { return ::open(kNullDeviceName, O_WRONLY | O_CLOEXEC); }

bool Redirect(int from, int to) { return ::dup2(from, to) >= 0; }

void Close(int fd) { ::close(fd); }

std::FILE* OpenStream(int fd) { return ::fdopen(fd, "w"); }

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

int TerminalColumns(int fd)
{
    struct winsize size {};
    return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace quillon::descriptors
