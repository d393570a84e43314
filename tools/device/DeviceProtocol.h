// The device's side of the protocol, without any I/O: it takes the host's frames one at a time and
// says which frames go back, committing the faults it was asked for on the way. It learns the link
// key from key frames, checks every other frame's checksum, keeps what the host stores in the state
// folder, and serves downloads from there.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
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

    // What goes back for one frame. The frame lies in the protocol's own buffer, good until the
    // next call of Handle, Greeting or LinkDown: nothing is allocated or copied per frame.
    struct Reply {
        std::span<const std::uint8_t> frame;  // ready for the wire
        int sends = 0;                        // how often it goes out: 0, 1, or 2 when a fault repeats it
        bool dropLink = false;                // after that: a fault asks for the link to go down
    };

    // One whole frame from the host (the length its type byte gives), taken where it was received:
    // its body is unscrambled in place.
    Reply Handle(std::span<std::uint8_t> frame);

    // Does what the last reply went out ahead of: writes an upload block that was acknowledged
    // before it was stored, so that the host sends the next block while the device writes; reads
    // a download's next block, so that the host's acknowledgement finds it ready; and frees the
    // archive that a stored upload replaced. Called once the reply's frames are sent; Handle calls
    // it first in any case, so that nothing is ever done out of order.
    void Settle();

    // The frame a serial device sends until it has been keyed; good until the next call, as a reply's.
    std::span<const std::uint8_t> Greeting();
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
        // The data of the block acknowledged but not yet written (empty when there is none; only
        // the last block can be short, and it is written at once), and its index. The buffer is
        // kept from block to block.
        Bytes unwritten;
        std::uint32_t unwrittenIndex = 0;
        // Why the upload can no longer be stored, once a write has failed; its next block is refused.
        std::string spoilt;
    };
    struct VersionWrite {
        std::uint8_t kind = 0;
    };
    struct Download {
        Download(std::uint8_t kind, FileReader source, std::uint32_t blocks)
            : kind(kind), source(std::move(source)), blocks(blocks)
        {}

        std::uint8_t kind = 0;
        FileReader source;         // read a block at a time as the blocks go
        std::uint32_t blocks = 0;  // one empty block for an empty archive
        std::uint32_t sent = 0;
        // The data of block `sent`, read while the host had the block before (valid when `ahead`),
        // and whether the file gave it. The buffer is kept from block to block.
        Bytes next;
        bool ahead = false;
        bool readable = true;
    };
    using Pending = std::variant<std::monostate, Upload, VersionWrite, Download>;

    Reply OnKeyFrame(std::span<const std::uint8_t> frame);
    Reply OnCommand(std::uint8_t a, std::uint8_t b, std::uint8_t c);
    Reply OnValue(std::uint8_t a, std::uint8_t b, std::uint32_t value);
    Reply OnBlock(std::uint16_t index, std::span<const std::uint8_t> frame);
    Reply OnAck(std::uint8_t code);
    Reply OnRecordRead();
    Reply OnRecordWrite(std::span<const std::uint8_t> frame);

    Reply StartDownload(std::uint8_t kind);
    Reply NextDownloadBlock(Download& download);
    void ReadAhead(Download& download);

    // Says why the pending operation ends unfinished, if there is one, and forgets it.
    void Abandon(const std::string& why);
    // A refusal: acknowledgement code 1, and nothing pending any more.
    Reply Refuse(const std::string& what);
    // A frame of type with body, made in out_.
    std::span<const std::uint8_t> Frame(FrameType type, std::span<const std::uint8_t> body);
    // The sealed frame of length bytes in out_ as it goes on the wire.
    std::span<const std::uint8_t> OnWire(int length);
    std::span<const std::uint8_t> Ack(std::uint8_t code);
    // The verbose line for a frame sent; describe() makes it, only when it is shown.
    template <typename Describe>
    void Sent(Describe&& describe);
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
    DisplacedFile replaced_;  // the archive the last stored upload replaced, until Settle frees it
    std::array<std::uint8_t, kMaxFrameSize> out_{};  // where every frame sent is made
};

}  // namespace quillon::sim
