// Owners of minizip's handles: an archive being written or read, and the entry open in it. Each
// closes what it holds when it goes; Close() closes early and says whether that went well, for the
// paths where a failed close matters (a short write, a checksum mismatch).
#pragma once

#include <unzip.h>
#include <zip.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "archive/ArchiveFile.h"

namespace quillon {

struct ZipFileCloser {
    void operator()(zipFile zip) const noexcept { zipClose(zip, nullptr); }
};
struct UnzFileCloser {
    void operator()(unzFile zip) const noexcept { unzClose(zip); }
};

// A new archive at a path; empty when it could not be created. It is written beside that path
// under a fresh name, never through a link planted at the path or beside it, and put in place only
// by Commit: an archive that fails or is dropped half-way leaves whatever was at the path as it was.
class ZipWriter {
public:
    explicit ZipWriter(const std::string& path);
    // Drops an archive that was not committed.
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    explicit operator bool() const { return zip_ != nullptr; }
    zipFile get() const { return zip_.get(); }

    // Writes the central directory and puts the archive at its path; false when either failed (the
    // path then holds what it held before).
    bool Commit();

private:
    std::string path_;
    std::string written_;  // the fresh name the archive is written under; empty once in place
    std::unique_ptr<std::remove_pointer_t<zipFile>, ZipFileCloser> zip_;
};

// An archive being read, through archive's file (which must outlive this); empty when it could
// not be opened as one.
class ZipReader {
public:
    explicit ZipReader(ArchiveFile& archive)
    {
        zlib_filefunc64_def functions = archive.Functions();
        zip_.reset(unzOpen2_64(archive.path().c_str(), &functions));
    }

    explicit operator bool() const { return zip_ != nullptr; }
    unzFile get() const { return zip_.get(); }

private:
    std::unique_ptr<std::remove_pointer_t<unzFile>, UnzFileCloser> zip_;
};

// The entry that a ZipWriter has open; it is ended when this goes.
class ZipEntryWriter {
public:
    // zipOpenNewFileInZip's result tells whether there is an entry to end.
    ZipEntryWriter(zipFile zip, bool opened) : zip_(opened ? zip : nullptr) {}
    ~ZipEntryWriter()
    {
        if (zip_)
            zipCloseFileInZip(zip_);
    }
    ZipEntryWriter(const ZipEntryWriter&) = delete;
    ZipEntryWriter& operator=(const ZipEntryWriter&) = delete;

    explicit operator bool() const { return zip_ != nullptr; }
    bool Close() { return zip_ && zipCloseFileInZip(std::exchange(zip_, nullptr)) == ZIP_OK; }

private:
    zipFile zip_;
};

// The current entry of a ZipReader, opened for reading; closed when this goes.
class ZipEntryReader {
public:
    explicit ZipEntryReader(unzFile zip) : zip_(unzOpenCurrentFile(zip) == UNZ_OK ? zip : nullptr) {}
    ~ZipEntryReader()
    {
        if (zip_)
            unzCloseCurrentFile(zip_);
    }
    ZipEntryReader(const ZipEntryReader&) = delete;
    ZipEntryReader& operator=(const ZipEntryReader&) = delete;

    explicit operator bool() const { return zip_ != nullptr; }

    // minizip's result: UNZ_CRCERROR when the entry was read to its end and its checksum does not
    // match.
    int Close() { return zip_ ? unzCloseCurrentFile(std::exchange(zip_, nullptr)) : UNZ_PARAMERROR; }

private:
    unzFile zip_;
};

}  // namespace quillon
