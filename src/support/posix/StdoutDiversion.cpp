#include "support/StdoutDiversion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon {

namespace {

std::string Explain(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// A descriptor the null device or standard error can be copied from; the caller closes it.
int OpenDestination(StdoutDiversion::Destination destination)
{
    if (destination == StdoutDiversion::Destination::Discard)
        return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
}

} // namespace

std::unique_ptr<StdoutDiversion> StdoutDiversion::Start(Destination destination, std::string& error)
{
    std::fflush(stdout);
    // Close-on-exec: a child process started meanwhile must not hold the program's output open.
    const int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved < 0) {
        error = Explain("cannot copy standard output");
        return nullptr;
    }
    const int target = OpenDestination(destination);
    if (target < 0) {
        error = Explain(destination == Destination::Discard ? "cannot open /dev/null"
                                                            : "cannot copy standard error");
        ::close(saved);
        return nullptr;
    }
    const bool diverted = ::dup2(target, STDOUT_FILENO) >= 0;
    const int divertError = errno;
    ::close(target);
    if (!diverted) {
        errno = divertError;
        error = Explain("cannot divert standard output");
        ::close(saved);
        return nullptr;
    }
    std::FILE* output = ::fdopen(saved, "w");
    if (!output) {
        error = Explain("cannot open a stream on standard output");
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        return nullptr;
    }
    return std::unique_ptr<StdoutDiversion>(new StdoutDiversion(output));
}

StdoutDiversion::~StdoutDiversion()
{
    std::fflush(stdout);
    std::fflush(output_);
    ::dup2(::fileno(output_), STDOUT_FILENO);
    std::fclose(output_);
}

bool IsTerminal(std::FILE* stream)
{
    return stream && ::isatty(::fileno(stream)) == 1;
}

} // namespace quillon
