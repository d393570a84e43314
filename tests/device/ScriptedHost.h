// A host played by a test, for the simulator to connect to: it listens on a free loopback port,
// sends frames built by the library's own frame code, and reads what the device answers, frame by
// frame, unscrambled with the key it announced. It lets a test say exactly what the host does,
// including what a well-behaved host never would. The wire is the one the tests' device side uses.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/DevicePeer.h"
#include "protocol/HostFrames.h"

namespace quillon::testing {

using namespace std::chrono_literals;

class ScriptedHost : public HostFrames<ScriptedHost> {
public:
    using Bytes = std::vector<std::uint8_t>;

    int port() const { return listener_.port(); }

    // Takes the device's next connection; false when none comes in time.
    bool Accept(std::chrono::milliseconds timeout = 10s)
    {
        Close();
        if (auto channel = listener_.Accept(timeout))
            wire_.emplace(std::move(channel));
        return wire_.has_value();
    }

    // Announces key, as a host does when the link comes up; frames go under it from now on.
    void SendKeyFrame(const LinkKey& key)
    {
        std::uint8_t frame[10];
        AssembleKeyFrame(frame, key);
        SendBytes(reinterpret_cast<const char*>(frame), sizeof frame);
        InstallKey(key);
    }

    // A typed frame with the given clear body, under the key in force.
    void SendFrame(FrameType type, const Bytes& body)
    {
        wire_->SetKey(currentKey());
        wire_->Send(type, body);
    }
    // A value frame carrying a 32-bit number: an archive's size or a version.
    void SendNumber(std::uint8_t kind, std::uint8_t item, std::int32_t number)
    {
        std::uint8_t bytes[4];
        WriteLe32(bytes, static_cast<std::uint32_t>(number));
        SendValue(kind, item, bytes, 4);
    }
    void SendSize(std::uint8_t kind, std::int32_t size) { SendNumber(kind, value::kArchiveSize, size); }

    int SendBytes(const char* data, int count)
    {
        const auto bytes = reinterpret_cast<const std::uint8_t*>(data);
        return wire_->channel().Write(bytes, static_cast<std::size_t>(count)) ? count : -1;
    }

    // The device's next frame; nullopt when none comes in time or the connection is gone.
    std::optional<CheckedFrame> ReadFrame(std::chrono::milliseconds timeout = 5s)
    {
        wire_->SetKey(currentKey());
        return wire_->ReadFrame(timeout);
    }

    // The next frame, which must be an acknowledgement; its code, or -1.
    int ReadAck(std::chrono::milliseconds timeout = 5s)
    {
        const auto frame = ReadFrame(timeout);
        if (!frame || !frame->checked() || frame->type() != TypeByte(FrameType::Ack))
            return -1;
        return frame->at(2);
    }

    void Close()
    {
        if (wire_)
            wire_->Close();
        wire_.reset();
    }

private:
    TcpListener listener_;
    std::optional<DevicePeer> wire_;  // the device's connection, read as the device reads the host's
};

}  // namespace quillon::testing
