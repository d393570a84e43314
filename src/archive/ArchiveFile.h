// An archive opened once for reading, with its last bytes read once into memory.
//
// A zip archive is read from its end: the end record, which may be followed by a comment of up to
// 64 KiB, says where the central directory is, and the directory says where each entry is.
// minizip looks for the end record by reading backwards a kilobyte at a time, twice over (first
// for the record of a 64-bit archive, which ordinary archives lack), each read a seek and a read
// of the file: about 70 system calls for an archive of 64 KiB or more, before it reads the
// directory a few bytes at a time, and each piece of an entry after a seek of its own. Here the
// last 64 KiB and 22 bytes are read in one call, and minizip reads through Functions(), served
// from those bytes wherever they hold what it asks for and from the file without a seek where it
// reads on from where the last read ended. Every read of an unpacking, minizip's and the entries'
// own, goes through ReadAt to the one file opened here.
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

    // Opens the file and reads its end; false from operator bool when either failed, and error()
    // says which.
    explicit ArchiveFile(const std::string& path);
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    std::FILE* get() const { return file_.get(); }
    // The file's size when it was opened.
    std::uint64_t size() const { return size_; }
    // Its last min(size, kEndWindow) bytes.
    std::span<const std::uint8_t> tail() const { return tail_; }

    // Up to count bytes from offset on: fewer at the end of the file, or when the file cannot be
    // read (failed() then says so). The tail serves what lies in it; the file is moved only when
    // it is not where the read starts, so that pieces read in order cost a read each.
    std::size_t ReadAt(std::uint64_t offset, void* into, std::size_t count);
    bool failed() const { return failed_; }

    // minizip's file functions for this archive, which read through ReadAt. minizip's close leaves
    // the file open: it is closed when this goes, which must be after the minizip handle.
    zlib_filefunc64_def Functions();

private:
    static constexpr std::size_t kFileBuffer = 64 * 1024;

    static voidpf ZCALLBACK Open(voidpf self, const void* name, int mode);
    static uLong ZCALLBACK Read(voidpf self, voidpf stream, void* into, uLong count);
    static uLong ZCALLBACK Write(voidpf self, voidpf stream, const void* from, uLong count);
    static ZPOS64_T ZCALLBACK Tell(voidpf self, voidpf stream);
    static long ZCALLBACK Seek(voidpf self, voidpf stream, ZPOS64_T offset, int origin);
    static int ZCALLBACK Close(voidpf self, voidpf stream);
    static int ZCALLBACK Error(voidpf self, voidpf stream);

    std::string path_;
    std::string error_;
    FilePtr file_;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> tail_;
    std::uint64_t fileAt_ = 0;    // where the file stands
    std::uint64_t position_ = 0;  // where minizip reads next
    bool failed_ = false;         // a read of the file went wrong
};

}  // namespace quillon
