#include "transfer/DownloadArchive.h"

#include <cstdio>

namespace quillon {

namespace {

// 4 blocks to a write. The write comes after the block's acknowledgement, while the device makes
// the next block, and must be over before that block arrives, together with the write of the entry
// the blocks belong to (archive/EntryStream.h), which fills at the same pace: fresh pages of the
// page cache take about 0.8 µs a kilobyte, and two 32 KB writes held up every 8th block by 25 µs,
// one of 256 KB every 64th by 100 µs.
constexpr std::size_t kWriteBufferSize = 16 * 1024;

std::string PartPath(const std::string& path) { return path + ".part"; }

}  // namespace

DownloadArchive::~DownloadArchive() { Abandon(); }

bool DownloadArchive::Write(const std::string& path, const std::string& unpackFolder, int index,
                            const std::uint8_t* data, std::size_t count)
{
    std::lock_guard lock(mutex_);
    if (index == 0) {
        AbandonLocked();
        path_ = path;
        spoilt_ = false;
        // Whatever stands at the .part path goes (a link itself, not what it points to), and the
        // file is made new: a link planted there cannot take the device's bytes elsewhere.
        RemoveFile(PartPath(path_));
        file_ = OpenFile(PartPath(path_), FileMode::CreateNew);
        spoilt_ = !file_;
        if (file_) {
            if (!buffer_)
                buffer_ = std::make_unique_for_overwrite<char[]>(kWriteBufferSize);
            // Without its own buffer the file keeps the default one: slower, not wrong.
            std::setvbuf(file_.get(), buffer_.get(), _IOFBF, kWriteBufferSize);
            entries_ = std::make_unique<EntryStream>(unpackFolder);
        }
    } else if (!file_ || path != path_) {
        spoilt_ = true;  // a block without its beginning
    }
    if (spoilt_)
        return false;
    if (count > 0 && std::fwrite(data, 1, count, file_.get()) != count)
        spoilt_ = true;
    if (!spoilt_)
        entries_->Append(data, count);
    return !spoilt_;
}

bool DownloadArchive::Finish()
{
    std::lock_guard lock(mutex_);
    if (!file_ || spoilt_) {
        AbandonLocked();
        return false;
    }
    const bool written = CloseFile(std::move(file_));
    if (!written || !RenameReplacing(PartPath(path_), path_)) {
        RemoveFile(PartPath(path_));
        path_.clear();
        entries_.reset();
        return false;
    }
    path_.clear();
    // Nothing written out, nothing for the unpacking (an empty download is not even unpacked): the
    // folder is let go now, which on Windows cannot be removed while it is held.
    if (entries_ && !entries_->HasWritten())
        entries_.reset();
    return true;
}

ZipOutcome DownloadArchive::Unpack(const std::string& zipPath, const std::string& folder)
{
    std::lock_guard lock(mutex_);
    // What was not taken goes with the stream, whatever the outcome.
    const std::unique_ptr<EntryStream> entries = std::move(entries_);
    if (entries && entries->folder() == folder)
        return UnpackStreamedArchive(zipPath, *entries);
    return UnpackArchive(zipPath, folder);
}

void DownloadArchive::Abandon()
{
    std::lock_guard lock(mutex_);
    AbandonLocked();
}

void DownloadArchive::AbandonLocked()
{
    if (file_) {
        file_.reset();
        RemoveFile(PartPath(path_));
    }
    entries_.reset();
    path_.clear();
    spoilt_ = false;
}

}  // namespace quillon
