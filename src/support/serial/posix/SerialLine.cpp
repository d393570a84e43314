#include "support/serial/SerialLine.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace quillon::serial_line {

namespace {

using Clock = std::chrono::steady_clock;

int PollTimeout(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

}  // namespace

int MakeRaw(Handle line)
{
    termios settings{};
    if (::tcgetattr(line, &settings) != 0)
        return errno;

    // A pseudo-terminal starts out as a cooked terminal (echo, canonical lines, CR/NL mapping) and
    // a real port keeps whatever the last program left; a frame must pass through untouched.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                               IXON | IXOFF | IXANY | INPCK);
    settings.c_iflag |= IGNPAR;
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // The descriptor is non-blocking and reads are timed by the caller, so the line itself never
    // holds a read back.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(line, TCSANOW, &settings) != 0)
        return errno;

    // tcsetattr succeeds when any one of the changes took; read back what the line now does.
    termios applied{};
    if (::tcgetattr(line, &applied) != 0)
        return errno;
    if ((applied.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) != 0 || (applied.c_oflag & OPOST) != 0 ||
        (applied.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF)) != 0 ||
        (applied.c_cflag & CSIZE) != CS8 || (applied.c_cflag & PARENB) != 0)
        return EIO;
    return 0;
}

int WriteAll(Handle line, const char* data, std::size_t count, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (count > 0) {
        const ssize_t written = ::write(line, data, count);
        if (written > 0) {
            data += written;
            count -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;

        // The line's output queue is full (the descriptor is non-blocking): wait for room.
        if (Clock::now() >= deadline)
            return ETIMEDOUT;
        pollfd room{line, POLLOUT, 0};
        const int ready = ::poll(&room, 1, PollTimeout(deadline));
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready > 0 && (room.revents & POLLOUT) == 0 &&
            (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return EIO;
    }
    return 0;
}

void ReleaseForClose(Handle line, int baud)
{
    // close() on a real port waits for queued output, for up to half a minute on Linux when the
    // line is held up; the last frame gets the time it needs at the line's rate and no more.
    int queued = 0;
    if (baud > 0 && ::ioctl(line, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const auto needed = std::chrono::milliseconds(2LL * queued * 10 * 1000 / baud + 20);
        const auto deadline =
            Clock::now() + std::min<std::chrono::milliseconds>(needed, std::chrono::seconds(1));
        while (queued > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (::ioctl(line, TIOCOUTQ, &queued) != 0)
                break;
        }
    }
    ::tcflush(line, TCIOFLUSH);
}

int ErrorNumber(const asio::error_code& error)
{
    // asio reports the system's errno values as they are.
    return error.value() != 0 ? error.value() : EIO;
}

}  // namespace quillon::serial_line
