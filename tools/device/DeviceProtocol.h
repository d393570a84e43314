// The device's side of the protocol, without any I/O: it takes the host's frames one at a time and
// says which frames go back, committing the faults it was asked for on the way. It learns the link
// key from key frames, checks every other frame's checksum, keeps what the host stores in the state
// folder, and serves downloads from there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "HostFrameReader.h"
#include "Monitor.h"
#include "SimulatorOptions.h"
#include "StateFolder.h"
#include "protocol/FrameCodec.h"

namespace quillon::sim {

class DeviceProtocol {
public:
    // serialLink: frames shorter than 72 bytes go out padded to 72, as a serial host needs them.
    DeviceProtocol(const SimulatorOptions& options, StateFolder& state, Monitor& monitor, bool serialLink);
    ~DeviceProtocol();

    DeviceProtocol(const DeviceProtocol&) = delete;
    DeviceProtocol& operator=(const DeviceProtocol&) = delete;

    struct Reply {
        std::vector<Bytes> frames;  // ready for the wire, in order
        bool dropLink = false;      // after the frames: a fault asks for the link to go down
    };

    // One whole frame from the host (the length its type byte gives).
    Reply Handle(Bytes frame);

    // Does what the last reply went out ahead of: writes an upload block that was acknowledged
    // before it was stored, so that the host sends the next block while the device writes. Called
    // once the reply's frames are sent; Handle calls it first in any case, so that nothing is ever
    // written out of order.
    void Settle();

    // The frame a serial device sends until it has been keyed.
    Bytes Greeting();
    bool keyed() const { return keyed_; }

    // The link went down (or the device restarts): whatever was pending is abandoned, the key is
    // forgotten, and a keyed session ends.
    void LinkDown(const std::string& why);

private:
    struct Upload {
        std::uint8_t kind = 0;
        bool sized = false;
        std::uint32_t blocks = 0;
        std::uint32_t next = 0;  // the index the next block must carry
        std::uint64_t remaining = 0;
        std::uint64_t size = 0;
        bool acksStopped = false;
        std::unique_ptr<StateFolder::Upload> file;
        // The block acknowledged but not yet written: its frame, and how many of its data bytes
        // belong to the archive.
        Bytes unwritten;
        std::size_t unwrittenCount = 0;
        std::uint32_t unwrittenIndex = 0;
        // Why the upload can no longer be stored, once a write has failed; its next block is refused.
        std::string spoilt;
    };
    struct VersionWrite {
        std::uint8_t kind = 0;
    };
    struct Download {
        std::uint8_t kind = 0;
        FileReader source;         // read a block at a time as the blocks go
        std::uint32_t blocks = 0;  // one empty block for an empty archive
        std::uint32_t sent = 0;
    };
    using Pending = std::variant<std::monostate, Upload, VersionWrite, Download>;

    Reply OnKeyFrame(const Bytes& frame);
    Reply OnCommand(std::uint8_t a, std::uint8_t b, std::uint8_t c);
    Reply OnValue(std::uint8_t a, std::uint8_t b, std::uint32_t value);
    Reply OnBlock(std::uint16_t index, Bytes frame);
    Reply OnAck(std::uint8_t code);
    Reply OnRecordRead();
    Reply OnRecordWrite(const Bytes& frame);

    Reply StartDownload(std::uint8_t kind);
    Reply NextDownloadBlock(Download& download);

    // Says why the pending operation ends unfinished, if there is one, and forgets it.
    void Abandon(const std::string& why);
    // A refusal: acknowledgement code 1, and nothing pending any more.
    Reply Refuse(const std::string& what);
    Bytes Frame(FrameType type, const Bytes& body);
    Bytes Ack(std::uint8_t code);
    void Sent(const std::string& description);
    void Fault(const std::string& what);
    std::string DeviceName(std::optional<std::chrono::sys_seconds>* written);

    const SimulatorOptions& options_;
    StateFolder& state_;
    Monitor& monitor_;
    const bool serialLink_;

    LinkKey key_{};
    bool keyed_ = false;
    bool sessionActive_ = false;
    Bytes lastKeyFrame_;  // the frame before this one, when it was a key frame
    Pending pending_;
};

// A short description of a frame from the host, for the verbose log: "command (1, 0, 0)".
std::string DescribeHostFrame(const Bytes& frame);

}  // namespace quillon::sim
