// A serial port for host programs, with time-outs and errors as exceptions. It sits on
// libmarl::SerialPort and therefore speaks 8 data bits, no parity, one stop bit, no flow control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "support/base/Export.h"

namespace serial {

// Time-outs in milliseconds, in the order setTimeout takes them. A read ends when the line has been
// quiet for the inter-byte time-out once bytes flow (0: no such limit), and waits at most the read
// constant plus the read multiplier times the bytes asked for in all (both 0 with an inter-byte time-out
// of 0: it returns what is there). The write values are kept for the caller; a write is bounded by
// the time its bytes need on the wire.
struct QUILLON_API Timeout {
    Timeout(std::uint32_t interByte = 0, std::uint32_t readConstant = 0, std::uint32_t readMultiplier = 0,
            std::uint32_t writeConstant = 0, std::uint32_t writeMultiplier = 0)
        : inter_byte_timeout(interByte), read_timeout_constant(readConstant),
          read_timeout_multiplier(readMultiplier), write_timeout_constant(writeConstant),
          write_timeout_multiplier(writeMultiplier)
    {}

    std::uint32_t inter_byte_timeout;
    std::uint32_t read_timeout_constant;
    std::uint32_t read_timeout_multiplier;
    std::uint32_t write_timeout_constant;
    std::uint32_t write_timeout_multiplier;
};

enum bytesize_t { fivebits = 5, sixbits = 6, sevenbits = 7, eightbits = 8 };
enum parity_t { parity_none = 0, parity_odd = 1, parity_even = 2, parity_mark = 3, parity_space = 4 };
enum stopbits_t { stopbits_one = 1, stopbits_two = 2, stopbits_one_point_five = 3 };
enum flowcontrol_t { flowcontrol_none = 0, flowcontrol_software = 1, flowcontrol_hardware = 2 };

// The description given is not kept: what() is empty.
class QUILLON_API SerialException : public std::exception {
public:
    explicit SerialException(const char* description);
    SerialException(const SerialException& other);
    SerialException& operator=(const SerialException& other);
    ~SerialException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

// A read or write on a port that is not open. The description given is not kept: what() is empty.
class QUILLON_API PortNotOpenedException : public std::exception {
public:
    explicit PortNotOpenedException(const char* description);
    PortNotOpenedException(const PortNotOpenedException& other);
    PortNotOpenedException& operator=(const PortNotOpenedException& other);
    ~PortNotOpenedException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

// A port error, with where it was raised. what() names the error number and the place; a copy
// keeps the message, the line and the error number, but not the file name.
class QUILLON_API IOException : public std::exception {
public:
    IOException(std::string file, int line, int errorNumber);
    IOException(std::string file, int line, const char* description);  // error number 0
    IOException(const IOException& other);
    IOException& operator=(const IOException& other);
    ~IOException() override;
    const char* what() const noexcept override;
    int getErrorNumber() const;
    int getLine() const;
    const std::string& getFile() const;

private:
    std::string file_;
    int line_;
    std::string message_;
    int errorNumber_;
};

class QUILLON_API Serial {
public:
    // Opens the port at once when a name is given; throws IOException when it cannot.
    Serial(const std::string& port, unsigned int baudrate, Timeout timeout, bytesize_t bytesize,
           parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol);
    Serial()
        : Serial("", 9600, Timeout(0, 0, 0, 0, 0), eightbits, parity_none, stopbits_one, flowcontrol_none)
    {}
    ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // Throws IOException when the port cannot be opened (no name, a format other than 8N1 without
    // flow control, or the system's error) or is open already.
    void open();
    void close();
    bool isOpen() const;

    // Read up to size bytes within the time-outs; PortNotOpenedException when closed, IOException
    // on a port error.
    std::size_t read(std::uint8_t* buffer, std::size_t size);
    std::string read(std::size_t size = 1);
    // Write every byte; the same exceptions.
    std::size_t write(const std::uint8_t* data, std::size_t size);
    std::size_t write(const std::string& data);

    // Settings of an open port take effect by reopening it.
    void setPort(const std::string& port);
    std::string getPort() const;
    void setTimeout(Timeout& timeout);
    void setTimeout(std::uint32_t interByte, std::uint32_t readConstant, std::uint32_t readMultiplier,
                    std::uint32_t writeConstant, std::uint32_t writeMultiplier)
    {
        Timeout timeout(interByte, readConstant, readMultiplier, writeConstant, writeMultiplier);
        setTimeout(timeout);
    }
    Timeout getTimeout() const;
    void setBaudrate(std::uint32_t baudrate);
    std::uint32_t getBaudrate() const;
    bytesize_t getBytesize() const;
    parity_t getParity() const;
    stopbits_t getStopbits() const;
    flowcontrol_t getFlowcontrol() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace serial
