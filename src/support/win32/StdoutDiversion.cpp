#include "support/StdoutDiversion.h"

#include <fcntl.h>
#include <io.h>

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
        return ::_open("NUL", _O_WRONLY | _O_NOINHERIT);
    return ::_dup(::_fileno(stderr));
}

} // namespace

std::unique_ptr<StdoutDiversion> StdoutDiversion::Start(Destination destination, std::string& error)
{
    std::fflush(stdout);
    const int stdoutFd = ::_fileno(stdout);
    // A program without a console has no descriptor behind standard output (-2).
    const int saved = stdoutFd >= 0 ? ::_dup(stdoutFd) : -1;
    if (saved < 0) {
        error = Explain("cannot copy standard output");
        return nullptr;
    }
    const int target = OpenDestination(destination);
    if (target < 0) {
        error =
            Explain(destination == Destination::Discard ? "cannot open NUL" : "cannot copy standard error");
        ::_close(saved);
        return nullptr;
    }
    const bool diverted = ::_dup2(target, stdoutFd) == 0;
    const int divertError = errno;
    ::_close(target);
    if (!diverted) {
        errno = divertError;
        error = Explain("cannot divert standard output");
        ::_close(saved);
        return nullptr;
    }
    std::FILE* output = ::_fdopen(saved, "w");
    if (!output) {
        error = Explain("cannot open a stream on standard output");
        ::_dup2(saved, stdoutFd);
        ::_close(saved);
        return nullptr;
    }
    return std::unique_ptr<StdoutDiversion>(new StdoutDiversion(output));
}

StdoutDiversion::~StdoutDiversion()
{
    std::fflush(stdout);
    std::fflush(output_);
    ::_dup2(::_fileno(output_), ::_fileno(stdout));
    std::fclose(output_);
}

bool IsTerminal(std::FILE* stream)
{
    return stream && ::_isatty(::_fileno(stream)) != 0;
}

} // namespace quillon
