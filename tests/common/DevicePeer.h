// The device's side of a link, driven by a test: it reads the host's frames as they arrive on the
// wire, learns the link key from key frames, and sends whatever frames (or raw bytes) the test
// asks for, scrambled with the key it learned. Deliberately low-level: a test says exactly what the
// device does, byte by byte.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FrameCodec.h"

namespace quillon::testing {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A byte stream between the device and the host.
class ByteChannel {
public:
    virtual ~ByteChannel() = default;
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
    // Whatever arrives within timeout (possibly nothing); nullopt when the channel is gone.
    virtual std::optional<Bytes> ReadSome(std::chrono::milliseconds timeout) = 0;
    virtual void Close() = 0;
};

// Connects to a host listening at address (the IPv4 loopback by default); nullptr when nobody listens.
std::unique_ptr<ByteChannel> ConnectTcp(int port, const std::string& address = "127.0.0.1");

// The host's end of TCP: listens on a free loopback port and takes the device's connections.
class TcpListener {
public:
    TcpListener();
    ~TcpListener();
    int port() const;
    // The next connection; nullptr when none comes within timeout.
    std::unique_ptr<ByteChannel> Accept(std::chrono::milliseconds timeout);

private:
    struct Acceptor;
    std::unique_ptr<Acceptor> acceptor_;
};

class PseudoTerminal;
// The device's end of a pseudo-terminal whose slave the host opens as a serial port. The terminal
// must outlive the channel.
std::unique_ptr<ByteChannel> PtyDeviceChannel(PseudoTerminal& pty);

// A frame as it came off the wire, and its body once checked with the key in force.
struct CheckedFrame {
    Bytes wire;   // the bytes as sent
    Bytes clear;  // the whole frame with its body unscrambled (empty when the check failed)
    std::uint8_t type() const { return wire.size() > 1 ? wire[1] : 0xFF; }
    bool checked() const { return !clear.empty(); }
    // Body byte at frame offset i, unscrambled.
    std::uint8_t at(std::size_t i) const { return clear.at(i); }
    std::uint32_t le32(std::size_t i) const { return ReadLe32(&clear.at(i)); }
};

class DevicePeer {
public:
    // padShortFrames: frames shorter than 72 bytes go out padded to 72 bytes ending in '#', as a
    // device must send them on a serial line.
    explicit DevicePeer(std::unique_ptr<ByteChannel> channel, bool padShortFrames = false);

    // The next frame the host sends, as it is on the wire; nullopt on time-out or a closed channel.
    // Stray bytes are dropped.
    std::optional<Bytes> ReadWireFrame(std::chrono::milliseconds timeout = 3s);

    // The next frame that is not a key frame; key frames met on the way put their key in force.
    std::optional<CheckedFrame> ReadFrame(std::chrono::milliseconds timeout = 3s);

    // Waits for a key frame and puts its key in force; the key frame's wire bytes.
    std::optional<Bytes> ReadKeyFrame(std::chrono::milliseconds timeout = 3s);

    // Sends a typed frame with the given clear body, scrambled with the key in force.
    void Send(FrameType type, const Bytes& body);
    void SendAck(std::uint8_t code = 0) { Send(FrameType::Ack, {code, 0, 0, 0}); }
    void SendValue(std::uint8_t a, std::uint8_t b, std::uint32_t value);
    void SendBlock(std::uint16_t index, const std::uint8_t* data, std::size_t size);
    // Writes bytes exactly as given.
    void SendRaw(const Bytes& bytes);

    // Nothing more arrives within the window (for asserting that the host stays silent).
    bool Quiet(std::chrono::milliseconds window);

    const LinkKey& key() const { return key_; }
    void SetKey(const LinkKey& key) { key_ = key; }
    void Close() { channel_->Close(); }
    ByteChannel& channel() { return *channel_; }

private:
    bool Fill(std::size_t wanted, std::chrono::steady_clock::time_point deadline);
    // The next wire frame that is not a key frame, or (keyFrame) the next key frame.
    std::optional<Bytes> ReadWireFrameUntil(std::chrono::steady_clock::time_point deadline, bool keyFrame);

    std::unique_ptr<ByteChannel> channel_;
    bool padShortFrames_;
    LinkKey key_{};
    Bytes pending_;
};

// Takes the first whole frame off the front of pending and the stray bytes before it, as the
// library's links cut frames; nullopt, with only what may begin a frame kept, until one is whole.
std::optional<Bytes> TakeFrame(Bytes& pending);

// The 18-byte greeting a device sends first on a serial port.
Bytes GreetingFrame();

}  // namespace quillon::testing
