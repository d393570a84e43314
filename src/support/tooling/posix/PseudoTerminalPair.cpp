#include "support/tooling/PseudoTerminalPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

std::string Failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

bool MakeRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

// The line is served here.
struct PseudoTerminalPair::Relay {};

bool PseudoTerminalPair::Supported() { return true; }

bool PseudoTerminalPair::masterOpen() const { return master_ >= 0; }

PseudoTerminalPair::PseudoTerminalPair(Slave slave)
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

    // The slave is opened once in any case: raw mode set now stays with the line for later openers.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) {
        error_ = Failure("open slave");
        return;
    }
    if (!MakeRaw(slave_)) {
        error_ = Failure("raw mode");
        return;
    }
    if (slave == Slave::Released) {
        ::close(slave_);
        slave_ = -1;
    }
    // Non-blocking so that the reads and writes below can keep their own deadlines.
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        error_ = Failure("fcntl");
}

PseudoTerminalPair::~PseudoTerminalPair()
{
    closeMaster();
    if (slave_ >= 0)
        ::close(slave_);
}

bool PseudoTerminalPair::write(std::string_view bytes, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
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

PseudoTerminalPair::ReadResult PseudoTerminalPair::readSome(std::size_t most,
                                                            std::chrono::milliseconds timeout)
{
    ReadResult result;
    if (master_ < 0) {
        result.status = ReadStatus::Closed;
        return result;
    }
    pollfd ready{master_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::clamp<long long>(timeout.count(), 0, 60'000)));
    if (polled < 0) {
        result.status = errno == EINTR ? ReadStatus::Quiet : ReadStatus::Closed;
        return result;
    }
    if (polled == 0)
        return result;
    if ((ready.revents & POLLNVAL) != 0) {
        result.status = ReadStatus::Closed;
        return result;
    }
    if ((ready.revents & POLLIN) != 0 && most > 0) {
        result.bytes.resize(most);
        const ssize_t got = ::read(master_, result.bytes.data(), most);
        if (got > 0) {
            result.bytes.resize(static_cast<std::size_t>(got));
            result.status = ReadStatus::Data;
            return result;
        }
        result.bytes.clear();
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return result;
        // Linux answers a read on a master whose slave nobody holds with EIO.
        result.status = (got == 0 || errno == EIO) ? ReadStatus::HungUp : ReadStatus::Closed;
        return result;
    }
    if ((ready.revents & POLLHUP) != 0)
        result.status = ReadStatus::HungUp;
    else if ((ready.revents & POLLERR) != 0)
        result.status = ReadStatus::Closed;
    return result;
}

bool PseudoTerminalPair::slaveInUse() const
{
    if (master_ < 0)
        return false;
    // A master whose slave nobody holds reports a hang-up, whether or not data waits as well.
    pollfd state{master_, 0, 0};
    return ::poll(&state, 1, 0) >= 0 && (state.revents & (POLLHUP | POLLNVAL)) == 0;
}

std::string PseudoTerminalPair::read(std::size_t count, std::chrono::milliseconds deadline)
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

std::string PseudoTerminalPair::drain()
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

bool PseudoTerminalPair::makeSlaveCooked()
{
    termios settings{};
    if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0)
        return false;
    settings.c_iflag |= ICRNL | IXON | BRKINT;
    settings.c_oflag |= OPOST | ONLCR;
    settings.c_lflag |= ECHO | ECHOE | ECHOK | ICANON | ISIG | IEXTEN;
    return ::tcsetattr(slave_, TCSANOW, &settings) == 0;
}

void PseudoTerminalPair::closeMaster()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

}  // namespace quillon
