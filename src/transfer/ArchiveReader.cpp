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

const std::uint8_t* ArchiveReader::Block(int index, std::size_t count)
{
    if (!file_ || index < 0)
        return nullptr;
    const std::uint64_t start = static_cast<std::uint64_t>(index) * kBlockDataSize;
    if (start + count > size_)
        return nullptr;
    if (start < pieceStart_ || start + count > pieceStart_ + piece_.size()) {
        piece_.resize(static_cast<std::size_t>(std::min(kPieceBytes, size_ - start)));
        if (std::fseek(file_.get(), static_cast<long>(start), SEEK_SET) != 0 ||
            std::fread(piece_.data(), 1, piece_.size(), file_.get()) != piece_.size()) {
            piece_.clear();
            problem_ = "the archive cannot be read at byte " + std::to_string(start);
            return nullptr;
        }
        pieceStart_ = start;
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

}  // namespace quillon
