// The frames a host sends, written once for every link. A link derives from HostFrames<Link> and
// provides `int SendBytes(const char* data, int count)`; the links then differ only in how bytes
// leave. The codec state (keys, send buffer) comes with the base.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "protocol/DeviceRecord.h"
#include "protocol/FrameCodec.h"

namespace quillon {

// Command bytes of the host's command frames.
namespace command {
inline constexpr std::uint8_t kProbe = 0;           // (0, 0, 0): probe, and abandon what is pending
inline constexpr std::uint8_t kWrite = 1;           // (1, kind, item): the host is about to send
inline constexpr std::uint8_t kRead = 2;            // (2, kind, item): the host asks for something
inline constexpr std::uint8_t kSettings = 0;        // item: the settings archive
inline constexpr std::uint8_t kVersion = 2;         // item: a file version
inline constexpr std::uint8_t kRecordRead = 0x52;   // 'R': record read request
inline constexpr std::uint8_t kRecordWrite = 0x57;  // 'W': device record
}  // namespace command

// Value-frame selector: what the 32-bit value is.
namespace value {
inline constexpr std::uint8_t kArchiveSize = 1;
inline constexpr std::uint8_t kVersion = 2;
}  // namespace value

inline constexpr int kValueDataSize = 12;

template <typename Link>
class HostFrames : public FrameCodec {
public:
    // Command frame (a, b, c); see the command namespace.
    void SendCommand(std::uint8_t a, std::uint8_t b, std::uint8_t c)
    {
        const std::uint8_t body[] = {a, b, c, 0};
        SendTyped(FrameType::Command, body, sizeof body);
    }

    // Value frame: two selector bytes and up to 12 data bytes, the rest zero.
    void SendValue(std::uint8_t a, std::uint8_t b, const std::uint8_t* data, int count)
    {
        std::uint8_t body[2 + kValueDataSize] = {a, b};
        count = std::clamp(count, 0, kValueDataSize);
        if (count > 0)
            std::memcpy(body + 2, data, count);
        SendTyped(FrameType::Value, body, sizeof body);
    }

    // Block frame: a 16-bit index and up to 4096 data bytes, the rest zero.
    void SendBlock(const std::uint8_t* data, int count, std::uint16_t index)
    {
        std::uint8_t frame[kMaxFrameSize];
        const int length = BeginFrame(frame, TypeByte(FrameType::Block));
        WriteLe16(frame + 2, index);
        count = std::clamp(count, 0, kBlockDataSize);
        if (count > 0)
            std::memcpy(frame + 4, data, count);
        Seal(frame, length);
        Send(frame, length);
    }

    // Acknowledgement with code 0: accepted, and "go on" during a download.
    void SendAck()
    {
        const std::uint8_t body[] = {0, 0, 0, 0};
        SendTyped(FrameType::Ack, body, sizeof body);
    }

    // Asks the device for its record. The device needs half a second after whatever came before.
    void RequestDeviceRecord()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::uint8_t parameters[] = {0xA0, 0xAA, 0xAA};
        BuildFrameAndSend(TypeByte(FrameType::RecordRequest), command::kRecordRead, parameters,
                          sizeof parameters,
                          [this](const std::uint8_t* bytes, int count) { Send(bytes, count); });
    }

    // Writes the device record: the 12 name bytes as they are, with the current UTC date and time.
    void SendDeviceRecord(const char* name)
    {
        const DeviceRecord record = MakeDeviceRecord(name, std::chrono::system_clock::now());
        BuildFrameAndSend(TypeByte(FrameType::Record), command::kRecordWrite, record.data(),
                          kDeviceRecordSize,
                          [this](const std::uint8_t* bytes, int count) { Send(bytes, count); });
    }

    using FrameCodec::CheckFrame;

    bool IsFrameComplete(std::string& buffer) { return quillon::IsFrameComplete(buffer); }

protected:
    HostFrames() = default;
    ~HostFrames() = default;

    void Send(const std::uint8_t* bytes, int count)
    {
        static_cast<Link*>(this)->SendBytes(reinterpret_cast<const char*>(bytes), count);
    }

private:
    // Commands, values and acknowledgements; blocks have their own path.
    void SendTyped(FrameType type, const std::uint8_t* body, int count)
    {
        std::uint8_t frame[32];
        const int length = BeginFrame(frame, TypeByte(type));
        std::memcpy(frame + 2, body, std::min(count, length - 6));
        Seal(frame, length);
        Send(frame, length);
    }
};

}  // namespace quillon
