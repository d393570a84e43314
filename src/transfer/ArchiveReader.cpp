#include "transfer/ArchiveReader.h"

#include <algorithm>
#include <climits>

#include "protocol/FrameCodec.h"

namespace quillon {

namespace {

// Sixteen blocks a read: few enough calls that their cost vanishes, a small enough piece to read
// between two acknowledgements.
constexpr std::uint64_t kPieceBytes = 16 * kBlockDataSize;

}  // namespace

bool ArchiveReader::Open(const std::string& path, std::uint64_t limit)
{
    file_ = OpenFile(path, FileMode::Read);
    if (!file_ || !GetFileStamp(file_.get(), opened_) || opened_.size > limit || opened_.size > LONG_MAX) {
        file_.reset();
        return false;
    }
    size_ = opened_.size;
    piece_.clear();
    pieceStart_ = 0;
    problem_.clear();
    return true;
}

bool ArchiveReader::Holds(std::uint64_t start, std::size_t count) const
{
    return start >= pieceStart_ && start + count <= pieceStart_ + piece_.size();
}

bool ArchiveReader::ReadPiece(std::uint64_t start)
{
    piece_.resize(static_cast<std::size_t>(std::min(kPieceBytes, size_ - start)));
    if (std::fseek(file_.get(), static_cast<long>(start), SEEK_SET) != 0 ||
        std::fread(piece_.data(), 1, piece_.size(), file_.get()) != piece_.size()) {
        piece_.clear();
        return false;
    }
    pieceStart_ = start;
    return true;
}

const std::uint8_t* ArchiveReader::Block(int index, std::size_t count)
{
    if (!file_ || index < 0)
        return nullptr;
    const std::uint64_t start = static_cast<std::uint64_t>(index) * kBlockDataSize;
    if (start + count > size_)
        return nullptr;
    if (!Holds(start, count) && !ReadPiece(start)) {
        problem_ = "the archive cannot be read at byte " + std::to_string(start);
        return nullptr;
    }
    if (start + count == size_) {
        FileStamp now;
        if (!GetFileStamp(file_.get(), now) || !(now == opened_)) {
            problem_ = "the archive changed while it was sent";
            return nullptr;
        }
    }
    return piece_.data() + (start - pieceStart_);
}

void ArchiveReader::ReadAhead(int index)
{
    if (!file_ || index < 0)
        return;
    const std::uint64_t start = static_cast<std::uint64_t>(index) * kBlockDataSize;
    // A read that fails here is tried again, and reported, when the block is asked for.
    if (start < size_ &&
        !Holds(start, static_cast<std::size_t>(std::min<std::uint64_t>(kBlockDataSize, size_ - start))))
        ReadPiece(start);
}

}  // namespace quillon
