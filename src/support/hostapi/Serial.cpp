#include "support/hostapi/Serial.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include "support/serial/SerialPort.h"

namespace serial {

// ---- exceptions -----------------------------------------------------------------------------

SerialException::SerialException(const char* description) { (void)description; }

SerialException::SerialException(const SerialException& other)
    : std::exception(other), message_(other.message_)
{}

SerialException& SerialException::operator=(const SerialException& other)
{
    message_ = other.message_;
    return *this;
}

SerialException::~SerialException() = default;

const char* SerialException::what() const noexcept { return message_.c_str(); }

PortNotOpenedException::PortNotOpenedException(const char* description) { (void)description; }

PortNotOpenedException::PortNotOpenedException(const PortNotOpenedException& other)
    : std::exception(other), message_(other.message_)
{}

PortNotOpenedException& PortNotOpenedException::operator=(const PortNotOpenedException& other)
{
    message_ = other.message_;
    return *this;
}

PortNotOpenedException::~PortNotOpenedException() = default;

const char* PortNotOpenedException::what() const noexcept { return message_.c_str(); }

IOException::IOException(std::string file, int line, int errorNumber)
    : file_(std::move(file)), line_(line), errorNumber_(errorNumber)
{
    message_ = "IO error " + std::to_string(errorNumber_) + " (" +
               std::generic_category().message(errorNumber_) + "), " + file_ + ":" + std::to_string(line_);
}

IOException::IOException(std::string file, int line, const char* description)
    : file_(std::move(file)), line_(line), errorNumber_(0)
{
    (void)description;
    message_ = "IO error, " + file_ + ":" + std::to_string(line_);
}

IOException::IOException(const IOException& other)
    : std::exception(other), line_(other.line_), message_(other.message_), errorNumber_(other.errorNumber_)
{}

IOException& IOException::operator=(const IOException& other)
{
    if (this != &other) {
        file_.clear();
        line_ = other.line_;
        message_ = other.message_;
        errorNumber_ = other.errorNumber_;
    }
    return *this;
}

IOException::~IOException() = default;

const char* IOException::what() const noexcept { return message_.c_str(); }

int IOException::getErrorNumber() const { return errorNumber_; }

int IOException::getLine() const { return line_; }

const std::string& IOException::getFile() const { return file_; }

// ---- Serial -------------------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// The most one read of the port below gathers; what a caller did not ask for waits for the next read.
constexpr int kChunkSize = 4096;

int ClampToInt(std::uint64_t value) { return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX)); }

}  // namespace

class Serial::Impl {
public:
    std::string port;
    std::uint32_t baudrate = 9600;
    Timeout timeout;
    bytesize_t bytesize = eightbits;
    parity_t parity = parity_none;
    stopbits_t stopbits = stopbits_one;
    flowcontrol_t flowcontrol = flowcontrol_none;

    std::unique_ptr<libmarl::SerialPort> line;  // set while open
    std::string pending;                        // bytes read but not yet asked for

    void open()
    {
        if (line)
            throw IOException(__FILE__, __LINE__, EBUSY);
        if (port.empty() || bytesize != eightbits || parity != parity_none || stopbits != stopbits_one ||
            flowcontrol != flowcontrol_none || baudrate == 0 || baudrate > INT_MAX)
            throw IOException(__FILE__, __LINE__, EINVAL);
        auto opened = std::make_unique<libmarl::SerialPort>();
        opened->setBufferSize(kChunkSize);
        opened->setBaud(static_cast<int>(baudrate));
        // Without an inter-byte time-out the port below still has to wait for something; a short
        // tick lets a read wait out its total time-out without spinning.
        opened->setTimeoutRead(timeout.inter_byte_timeout > 0 ? ClampToInt(timeout.inter_byte_timeout) : 1);
        opened->setSendSleep(0);
        opened->setPort(port);
        const int error = opened->serialOpen();
        if (error != 0)
            throw IOException(__FILE__, __LINE__, error);
        line = std::move(opened);
        pending.clear();
    }

    void reopenIfOpen()
    {
        if (!line)
            return;
        line.reset();
        open();
    }
};

Serial::Serial(const std::string& port, unsigned int baudrate, Timeout timeout, bytesize_t bytesize,
               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : impl_(std::make_unique<Impl>())
{
    impl_->port = port;
    impl_->baudrate = baudrate;
    impl_->timeout = timeout;
    impl_->bytesize = bytesize;
    impl_->parity = parity;
    impl_->stopbits = stopbits;
    impl_->flowcontrol = flowcontrol;
    if (!port.empty())
        impl_->open();
}

Serial::~Serial() = default;

void Serial::open() { impl_->open(); }

void Serial::close()
{
    impl_->line.reset();
    impl_->pending.clear();
}

bool Serial::isOpen() const { return impl_->line != nullptr; }

std::size_t Serial::read(std::uint8_t* buffer, std::size_t size)
{
    const std::string bytes = read(size);
    if (!bytes.empty())
        std::memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
}

std::string Serial::read(std::size_t size)
{
    Impl& d = *impl_;
    if (!d.line)
        throw PortNotOpenedException("Serial::read");
    std::string out = d.pending.substr(0, size);
    d.pending.erase(0, out.size());

    const Timeout& t = d.timeout;
    const std::uint64_t total = t.read_timeout_constant + std::uint64_t{t.read_timeout_multiplier} * size;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(total, INT_MAX));
    while (out.size() < size) {
        std::string chunk;
        const int error = d.line->serialRead(chunk);
        if (error != 0)
            throw IOException(__FILE__, __LINE__, error);
        const std::size_t taken = std::min(chunk.size(), size - out.size());
        out.append(chunk, 0, taken);
        d.pending.append(chunk, taken, std::string::npos);
        if (out.size() >= size)
            break;
        // The port below ends a chunk short of its buffer only when the line has been quiet for the
        // inter-byte time-out; once this read holds bytes, that ends it.
        if (t.inter_byte_timeout > 0 && !out.empty() && chunk.size() < static_cast<std::size_t>(kChunkSize))
            break;
        if (Clock::now() >= deadline)
            break;
    }
    return out;
}

std::size_t Serial::write(const std::uint8_t* data, std::size_t size)
{
    Impl& d = *impl_;
    if (!d.line)
        throw PortNotOpenedException("Serial::write");
    constexpr std::size_t kPiece = 1u << 20;
    for (std::size_t done = 0; done < size;) {
        const int piece = static_cast<int>(std::min(size - done, kPiece));
        if (d.line->send(reinterpret_cast<const char*>(data) + done, piece) != piece)
            throw IOException(__FILE__, __LINE__, EIO);
        done += static_cast<std::size_t>(piece);
    }
    return size;
}

std::size_t Serial::write(const std::string& data)
{
    return write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

void Serial::setPort(const std::string& port)
{
    impl_->port = port;
    impl_->reopenIfOpen();
}

std::string Serial::getPort() const { return impl_->port; }

void Serial::setTimeout(Timeout& timeout)
{
    impl_->timeout = timeout;
    impl_->reopenIfOpen();
}

Timeout Serial::getTimeout() const { return impl_->timeout; }

void Serial::setBaudrate(std::uint32_t baudrate)
{
    impl_->baudrate = baudrate;
    impl_->reopenIfOpen();
}

std::uint32_t Serial::getBaudrate() const { return impl_->baudrate; }

bytesize_t Serial::getBytesize() const { return impl_->bytesize; }

parity_t Serial::getParity() const { return impl_->parity; }

stopbits_t Serial::getStopbits() const { return impl_->stopbits; }

flowcontrol_t Serial::getFlowcontrol() const { return impl_->flowcontrol; }

}  // namespace serial
