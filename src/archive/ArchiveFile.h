// An archive opened once for reading, with its end, and then its directory, read once into memory.
//
// A zip archive is read from its end: the end record, which may be followed by a comment of up to
// 64 KiB, says where the central directory is, and the directory says where each entry is.
// minizip looks for the end record by reading backwards a kilobyte at a time, twice over (first
// for the record of a 64-bit archive, which ordinary archives lack), each read a seek and a read
// of the file: about 70 system calls for an archive of 64 KiB or more. It then reads the
// directory a few bytes at a time, going back to it from each entry's data. Here the last 64 KiB
// and 22 bytes are read in one call, and the directory, once the end record has said where it
// starts, in one more; minizip reads through Functions(), served from those bytes wherever they
// hold what it asks for. What lies before them, the entries, is read from the file in archive
// order, without a seek where a read goes on from the last. Every read of an unpacking, minizip's
// and the entries' own, goes through ReadAt to the one file opened here.
//
// Not thread-safe; one minizip handle at a time reads through Functions().
#pragma once

#include <unzip.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "support/fs/Paths.h"

namespace quillon {

class ArchiveFile {
public:
    // The end record (22 bytes) and the longest comment that may follow it.
    static constexpr std::size_t kEndWindow = 22 + 0xFFFF;
    // The most held in memory: the directory of the largest archive that an unpacking takes
    // (10,000 entries with names of a kilobyte) is about 11 MB. A larger one is read from the
    // file, as everything before it is.
    static constexpr std::uint64_t kMaxHeld = 16 * 1024 * 1024;

    // Opens the file and reads its end; false from operator bool when either failed, and error()
    // says which.
    explicit ArchiveFile(const std::string& path);
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    // The file's last bytes, kEndWindow of them or all of a shorter file.
    std::span<const std::uint8_t> tail() const;

    // Holds the bytes from offset to the end in memory, when they are no more than kMaxHeld and
    // can be read; otherwise leaves what is held as it is. Reads are right either way.
    void HoldFrom(std::uint64_t offset);

    // Up to count bytes from offset on: fewer at the end of the file, or when the file cannot be
    // read (failed() then says so).
    std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count);
    bool failed() const { return failed_; }

    // minizip's file functions for this archive, which read through ReadAt. minizip's close leaves
    // the file open: it is closed when this goes, which must be after the minizip handle.
    zlib_filefunc64_def Functions();

private:
    // minizip reads an entry 16 KiB at a time: through a larger buffer a piece costs no system
    // call of its own, where the default buffer (4 KiB) splits each piece into two reads.
    static constexpr std::size_t kFileBuffer = 64 * 1024;

    static voidpf ZCALLBACK Open(voidpf self, const void* name, int mode);
    static uLong ZCALLBACK Read(voidpf self, voidpf stream, void* into, uLong count);
    static uLong ZCALLBACK Write(voidpf self, voidpf stream, const void* from, uLong count);
    static ZPOS64_T ZCALLBACK Tell(voidpf self, voidpf stream);
    static long ZCALLBACK Seek(voidpf self, voidpf stream, ZPOS64_T offset, int origin);
    static int ZCALLBACK Close(voidpf self, voidpf stream);
    static int ZCALLBACK Error(voidpf self, voidpf stream);

    // Reads count bytes at offset from the file, moving it only when it stands elsewhere.
    std::size_t ReadFile(std::uint64_t offset, void* into, std::size_t count);
    std::uint64_t HeldFrom() const { return size_ - held_.size(); }

    std::string path_;
    std::string error_;
    FilePtr file_;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> held_;  // the file's last bytes
    std::uint64_t fileAt_ = 0;        // where the file stands
    std::uint64_t position_ = 0;      // where minizip reads next
    bool failed_ = false;             // a read of the file went wrong
};

}  // namespace quillon
