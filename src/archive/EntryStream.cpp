#include "archive/EntryStream.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "archive/EntryName.h"
#include "archive/ZipArchive.h"
#include "support/base/ByteOrder.h"
#include "support/base/Crc32.h"

namespace quillon {

namespace {

// A local header's fixed part: signature, version, flags, method, time, date, checksum, stored
// size, size, name length, extra field length; the name and the extra field follow.
constexpr std::size_t kFixedHeader = 30;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint16_t kEncrypted = 1;
constexpr std::uint16_t kSizesAfterData = 8;
constexpr std::uint32_t kZip64Size = 0xFFFFFFFF;
// Four blocks' worth of writes gathered into one, as the download's archive has them: small enough
// that both writes are over before the next block comes.
constexpr std::size_t kFileBuffer = 16 * 1024;
constexpr std::size_t kInflatedPiece = 32 * 1024;

}  // namespace

struct EntryStream::Inflater {
    Inflater() : ready(inflateInit2(&stream, -MAX_WBITS) == Z_OK) {}
    ~Inflater()
    {
        if (ready)
            inflateEnd(&stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    z_stream stream{};
    const bool ready;
    bool ended = false;  // the deflate stream is over
    std::array<std::uint8_t, kInflatedPiece> out;
};

EntryStream::EntryStream(std::string folder)
    : root_(std::move(folder)), folders_(root_), state_(folders_ ? State::Header : State::Stopped)
{}

EntryStream::~EntryStream()
{
    DropCurrent();
    for (const Written& file : written_)
        file.folder->Remove(file.temporary);
}

void EntryStream::Append(const std::uint8_t* data, std::size_t count)
{
    while (count > 0 && state_ != State::Stopped) {
        const std::uint8_t* const piece = data;
        std::size_t taken = 0;
        if (state_ == State::Header) {
            taken = std::min(count, (headerSize_ != 0 ? headerSize_ : kFixedHeader) - header_.size());
            header_.insert(header_.end(), piece, piece + taken);
        } else {
            taken = static_cast<std::size_t>(std::min<std::uint64_t>(count, dataLeft_));
            dataLeft_ -= taken;
        }
        // Past the piece before it is acted on: an entry's data starts where its header ends.
        data += taken;
        count -= taken;
        offset_ += taken;

        if (state_ == State::Header) {
            if (header_.size() == (headerSize_ != 0 ? headerSize_ : kFixedHeader))
                HeaderComplete();
            continue;
        }
        if (file_ && inflating_)
            Inflate(piece, taken);
        else if (file_)
            Write(piece, taken);
        if (dataLeft_ == 0)
            EndData();
    }
}

void EntryStream::HeaderComplete()
{
    if (headerSize_ == 0) {
        // Anything but another entry (the archive's directory, or bytes that are no zip) ends what
        // the stream can follow.
        if (ReadLe32(header_.data()) != kLocalHeaderSignature) {
            state_ = State::Stopped;
            return;
        }
        headerSize_ = kFixedHeader + ReadLe16(header_.data() + 26) + ReadLe16(header_.data() + 28);
        if (headerSize_ > kFixedHeader)
            return;
    }
    const std::uint16_t flags = ReadLe16(header_.data() + 6);
    const std::uint16_t method = ReadLe16(header_.data() + 8);
    const std::uint32_t storedSize = ReadLe32(header_.data() + 18);
    const std::uint32_t size = ReadLe32(header_.data() + 22);
    // Without its stored size in the header, where the entry's data ends shows only later.
    if ((flags & kSizesAfterData) != 0 || storedSize == kZip64Size || size == kZip64Size) {
        state_ = State::Stopped;
        return;
    }
    const std::string_view name(reinterpret_cast<const char*>(header_.data()) + kFixedHeader,
                                ReadLe16(header_.data() + 26));
    BeginData(name, flags, method, storedSize, size);
}

void EntryStream::BeginData(std::string_view name, std::uint16_t flags, std::uint16_t method,
                            std::uint32_t storedSize, std::uint32_t size)
{
    state_ = State::Data;
    dataLeft_ = storedSize;
    current_ = Written{};
    current_.dataAt = offset_;
    current_.size = size;
    current_.storedSize = storedSize;
    // Only what an unpacking would write, within what one may write at all, and through the same
    // folders; whatever else the unpacking refuses or writes itself.
    const bool withinBounds =
        written_.size() < kMaxUnpackedEntries && size <= kMaxUnpackedBytes - totalWritten_;
    const bool asItIs = method == 0 && storedSize == size;
    if (method == Z_DEFLATED && withinBounds) {
        if (!inflater_)
            inflater_ = std::make_unique<Inflater>();
        inflater_->ended = false;
        inflating_ = inflater_->ready && inflateReset(&inflater_->stream) == Z_OK;
    }
    std::string why;
    if ((asItIs || inflating_) && (flags & kEncrypted) == 0 && withinBounds &&
        EntryNameProblem(name).empty()) {
        current_.folder = folders_.FolderOf(name, why);
        current_.fileName = std::string(SplitRelativePath(name).back());
    }
    if (current_.folder)
        file_ = current_.folder->CreateFreshFile(kTemporaryPrefix, current_.temporary);
    if (file_) {
        if (!fileBuffer_)
            fileBuffer_ = std::make_unique_for_overwrite<char[]>(kFileBuffer);
        std::setvbuf(file_.get(), fileBuffer_.get(), _IOFBF, kFileBuffer);
        totalWritten_ += size;
    }
    if (dataLeft_ == 0)
        EndData();
}

void EntryStream::Write(const std::uint8_t* data, std::size_t count)
{
    current_.crc = Crc32(current_.crc, data, count);
    if (std::fwrite(data, 1, count, file_.get()) != count)
        DropCurrent();
}

void EntryStream::Inflate(const std::uint8_t* data, std::size_t count)
{
    z_stream& stream = inflater_->stream;
    if (inflater_->ended)
        return;  // what follows the end is not the entry's
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(count);
    for (;;) {
        stream.next_out = inflater_->out.data();
        stream.avail_out = static_cast<uInt>(inflater_->out.size());
        const uInt unread = stream.avail_in;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t made = inflater_->out.size() - stream.avail_out;
        // Never more than the entry says it holds: a small archive may inflate to gigabytes.
        if (made > current_.size - inflated_) {
            DropCurrent();
            return;
        }
        inflated_ += made;
        Write(inflater_->out.data(), made);
        if (!file_)
            return;
        if (result == Z_STREAM_END) {
            inflater_->ended = true;
            return;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            DropCurrent();
            return;
        }
        // All input taken and all output out, or nothing more to be had from this piece: the next
        // piece of the archive goes on from here.
        if ((stream.avail_in == 0 && stream.avail_out != 0) || (made == 0 && stream.avail_in == unread))
            return;
    }
}

void EntryStream::EndData()
{
    // A deflated entry is whole only when its stream ended, at exactly the size it gives.
    if (file_ && inflating_ && !(inflater_->ended && inflated_ == current_.size))
        DropCurrent();
    if (file_) {
        if (CloseFile(std::move(file_)))
            written_.push_back(std::move(current_));
        else
            current_.folder->Remove(current_.temporary);
    }
    current_ = Written{};
    inflated_ = 0;
    inflating_ = false;
    header_.clear();
    headerSize_ = 0;
    state_ = State::Header;
}

void EntryStream::DropCurrent()
{
    if (!file_)
        return;
    file_.reset();
    current_.folder->Remove(current_.temporary);
}

std::optional<EntryStream::Written> EntryStream::Take(const DirectoryHandle* folder,
                                                      std::string_view fileName, std::uint64_t dataAt,
                                                      std::uint64_t storedSize, std::uint64_t size)
{
    const auto found = std::find_if(written_.begin(), written_.end(), [&](const Written& file) {
        return file.folder == folder && file.fileName == fileName && file.dataAt == dataAt &&
               file.storedSize == storedSize && file.size == size;
    });
    if (found == written_.end())
        return std::nullopt;
    Written taken = std::move(*found);
    written_.erase(found);
    return taken;
}

}  // namespace quillon
