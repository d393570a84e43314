#include "support/serial/SerialPort.h"

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>

#include "support/serial/SerialLine.h"

namespace libmarl {

namespace {

namespace serial_line = quillon::serial_line;
using Milliseconds = std::chrono::milliseconds;

// What the serial link uses; a port made without settings behaves the same.
constexpr int kDefaultBufferSize = 5000;
constexpr int kDefaultBaud = 115200;
constexpr int kDefaultReadTimeout = 10;
constexpr int kDefaultSendSleep = 0;

// Reads land here first, so a chunk's memory grows with what arrived, not with the buffer size.
constexpr std::size_t kScratchSize = 4096;

int ErrorNumber(const asio::error_code& error)
{
    // A line that reports end of file has been hung up (unplugged, or its pseudo-terminal master
    // closed): that is an I/O error to the caller, who must not read on as if it were quiet.
    if (error == asio::error::eof)
        return EIO;
    return serial_line::ErrorNumber(error);
}

// A send may wait for the line to take its bytes: twice their time on the wire, and a second
// for a line that is held up, before it gives up.
Milliseconds WriteLimit(std::size_t count, int baud)
{
    const long long wire = static_cast<long long>(count) * 10 * 1000 / std::max(baud, 1);
    return Milliseconds(2 * wire + 1000);
}

}  // namespace

class SerialPort::Impl {
public:
    struct Settings {
        int bufferSize = kDefaultBufferSize;
        int baud = kDefaultBaud;
        int readTimeout = kDefaultReadTimeout;
        int sendSleep = kDefaultSendSleep;
        std::function<bool(std::string_view)> chunkComplete;
    };

    // Given by the owner between opens; taken over by serialOpen.
    Settings requested;
    std::string name;

    // The read side. The io_context and the asio port object are used by one thread at a time:
    // whoever holds readMutex (a read, an open or a close). Sends never touch them.
    std::mutex readMutex;
    asio::io_context io;
    asio::serial_port port{io};
    std::size_t bufferSize = kDefaultBufferSize;          // guarded by readMutex
    Milliseconds readTimeout{kDefaultReadTimeout};        // guarded by readMutex
    std::function<bool(std::string_view)> chunkComplete;  // guarded by readMutex
    int pendingError = 0;  // a port error seen after a read had already gathered bytes; readMutex
    std::array<char, kScratchSize> scratch{};  // guarded by readMutex

    // The write side: the line's native handle, written directly, one send at a time.
    std::mutex writeMutex;
    bool writable = false;  // guarded by writeMutex, as are the three below
    serial_line::Handle line{};
    int baud = kDefaultBaud;
    Milliseconds sendSleep{kDefaultSendSleep};

    std::atomic<bool> open{false};
    // Closes waiting for readMutex. A thread that reads in a loop would otherwise take the mutex
    // back after every read and keep a close from another thread waiting indefinitely.
    std::atomic<int> closing{0};

    struct ReadResult {
        std::size_t count = 0;
        int error = 0;
    };

    // One read of whatever arrives within the time-out. Holds readMutex.
    ReadResult readWithin(std::size_t most, Milliseconds timeout)
    {
        ReadResult result;
        asio::error_code error;
        bool done = false;
        port.async_read_some(asio::buffer(scratch.data(), most),
                             [&](const asio::error_code& e, std::size_t count) {
                                 error = e;
                                 result.count = count;
                                 done = true;
                             });
        io.restart();
        if (timeout.count() > 0)
            io.run_for(timeout);
        else
            io.poll();
        if (!done) {
            // Quiet for the whole time-out. The cancelled read still completes, with nothing or with
            // bytes that beat the cancellation; either way it completes before this returns.
            asio::error_code ignored;
            port.cancel(ignored);
            io.restart();
            io.run();
        }
        if (result.count == 0 && error && error != asio::error::operation_aborted)
            result.error = ErrorNumber(error);
        return result;
    }

    // Both mutexes held.
    void closeLocked()
    {
        open = false;
        writable = false;
        pendingError = 0;
        if (!port.is_open())
            return;
        serial_line::ReleaseForClose(port.native_handle(), baud);
        asio::error_code ignored;
        port.close(ignored);
    }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() { serialClose(); }

void SerialPort::setBufferSize(int bytes) { impl_->requested.bufferSize = bytes; }

void SerialPort::setBaud(int baud) { impl_->requested.baud = baud; }

void SerialPort::setTimeoutRead(int milliseconds) { impl_->requested.readTimeout = milliseconds; }

void SerialPort::setSendSleep(int milliseconds) { impl_->requested.sendSleep = milliseconds; }

void SerialPort::setChunkComplete(std::function<bool(std::string_view chunk)> isComplete)
{
    impl_->requested.chunkComplete = std::move(isComplete);
}

void SerialPort::setPort(const std::string& name) { impl_->name = name; }

const std::string& SerialPort::getPort() const { return impl_->name; }

int SerialPort::serialOpen()
{
    Impl& d = *impl_;
    std::scoped_lock lock(d.readMutex, d.writeMutex);
    if (d.port.is_open())
        return EBUSY;
    const Impl::Settings settings = d.requested;
    if (d.name.empty() || settings.baud <= 0)
        return EINVAL;

    asio::error_code error;
    d.port.open(d.name, error);
    if (error)
        return ErrorNumber(error);

    int failure = serial_line::MakeRaw(d.port.native_handle());
    if (failure == 0) {
        using asio::serial_port_base;
        // Each option is read back from the line and changed on top of it, so the raw mode stays.
        d.port.set_option(serial_port_base::baud_rate(static_cast<unsigned int>(settings.baud)), error);
        // A driver may take a rate it cannot make and keep the old one (Wine's does, for any rate
        // outside its table): the line would then run at a speed nobody asked for.
        serial_port_base::baud_rate taken;
        if (!error)
            d.port.get_option(taken, error);
        if (!error && taken.value() != static_cast<unsigned int>(settings.baud))
            error = asio::error::invalid_argument;
        if (!error)
            d.port.set_option(serial_port_base::character_size(8), error);
        if (!error)
            d.port.set_option(serial_port_base::parity(serial_port_base::parity::none), error);
        if (!error)
            d.port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), error);
        if (!error)
            d.port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none), error);
        if (error)
            failure = ErrorNumber(error);
    }
    if (failure != 0) {
        asio::error_code ignored;
        d.port.close(ignored);
        return failure;
    }

    d.bufferSize = static_cast<std::size_t>(std::max(settings.bufferSize, 1));
    d.readTimeout = Milliseconds(std::max(settings.readTimeout, 0));
    d.chunkComplete = settings.chunkComplete;
    d.pendingError = 0;
    d.line = d.port.native_handle();
    d.baud = settings.baud;
    d.sendSleep = Milliseconds(std::max(settings.sendSleep, 0));
    d.writable = true;
    d.open = true;
    return 0;
}

void SerialPort::serialClose()
{
    Impl& d = *impl_;
    // Waits for a read in progress, which ends within its time-out or at a full buffer, and for a
    // send in progress, which ends within its write limit and pause.
    ++d.closing;
    {
        std::scoped_lock lock(d.readMutex, d.writeMutex);
        d.closeLocked();
    }
    --d.closing;
}

bool SerialPort::isOpen() const { return impl_->open; }

int SerialPort::send(const char* data, int count)
{
    if (count < 0 || (count > 0 && data == nullptr))
        return -1;
    Impl& d = *impl_;
    std::lock_guard lock(d.writeMutex);
    if (!d.writable)
        return -1;
    if (count == 0)
        return 0;
    if (serial_line::WriteAll(d.line, data, static_cast<std::size_t>(count), WriteLimit(count, d.baud)) != 0)
        return -1;
    // The pause stays inside the lock: a send from another thread must give the device the same time.
    if (d.sendSleep.count() > 0)
        std::this_thread::sleep_for(d.sendSleep);
    return count;
}

int SerialPort::serialRead(std::string& chunk)
{
    Impl& d = *impl_;
    chunk.clear();
    if (d.closing > 0)
        return EBADF;
    std::lock_guard lock(d.readMutex);
    if (!d.port.is_open())
        return EBADF;
    if (d.pendingError != 0)
        return d.pendingError;

    // The time-out runs between bytes, as a serial port's read interval does: the first wait is
    // for a first byte, every later one for the next, and a quiet line ends the chunk. A chunk that
    // is complete by the reader's test ends it at once: waiting out the quiet would only hold it up.
    while (chunk.size() < d.bufferSize && d.closing == 0) {
        const std::size_t most = std::min(d.bufferSize - chunk.size(), d.scratch.size());
        const Impl::ReadResult got = d.readWithin(most, d.readTimeout);
        if (got.error != 0) {
            if (chunk.empty())
                return got.error;
            // The bytes that came before the error are delivered; the error comes with the next read.
            d.pendingError = got.error;
            break;
        }
        if (got.count == 0)
            break;
        chunk.append(d.scratch.data(), got.count);
        if (d.chunkComplete && d.chunkComplete(chunk))
            break;
    }
    return 0;
}

}  // namespace libmarl
