// The archive a download writes, block by block. It is written under a name of its own (the
// archive's path with ".part" added) and put in place only when its last block is in, so that a
// download that stops half-way never leaves a file that looks like a complete archive. Neither
// name is ever written through: the .part file is made new, and renamed over the archive's path.
// The archive's entries are written out into the unpacking folder as the blocks come
// (archive/EntryStream.h), so that unpacking, after the last block, finds them written.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "archive/EntryStream.h"
#include "archive/ZipArchive.h"
#include "support/fs/Paths.h"

namespace quillon {

class DownloadArchive {
public:
    DownloadArchive() = default;
    ~DownloadArchive();
    DownloadArchive(const DownloadArchive&) = delete;
    DownloadArchive& operator=(const DownloadArchive&) = delete;

    // Block 0 starts the archive at path afresh (dropping any unfinished one), its entries to be
    // unpacked into unpackFolder; later blocks are appended, and their unpackFolder is not looked
    // at. False when the block could not be written; the archive is then spoilt and Finish will
    // refuse it.
    bool Write(const std::string& path, const std::string& unpackFolder, int index, const std::uint8_t* data,
               std::size_t count);

    // Puts the archive in place at its path. False, and nothing in place, when a block could not be
    // written or no block came.
    bool Finish();

    // Unpacks the archive that Finish put in place at zipPath into folder (UnpackArchive), taking
    // the entries written as the blocks came when they were written there.
    ZipOutcome Unpack(const std::string& zipPath, const std::string& folder);

    // Drops an unfinished archive, and whatever was written of its entries.
    void Abandon();

private:
    void AbandonLocked();

    std::mutex mutex_;
    // The archive's stdio buffer: it takes many blocks before one write to the file, where the
    // default buffer is no bigger than one block. Declared before file_, which uses it until closed.
    std::unique_ptr<char[]> buffer_;
    FilePtr file_;
    std::string path_;
    bool spoilt_ = false;
    std::unique_ptr<EntryStream> entries_;  // from block 0 until unpacked or dropped
};

}  // namespace quillon
