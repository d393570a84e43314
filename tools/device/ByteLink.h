// The wire under a simulated device: a TCP connection to the host, the device side of a
// pseudo-terminal, or a serial port. One thread reads and writes it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace libmarl {
class SerialPort;
}

namespace quillon {
class PseudoTerminalPair;
}

namespace quillon::sim {

class Stopper;

class ByteLink {
public:
    enum class Status {
        Data,    // bytes came
        Quiet,   // nothing within the time-out
        NoHost,  // nobody is at the other end for now (a port that no program holds open)
        Down,    // the link is gone
    };
    struct Received {
        Status status = Status::Quiet;
        std::size_t size = 0;  // with Status::Data: how many bytes went into the caller's buffer
    };

    virtual ~ByteLink() = default;

    // Waits up to timeout for bytes and puts those there, at most into.size(), into the caller's
    // buffer: the bytes go straight where the frames are cut, with no copy and no allocation.
    virtual Received Read(std::span<std::uint8_t> into, std::chrono::milliseconds timeout) = 0;
    // Writes every byte; false when the link is gone or does not take them in time.
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
};

// A connection to host:port, or nullptr with error set when there is none to be had now.
// The attempt gives up after timeout, or at once on a stop request.
std::unique_ptr<ByteLink> ConnectTcp(const std::string& host, int port, std::chrono::milliseconds timeout,
                                     Stopper& stopper, std::string& error);

// The master side of a pseudo-terminal pair (which must outlive the link).
std::unique_ptr<ByteLink> PtyLink(PseudoTerminalPair& pair);

// An open serial port (which must outlive the link).
std::unique_ptr<ByteLink> SerialPortLink(libmarl::SerialPort& port);

}  // namespace quillon::sim
