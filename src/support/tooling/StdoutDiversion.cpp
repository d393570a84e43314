#include "support/tooling/StdoutDiversion.h"

#include <cerrno>
#include <cstring>

#include "support/tooling/Descriptors.h"

namespace quillon {

namespace {

std::string Explain(const std::string& what) { return what + ": " + std::strerror(errno); }

// A descriptor the null device or standard error can be copied from; the caller closes it.
int OpenDestination(StdoutDiversion::Destination destination)
{
    if (destination == StdoutDiversion::Destination::Discard)
        return descriptors::OpenNullDevice();
    return descriptors::Copy(descriptors::Of(stderr));
}

}  // namespace

std::unique_ptr<StdoutDiversion> StdoutDiversion::Start(Destination destination, std::string& error)
{
    std::fflush(stdout);
    const int stdoutFd = descriptors::StandardOutput();
    const int saved = descriptors::Copy(stdoutFd);
    if (saved < 0) {
        error = Explain("cannot copy standard output");
        return nullptr;
    }
    const int target = OpenDestination(destination);
    if (target < 0) {
        error = Explain(destination == Destination::Discard
                            ? std::string("cannot open ") + descriptors::kNullDeviceName
                            : std::string("cannot copy standard error"));
        descriptors::Close(saved);
        return nullptr;
    }
    const bool diverted = descriptors::Redirect(target, stdoutFd);
    const int divertError = errno;
    descriptors::Close(target);
    if (!diverted) {
        errno = divertError;
        error = Explain("cannot divert standard output");
        descriptors::Close(saved);
        return nullptr;
    }
    std::FILE* output = descriptors::OpenStream(saved);
    if (!output) {
        error = Explain("cannot open a stream on standard output");
        descriptors::Redirect(saved, stdoutFd);
        descriptors::Close(saved);
        return nullptr;
    }
    return std::unique_ptr<StdoutDiversion>(new StdoutDiversion(output));
}

StdoutDiversion::~StdoutDiversion()
{
    std::fflush(stdout);
    std::fflush(output_);
    descriptors::Redirect(descriptors::Of(output_), descriptors::StandardOutput());
    std::fclose(output_);
}

bool IsTerminal(std::FILE* stream) { return stream && descriptors::IsTerminal(descriptors::Of(stream)); }

int TerminalColumns(std::FILE* stream)
{
    return stream ? descriptors::TerminalColumns(descriptors::Of(stream)) : 0;
}

}  // namespace quillon
