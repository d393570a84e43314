// The device protocol's frames: fixed lengths by type, a body scrambled with the 6-byte link key,
// a clear two-byte key tag, an XOR checksum and start and end marks. Pure functions over byte
// buffers, plus the codec state that each link carries; nothing here touches a socket or a port.
//
//   offset 0        1      2 .. L-5          L-4 L-3        L-2        L-1
//          '*'     type    body (scrambled)  key[4] key[5]  checksum   '#'
//
// The key frame (type 0) is the one exception: its six body bytes are the new key under the key
// mask, with no key tag.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "support/base/ByteOrder.h"  // numbers in frames (sizes, versions, indices) go low byte first

namespace quillon {

inline constexpr std::uint8_t kFrameStart = 0x2A;  // '*'
inline constexpr std::uint8_t kFrameEnd = 0x23;    // '#'
inline constexpr int kKeySize = 6;
inline constexpr int kBlockDataSize = 4096;
inline constexpr int kMaxFrameSize = 4104;
inline constexpr int kSendBufferSize = 1000;
// The pause the device needs before each frame the host sends.
inline constexpr std::chrono::milliseconds kFramePause{5};

enum class FrameType : std::uint8_t {
    Key = 0,            // host: announces a new link key
    RecordRequest = 1,  // host: asks for the device record
    Hello = 2,          // device: what a device sends first on a serial port
    Record = 3,         // host: writes the device record; device: its reply to a record request
    Command = 4,        // host: announces or requests an operation
    Value = 5,          // both: a 32-bit value with two selector bytes
    Block = 6,          // both: 4096 bytes of an archive with a 16-bit index
    Ack = 7,            // both: 0 accepted, 1 refused
};

inline constexpr std::uint8_t TypeByte(FrameType type) { return static_cast<std::uint8_t>(type); }

// Whole length of a frame of the given type byte, or 0 for a byte that names no frame type.
constexpr int FrameLength(std::uint8_t type) noexcept
{
    constexpr int kLengths[8] = {10, 10, 18, 72, 10, 20, 4104, 10};
    return type < 8 ? kLengths[type] : 0;
}
constexpr int FrameLength(FrameType type) noexcept { return FrameLength(TypeByte(type)); }
// A block frame is the longest a link ever has to hold whole.
static_assert(FrameLength(FrameType::Block) == kMaxFrameSize && FrameLength(kFrameStart) == 0);

using LinkKey = std::array<std::uint8_t, kKeySize>;

// Hides a new key inside the key frame; the device recovers the key with the same mask.
inline constexpr LinkKey kKeyMask = {0x3C, 0xA5, 0x5A, 0xC3, 0x96, 0x69};

// XORs the body, offsets 2 .. length-5, with the key: the byte at offset j takes key byte
// (j - 2) mod keyLength. Scrambling and unscrambling are the same operation.
void ScrambleBody(std::uint8_t* frame, int length, const LinkKey& key, int keyLength = kKeySize) noexcept;

// XOR of bytes 0 .. length-3, the bytes as they travel (scrambled body and key tag included).
std::uint8_t FrameChecksum(const std::uint8_t* frame, int length) noexcept;

// Zeroes the frame's bytes in out and writes the start and type bytes; the caller then writes the
// clear body from offset 2 on and seals the frame. Returns the frame's length, or 0 when the type is
// unknown or out is too small.
int BeginFrame(std::span<std::uint8_t> out, std::uint8_t type) noexcept;

// Writes the key tag, scrambles the body, and writes the checksum and the end byte.
void SealFrame(std::uint8_t* frame, int length, const LinkKey& key, int keyLength = kKeySize) noexcept;

// A whole typed frame in one call: body bytes from body (at most the type's body length; the rest
// of the body is zero). Returns the frame's length, or 0 as BeginFrame does.
int AssembleFrame(std::span<std::uint8_t> out, std::uint8_t type, std::span<const std::uint8_t> body,
                  const LinkKey& key, int keyLength = kKeySize) noexcept;

// The receive check. n is the length the frame's type has, not the number of bytes received; the
// caller guarantees n readable bytes. When the checksum over bytes 0 .. n-3 matches byte n-2 the
// body is unscrambled in place and the result is true; otherwise the frame is left as it was.
// The start, end and key-tag bytes are not looked at.
bool CheckFrame(std::uint8_t* frame, int n, const LinkKey& key, int keyLength = kKeySize) noexcept;

// The link's completeness test for one received chunk. Complete when the chunk starts with '*' and
// has '#' where its type's frame ends (block frames also need all 4104 bytes). A leading 18-byte
// type-2 frame is dropped from the chunk; the rest then counts as complete only when it is exactly
// one block frame. Positions beyond the chunk count as mismatches.
bool IsFrameComplete(std::string& buffer);

// The key that the key frame announces, made from the calendar time in whole seconds.
LinkKey DeriveKey(std::int64_t seconds) noexcept;

// The 10-byte key frame announcing key.
void AssembleKeyFrame(std::uint8_t* out, const LinkKey& key, const LinkKey& mask = kKeyMask) noexcept;

// The device's side of the key frame: the key that a received key frame announces.
LinkKey ReadKeyFrame(const std::uint8_t* frame, const LinkKey& mask = kKeyMask) noexcept;

// The codec state that each link carries: start and end marks, the key in force and the one before
// it, the key mask, and the send buffer in which record frames and key frames are assembled.
// Thread-safe: the keys are read by every host thread that builds a frame while a link thread may
// replace them, and the send buffer is held from building until the frame has left.
class FrameCodec {
public:
    FrameCodec();
    FrameCodec(const FrameCodec&) = delete;
    FrameCodec& operator=(const FrameCodec&) = delete;

    LinkKey currentKey() const;
    LinkKey previousKey() const;
    int keyLength() const noexcept { return KeyLength; }
    const LinkKey& keyMask() const noexcept { return KeyMask; }

    // Moves the current key to the previous one and puts key in force. The device's side calls it
    // with the key a key frame announced; the host's side through the key frame below.
    void InstallKey(const LinkKey& key);

    // Seals a frame laid out with BeginFrame, with one consistent copy of the current key.
    void Seal(std::uint8_t* frame, int length) const;

    // The receive check with the current key.
    bool CheckFrame(std::uint8_t* frame, int n) const;

    // Lays out one tagged frame of type with the command byte and payload into the send buffer
    // (after the 5 ms pause the device needs between frames) and hands the bytes to send while the
    // buffer is still held. payload is cut to what the body holds after the command byte.
    template <typename Send>
    void BuildFrameAndSend(std::uint8_t type, std::uint8_t command, const std::uint8_t* payload, int count,
                           Send&& send)
    {
        std::lock_guard lock(sendBufferMutex_);
        BuildFrame(type, command, payload, count);
        if (SendLength > 0)
            send(SendBuffer, static_cast<int>(SendLength));
    }

    // Makes a new key from the clock, puts it in force before the device has heard of it, lays out
    // the key frame in the send buffer and hands its 10 bytes to send. A caller that has already
    // let kFramePause pass (on a timer, so as not to hold up a thread that serves others) skips it.
    enum class Pause { Wait, AlreadyWaited };
    template <typename Send>
    void NewKeyAndSend(Send&& send, Pause pause = Pause::Wait)
    {
        std::lock_guard lock(sendBufferMutex_);
        PrepareKeyFrame(pause);
        send(SendBuffer, static_cast<int>(SendLength));
    }

private:
    void BuildFrame(std::uint8_t type, std::uint8_t command, const std::uint8_t* payload, int count);
    void PrepareKeyFrame(Pause pause);

    std::uint8_t FrameMarks[2];
    LinkKey CurrentKey;
    LinkKey PreviousKey;
    LinkKey KeyMask;
    std::int32_t KeyLength;
    std::uint8_t SendBuffer[kSendBufferSize];
    std::int32_t SendLength;

    mutable std::mutex keyMutex_;  // guards CurrentKey and PreviousKey
    std::mutex sendBufferMutex_;   // guards SendBuffer and SendLength
};

}  // namespace quillon
