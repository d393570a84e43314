// One serial port, opened 8N1 without flow control at the configured rate. Reads wait for the
// line to fall quiet, as serial ports do: a read returns what arrived until no byte came for the
// read time-out, so a frame that crosses the line byte by byte arrives in one piece. A reader that
// can tell a whole message by its bytes may say so, and its reads then end as soon as one is in.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "support/base/Export.h"

namespace libmarl {

class QUILLON_API SerialPort {
public:
    SerialPort();
    virtual ~SerialPort();  // closes the port

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Settings take effect at the next serialOpen.
    void setBufferSize(int bytes);  // the most one read returns
    void setBaud(int baud);
    void setTimeoutRead(int milliseconds);  // inter-byte time-out of a read
    void setSendSleep(int milliseconds);    // pause after each send, for the device to take it in
    // True for a chunk that needs no more bytes; empty (the default) when only the quiet ends a read.
    void setChunkComplete(std::function<bool(std::string_view chunk)> isComplete);
    void setPort(const std::string& name);
    const std::string& getPort() const;

    // 0 when the port is open; otherwise an error number, and the port stays closed.
    int serialOpen();
    // Waits for a read or a send that another thread has in progress (both end within their
    // time-outs), then closes; later reads fail and later sends return -1 until the next open.
    void serialClose();
    bool isOpen() const;

    // Writes all count bytes in one go, then pauses for the send sleep. Returns count, or -1 on a
    // port error. Safe to call while another thread is in serialRead.
    int send(const char* data, int count);

    // Waits up to the read time-out for a first byte; once bytes flow, gathers them until the line
    // has been quiet for the time-out, the buffer size is reached or the chunk test passes what was
    // gathered. Returns 0 with chunk replaced by what arrived (empty when nothing came), or non-zero
    // on a port error (the port is then unusable and the caller closes it).
    int serialRead(std::string& chunk);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace libmarl
