#include "common/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace quillon::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::string Failure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

}  // namespace

bool PseudoTerminal::Supported()
{
    return true;
}

PseudoTerminal::PseudoTerminal()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error_ = Failure("posix_openpt");
        return;
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = Failure("grantpt/unlockpt");
        return;
    }
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error_ = Failure("ptsname_r");
        return;
    }
    slavePath_ = name;

    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) {
        error_ = Failure("open slave");
        return;
    }
    termios settings{};
    if (::tcgetattr(slave_, &settings) != 0) {
        error_ = Failure("tcgetattr");
        return;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0) {
        error_ = Failure("tcsetattr");
        return;
    }
    // Non-blocking so that write and read below can keep their own deadlines.
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        error_ = Failure("fcntl");
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (slave_ >= 0)
        ::close(slave_);
}

bool PseudoTerminal::write(std::string_view bytes)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
        if (master_ < 0)
            return false;
        const ssize_t written = ::write(master_, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (Clock::now() >= deadline)
            return false;
        pollfd room{master_, POLLOUT, 0};
        ::poll(&room, 1, MillisecondsLeft(deadline));
    }
    return true;
}

bool PseudoTerminal::writeInPieces(std::string_view bytes, std::size_t pieceSize,
                                   std::chrono::milliseconds gap)
{
    pieceSize = std::max<std::size_t>(pieceSize, 1);
    while (!bytes.empty()) {
        const std::size_t piece = std::min(pieceSize, bytes.size());
        if (!write(bytes.substr(0, piece)))
            return false;
        bytes.remove_prefix(piece);
        if (!bytes.empty())
            std::this_thread::sleep_for(gap);  // the gap is the input being produced, not a wait
    }
    return true;
}

std::string PseudoTerminal::read(std::size_t count, std::chrono::milliseconds deadline)
{
    std::string received;
    const auto end = Clock::now() + deadline;
    char buffer[4096];
    while (received.size() < count && master_ >= 0) {
        const std::size_t want = std::min(sizeof buffer, count - received.size());
        const ssize_t got = ::read(master_, buffer, want);
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        if (Clock::now() >= end)
            break;
        pollfd data{master_, POLLIN, 0};
        ::poll(&data, 1, MillisecondsLeft(end));
    }
    return received;
}

std::string PseudoTerminal::drain()
{
    std::string received;
    char buffer[4096];
    while (master_ >= 0) {
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0)
            received.append(buffer, static_cast<std::size_t>(got));
        else if (!(got < 0 && errno == EINTR))
            break;
    }
    return received;
}

bool PseudoTerminal::makeSlaveCooked()
{
    termios settings{};
    if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0)
        return false;
    settings.c_iflag |= ICRNL | IXON | BRKINT;
    settings.c_oflag |= OPOST | ONLCR;
    settings.c_lflag |= ECHO | ECHOE | ECHOK | ICANON | ISIG | IEXTEN;
    return ::tcsetattr(slave_, TCSANOW, &settings) == 0;
}

void PseudoTerminal::closeMaster()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

}  // namespace quillon::testing
