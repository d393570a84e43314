// The receive dispatcher: what the library does with each frame the device sends. It runs on the
// thread of the link that delivered the frame, answers on the link the registry chose, and carries
// out the receiving half of a download.

#include <cstring>

#include "protocol/DeviceLink.h"
#include "protocol/FrameCodec.h"
#include "support/base/Diagnostics.h"
#include "transfer/DownloadArchive.h"
#include "transfer/PendingOp.h"
#include "transfer/Quillon.h"
#include "transport/HardwareServer_SET.h"
#include "transport/SerialPort_SET.h"

using quillon::diag::Printf;

namespace {

constexpr int kMaxDelivery = 5000;  // no link delivers more in one piece

// Directory-name replies append to what came before, and anyone who can reach the link can send
// them at any time: the name keeps no more than the directory check could ever read of it.
constexpr std::size_t kMaxDirectoryName = 64;

constexpr std::uint8_t kAccepted = 0;
constexpr std::uint8_t kRefused = 1;

}  // namespace

int CQuillon::ParseMsg(unsigned char* frame, int length)
{
    // The answer goes out on the link the registry chose, whichever link brought the frame.
    switch (CSysconfig_SET::get()->GetSeriOrTcp()) {
    case quillon::kSerialLink:
        return Dispatch(*SerialLink, frame, length);
    case quillon::kTcpLink:
        return Dispatch(*TcpLink, frame, length);
    default:
        return -1;
    }
}

void CQuillon::GiveUp()
{
    // The unfinished archive goes before the state says the download is over, so a host that sees
    // it over finds no trace of it; both come before the abort command goes out, so a device that
    // answers it at once meets them already changed.
    auto& pending = CSysconfig_SET::get()->PendingOp;
    if (pending.load() == quillon::pending::kDownload)
        Download->Abandon();
    pending.exchange(quillon::pending::kNone);
}

template <typename Link>
int CQuillon::Dispatch(Link& link, unsigned char* frame, int length)
{
    if (!frame || length < 2 || length > kMaxDelivery || frame[0] != quillon::kFrameStart ||
        frame[length - 1] != quillon::kFrameEnd)
        return -1;

    auto& registry = *CSysconfig_SET::get();
    const auto abort = [&] {
        GiveUp();
        link.SendCommand(0, 0, 0);
        return -1;
    };
    // A delivery shorter than its type's frame fails that type's check: nothing past the delivered
    // bytes is ever read.
    const std::uint8_t type = frame[1];
    const auto checked = [&] {
        const int frameLength = quillon::FrameLength(type);
        return length >= frameLength && link.CheckFrame(frame, frameLength);
    };

    switch (static_cast<quillon::FrameType>(type)) {
    case quillon::FrameType::Ack: {
        if (!checked())
            return abort();
        const std::int32_t op = registry.PendingOp.load();
        if (frame[2] == kAccepted) {
            // The next block goes before the flag wakes the host: an acknowledgement that the host
            // thread waits for (the command's, the size's) comes before the upload's blocks are
            // handed out, and must not also send one of them once the host has started them.
            if (op == quillon::pending::kUpload)
                SendNextUploadBlock(link);
            if (op == quillon::pending::kUpload || op == quillon::pending::kVersionWrite) {
                link.WriteAck.exchange(true);
                link.NotifyReply();
            }
            registry.DeviceReplied.exchange(true);
        } else if (frame[2] == kRefused) {
            if (op == quillon::pending::kUpload || op == quillon::pending::kVersionWrite)
                link.WriteAck.exchange(false);
            if (op == quillon::pending::kVersionWrite)
                link.ReadOk.exchange(false);
            link.NotifyReply();
            GiveUp();
            link.SendCommand(0, 0, 0);
        }
        return 0;
    }

    case quillon::FrameType::Value: {
        if (!checked())
            return abort();
        const std::uint32_t value = quillon::ReadLe32(frame + 4);
        switch (registry.PendingOp.load()) {
        case quillon::pending::kVersionRead:
            if (VersionItem.load() == quillon::value::kVersion && frame[2] == VersionKind.load() &&
                frame[3] == quillon::value::kVersion)
                VersionValue.exchange(static_cast<std::int32_t>(value));
            break;
        case quillon::pending::kDownload: {
            NoteDownloadActivity();
            ReadTotalSize.exchange(value);
            const std::uint32_t blocks =
                value / quillon::kBlockDataSize + (value % quillon::kBlockDataSize != 0);
            ReadBlockCount.exchange(static_cast<std::int32_t>(blocks));
            // Only the first size reply asks for the first block; a repeated one restarts nothing.
            std::int32_t unstarted = 0;
            if (registry.ReadStarted.compare_exchange_strong(unstarted, 1))
                link.SendAck();
            break;
        }
        default:
            break;
        }
        return 0;
    }

    case quillon::FrameType::Block:
        return DispatchBlock(link, frame, length);

    case quillon::FrameType::Record:
        if (!checked())
            return -1;
        registry.DeviceDirName.append(reinterpret_cast<const char*>(frame + 4), quillon::kDeviceNameSize,
                                      kMaxDirectoryName);
        return 0;

    case quillon::FrameType::Hello:
        return checked() ? 0 : -1;

    default:
        return 0;
    }
}

template <typename Link>
int CQuillon::DispatchBlock(Link& link, unsigned char* frame, int length)
{
    auto& registry = *CSysconfig_SET::get();
    // A cancel waits for the block in hand, and the block after it finds the download over.
    std::lock_guard lock(BlockMutex);
    // Blocks are taken only inside a download whose size the device has given and that has not
    // ended yet: anyone who can reach the link may send one, and a stray block must not disturb
    // whatever else is going on.
    if (registry.PendingOp.load() != quillon::pending::kDownload || registry.ReadStarted.load() == 0 ||
        registry.GetReadfinish())
        return -1;
    if (length < quillon::kMaxFrameSize || !link.CheckFrame(frame, quillon::kMaxFrameSize) ||
        static_cast<std::int16_t>(quillon::ReadLe16(frame + 2)) != ReadBlockIndex.load()) {
        GiveUp();
        link.SendCommand(0, 0, 0);
        return -1;
    }

    NoteDownloadActivity();
    const std::int32_t index = ReadBlockIndex.load();
    const std::uint64_t total = ReadTotalSize.load();
    const std::uint64_t start = static_cast<std::uint64_t>(index) * quillon::kBlockDataSize;
    const bool last = start + quillon::kBlockDataSize >= total;
    // A size that shrank during the download must not make the count run past the frame.
    const std::size_t count = last ? static_cast<std::size_t>(total > start ? total - start : 0)
                                   : static_cast<std::size_t>(quillon::kBlockDataSize);

    // The paths are read once the acknowledgement is out: nothing on the way to it that can wait.
    const auto write = [&] {
        // The first block starts the archive, and with it the writing out of its entries.
        Download->Write(ReadZipPath.load(), index == 0 ? UnzipFolder.load() : std::string(), index, frame + 4,
                        count);
    };
    if (!last) {
        // The device may send the next block while this one goes to the file: this thread takes
        // the next block only once this call has returned, and a block that cannot be written
        // spoils the archive, which the last block then refuses.
        const std::int32_t blocks = ReadBlockCount.load();
        registry.SetReadRate(index + 1, blocks);
        ReadBlockIndex.fetch_add(1);
        link.SendAck();
        write();
        Printf("CurrentIndex--%d  SumIndex--%d\n", index, blocks);
        return 0;
    }
    write();
    const std::string zipPath = ReadZipPath.load();
    // The archive is in place only when every block reached the disk, and an archive that does not
    // unpack whole leaves the folder as it was; either failure ends the download.
    bool unpacked = Download->Finish();
    if (unpacked && total > 0) {
        const std::string folder = UnzipFolder.load();
        Packer->SetUnzipfilespath(folder);  // as an unpacking through the packer leaves it
        unpacked = Download->Unpack(zipPath, folder).ok;
    }
    if (!unpacked) {
        quillon::diag::Log(quillon::diag::Level::Warning, "download not unpacked: %s\n", zipPath.c_str());
        registry.PendingOp.exchange(quillon::pending::kNone);
    }
    // The last percentage is published before the finish flag: a host that polls the flag and
    // then reads the rate must see the download's final figure, never the one before it.
    const std::int32_t blocks = ReadBlockCount.load();
    registry.SetReadRate(index + 1, blocks);
    // The download's outcome is settled before the last acknowledgement goes.
    registry.SetReadfinish(true);
    Printf("CurrentIndex--%d  SumIndex--%d\n", index, blocks);
    ReadBlockIndex.fetch_add(1);
    link.SendAck();
    return 0;
}
