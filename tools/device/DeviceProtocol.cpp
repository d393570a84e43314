#include "DeviceProtocol.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "protocol/DeviceRecord.h"
#include "protocol/HostFrames.h"

namespace quillon::sim {

namespace {

// A serial host fills whatever it reads to this length and takes it only when it ends in '#'.
constexpr std::size_t kSerialFrameMinimum = 72;
// Where a block frame's data starts: after '*', the type byte and the two-byte index.
constexpr std::size_t kBlockDataAt = 4;

// A value frame's body: the two selector bytes and the number.
std::array<std::uint8_t, 6> ValueBody(std::uint8_t a, std::uint8_t b, std::uint32_t number)
{
    std::array<std::uint8_t, 6> body = {a, b};
    WriteLe32(body.data() + 2, number);
    return body;
}

// One frame, sent once.
DeviceProtocol::Reply Once(std::span<const std::uint8_t> frame) { return {frame, 1}; }

std::string Kind(std::uint8_t kind) { return "kind " + std::to_string(kind); }

std::string Triple(unsigned a, unsigned b, unsigned c)
{
    return "(" + std::to_string(a) + ", " + std::to_string(b) + ", " + std::to_string(c) + ")";
}

// The device record's date and time, at their places in a record frame (the record starts at
// frame offset 3, after the command byte).
std::optional<std::chrono::sys_seconds> RecordMoment(std::span<const std::uint8_t> frame)
{
    using namespace std::chrono;
    constexpr int kDateTime = 3 + 31;
    const auto field = [&](int i) { return unsigned{ReadLe16(frame.data() + kDateTime + 2 * i)}; };
    const year_month_day date{year{static_cast<int>(field(0))}, month{field(1)}, day{field(2)}};
    if (!date.ok() || field(3) > 23 || field(4) > 59 || field(5) > 59)
        return std::nullopt;
    return sys_days{date} + hours{field(3)} + minutes{field(4)} + seconds{field(5)};
}

// A short description of a frame from the host, for the verbose log: "command (1, 0, 0)".
std::string DescribeHostFrame(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 2)
        return "a fragment";
    switch (frame[1]) {
    case TypeByte(FrameType::Key):
        return "key frame";
    case TypeByte(FrameType::RecordRequest):
        return "record read request";
    case TypeByte(FrameType::Record):
        return "device record";
    case TypeByte(FrameType::Command):
        return "command " + Triple(frame[2], frame[3], frame[4]);
    case TypeByte(FrameType::Value):
        return "value (" + std::to_string(frame[2]) + ", " + std::to_string(frame[3]) + ", " +
               std::to_string(static_cast<std::int32_t>(ReadLe32(frame.data() + 4))) + ")";
    case TypeByte(FrameType::Block):
        return "block " + std::to_string(ReadLe16(frame.data() + 2));
    case TypeByte(FrameType::Ack):
        return "acknowledgement " + std::to_string(frame[2]);
    default:
        return "frame of type " + std::to_string(frame[1]);
    }
}

}  // namespace

DeviceProtocol::DeviceProtocol(const SimulatorOptions& options, StateFolder& state, Monitor& monitor,
                               bool serialLink)
    : options_(options), state_(state), monitor_(monitor), serialLink_(serialLink)
{}

DeviceProtocol::~DeviceProtocol() = default;

template <typename Describe>
void DeviceProtocol::Sent(Describe&& describe)
{
    monitor_.Detail([&] { return "-> " + std::string(describe()); });
}

std::span<const std::uint8_t> DeviceProtocol::Frame(FrameType type, std::span<const std::uint8_t> body)
{
    return OnWire(AssembleFrame(out_, TypeByte(type), body, key_));
}

std::span<const std::uint8_t> DeviceProtocol::OnWire(int length)
{
    auto size = static_cast<std::size_t>(length);
    if (serialLink_ && size < kSerialFrameMinimum) {
        // The padding ends like a frame: the key tag where the host looks for it in whatever it
        // read, so it never counts the padded frame as sent under a stale key, and '#' last.
        std::fill(out_.begin() + length, out_.begin() + kSerialFrameMinimum, 0x00);
        size = kSerialFrameMinimum;
        out_[size - 4] = key_[4];
        out_[size - 3] = key_[5];
        out_[size - 1] = kFrameEnd;
    }
    return {out_.data(), size};
}

std::span<const std::uint8_t> DeviceProtocol::Ack(std::uint8_t code)
{
    Sent([code] { return "acknowledgement " + std::to_string(code); });
    return Frame(FrameType::Ack, std::array<std::uint8_t, 4>{code});
}

void DeviceProtocol::Fault(const std::string& what)
{
    monitor_.Update([](Stats& s) { ++s.faultsCommitted; });
    monitor_.Event("fault: " + what);
}

std::span<const std::uint8_t> DeviceProtocol::Greeting()
{
    monitor_.Update([](Stats& s) { ++s.greetings; });
    Sent([] { return "greeting"; });
    return Frame(FrameType::Hello, {});
}

DeviceProtocol::Reply DeviceProtocol::Handle(std::span<std::uint8_t> frame)
{
    Settle();
    if (frame.size() < 2 || static_cast<int>(frame.size()) != FrameLength(frame[1]))
        return {};
    const std::uint8_t type = frame[1];
    if (type == TypeByte(FrameType::Key))
        return OnKeyFrame(frame);
    lastKeyFrame_.clear();

    if (!CheckFrame(frame.data(), static_cast<int>(frame.size()), key_)) {
        monitor_.Update([](Stats& s) { ++s.badFrames; });
        monitor_.Detail([type] {
            return "<- frame of type " + std::to_string(type) + " with a wrong checksum, ignored";
        });
        return {};
    }
    monitor_.Update([type](Stats& s) { ++s.framesReceived[type]; });
    monitor_.Detail([frame] { return "<- " + DescribeHostFrame(frame); });
    if (options_.faults.silent)
        return {};

    switch (static_cast<FrameType>(type)) {
    case FrameType::Command:
        return OnCommand(frame[2], frame[3], frame[4]);
    case FrameType::Value:
        return OnValue(frame[2], frame[3], ReadLe32(frame.data() + 4));
    case FrameType::Block:
        return OnBlock(ReadLe16(frame.data() + 2), frame);
    case FrameType::Ack:
        return OnAck(frame[2]);
    case FrameType::RecordRequest:
        if (frame[2] == command::kRecordRead)
            return OnRecordRead();
        break;
    case FrameType::Record:
        if (frame[2] == command::kRecordWrite)
            return OnRecordWrite(frame);
        break;
    default:
        break;
    }
    monitor_.Detail([] { return "   not a frame this device acts on; ignored"; });
    return {};
}

DeviceProtocol::Reply DeviceProtocol::OnKeyFrame(std::span<const std::uint8_t> frame)
{
    if (FrameChecksum(frame.data(), static_cast<int>(frame.size())) != frame[frame.size() - 2]) {
        lastKeyFrame_.clear();
        monitor_.Update([](Stats& s) { ++s.badFrames; });
        monitor_.Detail([] { return "<- key frame with a wrong checksum, ignored"; });
        return {};
    }
    // A serial host announces each key twice in a row; the second frame is the same announcement.
    const bool repeat = std::ranges::equal(lastKeyFrame_, frame);
    lastKeyFrame_.assign(frame.begin(), frame.end());
    key_ = ReadKeyFrame(frame.data());
    keyed_ = true;
    monitor_.Update([&](Stats& s) {
        ++s.framesReceived[TypeByte(FrameType::Key)];
        s.key = key_;
    });
    if (repeat) {
        monitor_.Detail([] { return "<- key frame, repeated"; });
        return {};
    }
    monitor_.Detail([] { return "<- key frame"; });
    if (sessionActive_) {
        monitor_.Update([](Stats& s) { ++s.sessionsEnded; });
        monitor_.Event("session ended: the host sent a new key");
    }
    sessionActive_ = true;
    monitor_.Update([](Stats& s) { ++s.sessions; });
    monitor_.Event("keyed");
    return {};
}

void DeviceProtocol::LinkDown(const std::string& why)
{
    Abandon(why);
    key_ = {};
    keyed_ = false;
    lastKeyFrame_.clear();
    monitor_.Update([](Stats& s) { s.key.reset(); });
    if (sessionActive_) {
        sessionActive_ = false;
        monitor_.Update([](Stats& s) { ++s.sessionsEnded; });
        monitor_.Event("session ended: " + why);
    }
}

void DeviceProtocol::Abandon(const std::string& why)
{
    if (const auto* upload = std::get_if<Upload>(&pending_))
        monitor_.Event("upload " + Kind(upload->kind) + " abandoned after " + std::to_string(upload->next) +
                       " blocks: " + why);
    else if (const auto* download = std::get_if<Download>(&pending_))
        monitor_.Event("download " + Kind(download->kind) + " abandoned after " +
                       std::to_string(download->sent) + " blocks: " + why);
    else if (const auto* version = std::get_if<VersionWrite>(&pending_))
        monitor_.Event("version write " + Kind(version->kind) + " abandoned: " + why);
    pending_ = std::monostate{};  // an unfinished upload's temporary file goes with it
}

DeviceProtocol::Reply DeviceProtocol::Refuse(const std::string& what)
{
    pending_ = std::monostate{};
    monitor_.Update([](Stats& s) { ++s.refusals; });
    monitor_.Event(what);
    return Once(Ack(1));
}

DeviceProtocol::Reply DeviceProtocol::OnCommand(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const Faults& faults = options_.faults;
    if (a == command::kProbe && b == 0 && c == 0) {
        monitor_.Update([](Stats& s) { ++s.probes; });
        Abandon("the host called it off");
        return Once(Ack(0));
    }
    // A new operation replaces whatever was still pending.
    Abandon("the host started " + Triple(a, b, c));

    if (a == command::kWrite && c == command::kSettings) {
        if (faults.refuses(Operation::Upload))
            return Refuse("upload " + Kind(b) + " refused (fault)");
        Upload upload;
        upload.kind = b;
        pending_ = std::move(upload);
        return Once(Ack(0));
    }
    if (a == command::kWrite && c == command::kVersion) {
        if (faults.refuses(Operation::VersionWrite))
            return Refuse("version write " + Kind(b) + " refused (fault)");
        if (b > 2)
            return Refuse("version write " + Kind(b) + " refused: kinds 0, 1 and 2 have versions");
        pending_ = VersionWrite{b};
        return Once(Ack(0));
    }
    if (a == command::kRead && c == command::kSettings) {
        if (faults.refuses(Operation::Download))
            return Refuse("download " + Kind(b) + " refused (fault)");
        return StartDownload(b);
    }
    if (a == command::kRead && c == command::kVersion) {
        if (faults.refuses(Operation::VersionRead))
            return Refuse("version read " + Kind(b) + " refused (fault)");
        const std::int32_t version = state_.Version(b);
        monitor_.Update([](Stats& s) { ++s.versionsRead; });
        monitor_.Event("version " + Kind(b) + " read: " + std::to_string(version));
        const auto v = static_cast<std::uint32_t>(version);
        Sent([&] { return "value " + Triple(b, value::kVersion, v); });
        return Once(Frame(FrameType::Value, ValueBody(b, value::kVersion, v)));
    }
    return Refuse("command " + Triple(a, b, c) + " refused: unknown");
}

DeviceProtocol::Reply DeviceProtocol::StartDownload(std::uint8_t kind)
{
    const auto source = state_.DownloadSource(kind, options_.archive);
    if (!source)
        return Refuse("download " + Kind(kind) + " refused: nothing uploaded and no archive to serve");
    std::string error;
    auto file = FileReader::Open(*source, kMaxDownloadBytes, error);
    if (!file)
        return Refuse("download " + Kind(kind) + " refused: " + error);
    const auto size = static_cast<std::uint32_t>(file->size());
    Download download(kind, std::move(*file),
                      std::max<std::uint32_t>(1, (size + kBlockDataSize - 1) / kBlockDataSize));
    monitor_.Event("download " + Kind(kind) + ": serving " + std::to_string(size) + " bytes from " +
                   source->string());

    const auto describe = [&] { return "value " + Triple(kind, value::kArchiveSize, size); };
    Sent(describe);
    Reply reply = Once(Frame(FrameType::Value, ValueBody(kind, value::kArchiveSize, size)));
    if (options_.faults.repeatSize) {
        Fault("download " + Kind(kind) + ": size frame sent twice");
        Sent([&] { return describe() + " again"; });
        reply.sends = 2;
    }
    pending_ = std::move(download);
    if (options_.faults.disconnectAfter == 0) {
        Fault("download " + Kind(kind) + ": link dropped after the size");
        reply.dropLink = true;
    }
    return reply;
}

void DeviceProtocol::ReadAhead(Download& download)
{
    if (download.ahead || download.sent >= download.blocks)
        return;
    const std::uint64_t start = static_cast<std::uint64_t>(download.sent) * kBlockDataSize;
    const std::uint64_t size = download.source.size();
    download.next.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockDataSize, size - std::min(start, size))));
    download.readable = download.source.ReadNext(download.next.data(), download.next.size());
    download.ahead = true;
}

DeviceProtocol::Reply DeviceProtocol::NextDownloadBlock(Download& download)
{
    const Faults& faults = options_.faults;
    const std::uint32_t index = download.sent;
    ReadAhead(download);
    download.ahead = false;
    if (!download.readable) {
        // The file changed under the download: the host gets no more blocks, as from a device
        // that failed, and gives up on its own.
        Abandon(download.source.path().string() + " cannot be read any more");
        return {};
    }
    const std::size_t count = download.next.size();
    const int length = BeginFrame(out_, TypeByte(FrameType::Block));
    std::copy(download.next.begin(), download.next.end(), out_.begin() + kBlockDataAt);
    auto wireIndex = static_cast<std::uint16_t>(index);
    if (faults.wrongIndexBlock && static_cast<std::uint32_t>(*faults.wrongIndexBlock) == index) {
        wireIndex = static_cast<std::uint16_t>(index + 1);
        Fault("download " + Kind(download.kind) + ": block " + std::to_string(index) + " sent as block " +
              std::to_string(wireIndex));
    }
    WriteLe16(out_.data() + 2, wireIndex);
    Sent([&] { return "block " + std::to_string(wireIndex) + " (" + std::to_string(count) + " bytes)"; });
    SealFrame(out_.data(), length, key_);
    if (faults.corruptBlock && static_cast<std::uint32_t>(*faults.corruptBlock) == index) {
        out_[length - 2] ^= 0xFF;
        Fault("download " + Kind(download.kind) + ": block " + std::to_string(index) +
              " sent with a wrong checksum");
    }
    ++download.sent;
    monitor_.Update([](Stats& s) { ++s.blocksSent; });

    Reply reply = Once(OnWire(length));
    if (faults.disconnectAfter && static_cast<std::uint32_t>(*faults.disconnectAfter) == download.sent) {
        Fault("download " + Kind(download.kind) + ": link dropped after " + std::to_string(download.sent) +
              " blocks");
        reply.dropLink = true;
    }
    return reply;
}

DeviceProtocol::Reply DeviceProtocol::OnAck(std::uint8_t code)
{
    auto* download = std::get_if<Download>(&pending_);
    if (!download) {
        monitor_.Detail([] { return "   nothing waits for an acknowledgement; ignored"; });
        return {};
    }
    if (code != 0) {
        Abandon("the host answered with code " + std::to_string(code));
        return {};
    }
    if (download->sent < download->blocks)
        return NextDownloadBlock(*download);
    monitor_.Update([](Stats& s) { ++s.downloadsServed; });
    monitor_.Event("download " + Kind(download->kind) + ": " + std::to_string(download->source.size()) +
                   " bytes served");
    pending_ = std::monostate{};
    return {};
}

DeviceProtocol::Reply DeviceProtocol::OnValue(std::uint8_t a, std::uint8_t b, std::uint32_t value)
{
    const Faults& faults = options_.faults;
    if (auto* upload = std::get_if<Upload>(&pending_); upload && !upload->sized && b == value::kArchiveSize) {
        const auto size = static_cast<std::int32_t>(value);
        if (a != upload->kind)
            return Refuse("upload " + Kind(upload->kind) + " refused: the size came for " + Kind(a));
        if (size < 0 || size > kMaxUploadBytes)
            return Refuse("upload " + Kind(a) + " refused: a size of " + std::to_string(size) + " bytes");
        std::string error;
        upload->file = state_.BeginUpload(a, error);
        if (!upload->file)
            return Refuse("upload " + Kind(a) + " refused: " + error);
        upload->sized = true;
        upload->size = static_cast<std::uint64_t>(size);
        upload->remaining = upload->size;
        upload->blocks = static_cast<std::uint32_t>((upload->size + kBlockDataSize - 1) / kBlockDataSize);
        if (faults.disconnectAfter == 0) {
            Fault("upload " + Kind(a) + ": link dropped after the size");
            return {{}, 0, true};
        }
        if (faults.stopAcksAfter == 0) {
            upload->acksStopped = true;
            Fault("upload " + Kind(a) + ": size not acknowledged");
            return {};
        }
        if (size == 0) {
            const std::string error = upload->file->Commit();
            const std::uint8_t kind = upload->kind;
            pending_ = std::monostate{};
            if (!error.empty())
                return Refuse("upload " + Kind(kind) + " refused: " + error);
            monitor_.Update([](Stats& s) { ++s.uploadsStored; });
            monitor_.Event("upload " + Kind(kind) + ": 0 bytes stored");
        }
        return Once(Ack(0));
    }
    if (auto* version = std::get_if<VersionWrite>(&pending_); version && b == value::kVersion) {
        if (a != version->kind)
            return Refuse("version write " + Kind(version->kind) + " refused: the version came for " +
                          Kind(a));
        const auto v = static_cast<std::int32_t>(value);
        const std::string error = state_.SetVersion(a, v);
        if (!error.empty())
            return Refuse("version write " + Kind(a) + " refused: " + error);
        pending_ = std::monostate{};
        monitor_.Update([](Stats& s) { ++s.versionsWritten; });
        monitor_.Event("version " + Kind(a) + ": " + std::to_string(v) + " stored");
        return Once(Ack(0));
    }
    return Refuse("value (" + std::to_string(a) + ", " + std::to_string(b) + ", " +
                  std::to_string(static_cast<std::int32_t>(value)) + ") refused: nothing waits for it");
}

DeviceProtocol::Reply DeviceProtocol::OnBlock(std::uint16_t index, std::span<const std::uint8_t> frame)
{
    const Faults& faults = options_.faults;
    auto* upload = std::get_if<Upload>(&pending_);
    if (!upload || !upload->sized)
        return Refuse("block " + std::to_string(index) + " refused: no upload waits for it");
    const std::uint8_t kind = upload->kind;
    if (!upload->spoilt.empty())
        return Refuse("upload " + Kind(kind) + " refused: " + upload->spoilt);
    if (upload->next >= upload->blocks)
        return Refuse("upload " + Kind(kind) + " refused: block " + std::to_string(index) +
                      " is one too many");
    if (index != upload->next)
        return Refuse("upload " + Kind(kind) + " refused: block " + std::to_string(index) +
                      " came where block " + std::to_string(upload->next) + " was due");

    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockDataSize, upload->remaining));
    // The last block's acknowledgement tells the host the archive is stored: it waits for the
    // write and for the archive to be in place, and a failure refuses it instead. Any other block
    // is written once its acknowledgement is out (Settle), while the host sends the next one; the
    // archive keeps its temporary name until the last block, so a write that fails then leaves
    // nothing that looks complete, and the next block is refused.
    const bool last = upload->next + 1 == upload->blocks;
    if (last && !upload->file->Write(frame.data() + kBlockDataAt, count))
        return Refuse("upload " + Kind(kind) + " refused: the state folder cannot take block " +
                      std::to_string(index));
    upload->remaining -= count;
    ++upload->next;
    monitor_.Update([](Stats& s) { ++s.blocksReceived; });

    Reply reply;
    // The acknowledgement of block i lets the host send block i + 1: the device stops once the
    // host has sent the blocks it was to get.
    const bool acknowledge =
        !faults.stopAcksAfter || upload->next < static_cast<std::uint32_t>(*faults.stopAcksAfter);
    if (!acknowledge && !upload->acksStopped) {
        upload->acksStopped = true;
        Fault("upload " + Kind(kind) + ": no acknowledgements from block " + std::to_string(index) + " on");
    }
    const std::uint32_t received = upload->next;
    if (last) {
        const std::string error = upload->file->Commit();
        replaced_ = upload->file->TakeDisplaced();
        const std::uint64_t size = upload->size;
        pending_ = std::monostate{};
        if (!error.empty())
            return Refuse("upload " + Kind(kind) + " refused: " + error);
        monitor_.Update([](Stats& s) { ++s.uploadsStored; });
        monitor_.Event("upload " + Kind(kind) + ": " + std::to_string(size) + " bytes stored");
    } else {
        // The frame lies where it was received, which the next read may fill again.
        upload->unwritten.assign(frame.begin() + kBlockDataAt, frame.begin() + kBlockDataAt + count);
        upload->unwrittenIndex = index;
    }
    if (faults.disconnectAfter && static_cast<std::uint32_t>(*faults.disconnectAfter) == received) {
        Fault("upload " + Kind(kind) + ": link dropped after " + std::to_string(received) + " blocks");
        reply.dropLink = true;
        return reply;
    }
    if (acknowledge)
        reply = Once(Ack(0));
    return reply;
}

void DeviceProtocol::Settle()
{
    replaced_.Release();
    if (auto* download = std::get_if<Download>(&pending_))
        ReadAhead(*download);
    auto* upload = std::get_if<Upload>(&pending_);
    if (!upload || upload->unwritten.empty())
        return;
    const bool written = upload->file->Write(upload->unwritten.data(), upload->unwritten.size());
    upload->unwritten.clear();
    if (!written)
        upload->spoilt = "the state folder could not take block " + std::to_string(upload->unwrittenIndex);
}

std::string DeviceProtocol::DeviceName(std::optional<std::chrono::sys_seconds>* written)
{
    std::string problem;
    if (const auto record = state_.Record(&problem)) {
        *written = record->written;
        return record->name;
    }
    if (!problem.empty())
        monitor_.Event("the stored device record is not used: " + problem);
    written->reset();
    return options_.name;
}

DeviceProtocol::Reply DeviceProtocol::OnRecordRead()
{
    std::optional<std::chrono::sys_seconds> written;
    const std::string name = DeviceName(&written);
    const auto when =
        written ? std::chrono::system_clock::time_point(*written) : std::chrono::system_clock::now();
    const DeviceRecord record = MakeDeviceRecord(name.data(), when);
    Bytes body{command::kRecordRead};
    body.insert(body.end(), record.begin(), record.end());
    monitor_.Update([](Stats& s) { ++s.recordsRead; });
    monitor_.Event("record read: " + EscapeName(name));
    Sent([] { return "device record"; });
    return Once(Frame(FrameType::Record, body));
}

DeviceProtocol::Reply DeviceProtocol::OnRecordWrite(std::span<const std::uint8_t> frame)
{
    // The record starts after the command byte; the name follows its first byte.
    constexpr std::size_t kNameAt = 4;
    StoredRecord record;
    record.name.assign(frame.begin() + kNameAt, frame.begin() + kNameAt + kDeviceNameSize);
    record.written = RecordMoment(frame);
    const std::string error = state_.SetRecord(record);
    if (!error.empty()) {
        monitor_.Event("record not stored: " + error);
        return {};
    }
    monitor_.Update([](Stats& s) { ++s.recordsWritten; });
    monitor_.Event("record written: " + EscapeName(record.name) + ", " +
                   (record.written ? FormatUtc(*record.written) : std::string("no valid date")));
    return {};
}

}  // namespace quillon::sim
