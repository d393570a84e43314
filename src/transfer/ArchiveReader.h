// The archive of an upload, read from its file a piece at a time as its blocks go. Read whole
// before the first block, a 50 MB archive cost the upload 20 ms up front (up to 180 ms where the
// memory was fresh to the process) and the host as much memory as the archive; a piece of 16
// blocks is one read, into a buffer that stays warm, made once the block before it has gone
// (ReadAhead), while the device works on that block.
//
// A device keeps an upload only once its last block has come, so the file is looked at again
// before that block: an archive whose size or last write changed while it went is not sent whole,
// and the device keeps what it had. Another file renamed over the name meanwhile changes nothing:
// the open file is the one that goes.
//
// Not thread-safe: one upload's blocks are taken one at a time (UploadPump does so under its lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/fs/Paths.h"

namespace quillon {

class ArchiveReader {
public:
    // Opens path for an upload: false when it cannot be read or is over `limit` bytes.
    bool Open(const std::string& path, std::uint64_t limit);
    std::uint64_t size() const { return size_; }

    // The count bytes of block index, good until the next call; null when the file cannot be read
    // there or, for the last block, has changed since it was opened (problem() says which).
    const std::uint8_t* Block(int index, std::size_t count);
    const std::string& problem() const { return problem_; }

    // Reads the piece that holds block index now, when it is not at hand: called once the block
    // before has gone, it takes the read off the wait between an acknowledgement and the next
    // block. A read that fails here fails again, and says so, when Block asks for that block.
    void ReadAhead(int index);

private:
    bool Holds(std::uint64_t start, std::size_t count) const;
    bool ReadPiece(std::uint64_t start);

    FilePtr file_;
    FileStamp opened_;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> piece_;  // the bytes from pieceStart_ on
    std::uint64_t pieceStart_ = 0;
    std::string problem_;
};

}  // namespace quillon
