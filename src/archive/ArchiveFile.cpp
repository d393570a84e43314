#include "archive/ArchiveFile.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace quillon {

ArchiveFile::ArchiveFile(const std::string& path) : path_(path), file_(OpenFile(path, FileMode::Read))
{
    if (!file_) {
        error_ = "cannot open " + path;
        return;
    }
    std::setvbuf(file_.get(), nullptr, _IOFBF, kFileBuffer);
    // Offsets go through the C library's long: an archive past its range (2 GiB on Windows) is not
    // read, far beyond anything an unpacking takes.
    long end = -1;
    if (std::fseek(file_.get(), 0, SEEK_END) == 0)
        end = std::ftell(file_.get());
    if (end >= 0) {
        size_ = static_cast<std::uint64_t>(end);
        fileAt_ = size_;
        held_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size_, kEndWindow)));
        if (ReadFile(HeldFrom(), held_.data(), held_.size()) == held_.size())
            return;
    }
    error_ = "cannot read " + path;
    file_.reset();
}

std::span<const std::uint8_t> ArchiveFile::tail() const
{
    const std::size_t count = std::min(held_.size(), kEndWindow);
    return std::span<const std::uint8_t>(held_).last(count);
}

void ArchiveFile::HoldFrom(std::uint64_t offset)
{
    const std::uint64_t from = HeldFrom();
    if (offset >= from || size_ - offset > kMaxHeld)
        return;
    std::vector<std::uint8_t> held(static_cast<std::size_t>(size_ - offset));
    const auto before = static_cast<std::size_t>(from - offset);
    if (ReadFile(offset, held.data(), before) != before)
        return;
    std::copy(held_.begin(), held_.end(), held.begin() + static_cast<std::ptrdiff_t>(before));
    held_ = std::move(held);
}

std::size_t ArchiveFile::ReadFile(std::uint64_t offset, void* into, std::size_t count)
{
    if (offset != fileAt_) {
        if (offset > static_cast<std::uint64_t>(LONG_MAX) ||
            std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
            failed_ = true;
            return 0;
        }
        fileAt_ = offset;
    }
    const std::size_t got = std::fread(into, 1, count, file_.get());
    fileAt_ += got;
    if (got < count && std::ferror(file_.get()))
        failed_ = true;
    return got;
}

std::size_t ArchiveFile::ReadAt(std::uint64_t offset, void* into, std::size_t count)
{
    if (offset >= size_ || !file_)
        return 0;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
    const std::uint64_t from = HeldFrom();
    // What lies before the held bytes comes from the file, the rest from memory.
    const auto fromFile =
        static_cast<std::size_t>(offset < from ? std::min<std::uint64_t>(wanted, from - offset) : 0);
    if (fromFile > 0) {
        const std::size_t got = ReadFile(offset, into, fromFile);
        if (got < fromFile)
            return got;
    }
    if (wanted > fromFile)
        std::memcpy(static_cast<std::uint8_t*>(into) + fromFile, held_.data() + (offset + fromFile - from),
                    wanted - fromFile);
    return wanted;
}

zlib_filefunc64_def ArchiveFile::Functions()
{
    zlib_filefunc64_def functions{};
    functions.zopen64_file = Open;
    functions.zread_file = Read;
    functions.zwrite_file = Write;
    functions.ztell64_file = Tell;
    functions.zseek64_file = Seek;
    functions.zclose_file = Close;
    functions.zerror_file = Error;
    functions.opaque = this;
    return functions;
}

voidpf ZCALLBACK ArchiveFile::Open(voidpf self, const void*, int mode)
{
    auto* archive = static_cast<ArchiveFile*>(self);
    // Reading is all an unpacking does.
    if (!archive->file_ || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    archive->position_ = 0;
    archive->failed_ = false;
    return archive;
}

uLong ZCALLBACK ArchiveFile::Read(voidpf self, voidpf, void* into, uLong count)
{
    auto* archive = static_cast<ArchiveFile*>(self);
    const std::size_t got = archive->ReadAt(archive->position_, into, count);
    archive->position_ += got;
    return static_cast<uLong>(got);
}

uLong ZCALLBACK ArchiveFile::Write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK ArchiveFile::Tell(voidpf self, voidpf)
{
    return static_cast<ArchiveFile*>(self)->position_;
}

long ZCALLBACK ArchiveFile::Seek(voidpf self, voidpf, ZPOS64_T offset, int origin)
{
    auto* archive = static_cast<ArchiveFile*>(self);
    std::uint64_t base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = archive->position_;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = archive->size_;
        break;
    default:
        return -1;
    }
    // As with the C library's seek, the offset is signed (a move back from where reading is),
    // and a position past the end is taken: reading there gives nothing.
    const auto move = static_cast<std::int64_t>(offset);
    if (move < 0 ? static_cast<std::uint64_t>(-(move + 1)) >= base
                 : static_cast<std::uint64_t>(move) > static_cast<std::uint64_t>(LONG_MAX) - base)
        return -1;
    archive->position_ = move < 0 ? base - static_cast<std::uint64_t>(-(move + 1)) - 1
                                  : base + static_cast<std::uint64_t>(move);
    return 0;
}

int ZCALLBACK ArchiveFile::Close(voidpf, voidpf) { return 0; }

int ZCALLBACK ArchiveFile::Error(voidpf self, voidpf)
{
    return static_cast<ArchiveFile*>(self)->failed_ ? 1 : 0;
}

}  // namespace quillon
