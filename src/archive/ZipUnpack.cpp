#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "archive/EntryFolders.h"
#include "archive/EntryName.h"
#include "archive/EntryStream.h"
#include "archive/MinizipHandles.h"
#include "archive/ZipArchive.h"
#include "support/base/ByteOrder.h"
#include "support/base/Crc32.h"
#include "support/fs/Paths.h"

namespace quillon {

namespace {

constexpr std::size_t kNameBufferSize = kMaxEntryNameLength + 1;
// An entry goes to its file in pieces this large: a download's archive of 50 MB is one stored entry,
// and small pieces cost a read, a seek and a write each.
constexpr std::size_t kCopyChunk = 1024 * 1024;

// Where an entry goes, worked out before anything is written.
struct PlannedEntry {
    std::string quoted;                       // the name as the archive has it, for messages
    const DirectoryHandle* folder = nullptr;  // the existing folder that receives it
    std::string fileName;                     // its name in that folder
    std::string target;                       // the path of the file it becomes, for messages
    ZPOS64_T size = 0;                        // as the archive records it
    ZPOS64_T storedSize = 0;                  // its bytes in the archive
    uLong crc = 0;                            // the checksum the archive records
    bool stored = false;                      // kept as it is, not deflated
};

ZipOutcome PlanEntry(unzFile zip, const std::string& root, EntryFolders& folders, PlannedEntry& planned)
{
    unz_file_info64 info{};
    char name[kNameBufferSize];
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
        return ZipOutcome::Failed("the archive's directory is damaged");
    // minizip leaves a name that does not fit the buffer without its terminating zero.
    if (info.size_filename >= sizeof name)
        return ZipOutcome::Failed("an entry's name is longer than " + std::to_string(kMaxEntryNameLength) +
                                  " bytes");
    const std::string_view entryName(name, info.size_filename);
    planned.quoted = QuoteEntryName(entryName);
    if (const std::string problem = EntryNameProblem(entryName); !problem.empty())
        return ZipOutcome::Failed("refused entry " + planned.quoted + ": " + problem);
    if (info.flag & 1)
        return ZipOutcome::Failed("entry " + planned.quoted + " is encrypted");
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return ZipOutcome::Failed("entry " + planned.quoted + " uses an unknown compression method");

    std::string why;
    planned.folder = folders.FolderOf(entryName, why);
    if (!planned.folder)
        return ZipOutcome::Failed("entry " + planned.quoted + " " + why);
    planned.fileName = std::string(SplitRelativePath(entryName).back());
    planned.target = JoinRelativePath(root, entryName);
    const PathKind kind = planned.folder->KindOf(planned.fileName);
    if (kind != PathKind::Missing && kind != PathKind::File && kind != PathKind::Link)
        return ZipOutcome::Failed("something other than a file stands where entry " + planned.quoted +
                                  " goes");
    planned.size = info.uncompressed_size;
    planned.storedSize = info.compressed_size;
    planned.crc = info.crc;
    planned.stored = info.compression_method == 0;
    return ZipOutcome::Done();
}

// The temporary files of one unpacking. Those not yet put in place are removed when this goes.
class StagedFiles {
public:
    StagedFiles() = default;
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;
    ~StagedFiles()
    {
        for (std::size_t i = committed_; i < staged_.size(); ++i)
            staged_[i].entry->folder->Remove(staged_[i].temporary);
    }

    // Creates a new, empty temporary file in the entry's folder. Its name holds a part that this
    // process drew at random, which an archive cannot know: no entry is put in place over another
    // entry's temporary file.
    FilePtr Create(const PlannedEntry& entry)
    {
        std::string temporary;
        FilePtr file = entry.folder->CreateFreshFile(kTemporaryPrefix, temporary);
        if (file)
            staged_.push_back({&entry, std::move(temporary)});
        return file;
    }

    // Takes a temporary file made elsewhere in the entry's folder as the entry's, made here.
    void Adopt(const PlannedEntry& entry, std::string temporary)
    {
        staged_.push_back({&entry, std::move(temporary)});
    }

    // Puts every temporary file in place, in the order they were made.
    ZipOutcome Commit()
    {
        for (; committed_ < staged_.size(); ++committed_) {
            const Staged& file = staged_[committed_];
            if (!file.entry->folder->Rename(file.temporary, file.entry->fileName))
                return ZipOutcome::Failed("cannot put " + file.entry->target + " in place; the " +
                                          std::to_string(committed_) + " entries before it are in place");
        }
        return ZipOutcome::Done();
    }

private:
    struct Staged {
        const PlannedEntry* entry;
        std::string temporary;
    };
    std::vector<Staged> staged_;
    std::size_t committed_ = 0;
};

// A stored entry's bytes in the archive are the file: two sizes that differ mean one lies.
ZipOutcome StoredSizesAgree(const PlannedEntry& entry)
{
    if (entry.storedSize == entry.size)
        return ZipOutcome::Done();
    return ZipOutcome::Failed("entry " + entry.quoted + " is " +
                              (entry.storedSize < entry.size ? "shorter" : "longer") +
                              " than the archive records");
}

ZipOutcome ChecksumAgrees(const PlannedEntry& entry, std::uint32_t crc)
{
    if (crc == entry.crc)
        return ZipOutcome::Done();
    return ZipOutcome::Failed("the checksum of entry " + entry.quoted + " does not match");
}

// The pieces' buffer, made when the first entry needs it: an unpacking whose entries were all
// written as the archive arrived needs none.
class CopyBuffer {
public:
    explicit CopyBuffer(std::size_t size) : size_(size) {}
    std::vector<char>& get()
    {
        if (bytes_.empty())
            bytes_.resize(size_);
        return bytes_;
    }

private:
    std::size_t size_;
    std::vector<char> bytes_;
};

// A stored entry is copied straight from the archive's bytes, checksummed on the way: through
// minizip it would come 16 KiB at a time, with one more copy of each piece.
ZipOutcome CopyStoredEntry(unzFile zip, ArchiveFile& archive, const PlannedEntry& entry, std::FILE* out,
                           std::vector<char>& buffer)
{
    if (ZipOutcome sizes = StoredSizesAgree(entry); !sizes.ok)
        return sizes;
    ZPOS64_T at = unzGetCurrentFileZStreamPos64(zip);
    if (at == 0)
        return ZipOutcome::Failed("entry " + entry.quoted + " is damaged");
    std::uint32_t crc = 0;
    for (ZPOS64_T left = entry.size; left > 0;) {
        const auto want = static_cast<std::size_t>(std::min<ZPOS64_T>(buffer.size(), left));
        if (archive.ReadAt(at, buffer.data(), want) != want)
            return ZipOutcome::Failed(archive.failed()
                                          ? "cannot read entry " + entry.quoted
                                          : "entry " + entry.quoted + " is shorter than the archive records");
        crc = Crc32(crc, reinterpret_cast<const std::uint8_t*>(buffer.data()), want);
        if (std::fwrite(buffer.data(), 1, want, out) != want)
            return ZipOutcome::Failed("cannot write entry " + entry.quoted);
        at += want;
        left -= want;
    }
    return ChecksumAgrees(entry, crc);
}

// Inflates a deflated entry, checking it against the archive's record as it goes.
ZipOutcome InflateEntry(unzFile zip, ZipEntryReader& reader, const PlannedEntry& entry, std::FILE* out,
                        std::vector<char>& buffer)
{
    ZPOS64_T written = 0;
    for (;;) {
        const int got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (got < 0)
            return ZipOutcome::Failed("entry " + entry.quoted + " is damaged");
        if (got == 0)
            break;
        // minizip stops at the recorded size itself; the cap on what an unpacking writes rests on
        // that, so it is not left to the library alone.
        if (static_cast<ZPOS64_T>(got) > entry.size - written)
            return ZipOutcome::Failed("entry " + entry.quoted + " is longer than the archive records");
        if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got))
            return ZipOutcome::Failed("cannot write entry " + entry.quoted);
        written += static_cast<ZPOS64_T>(got);
    }
    const int closed = reader.Close();
    if (closed == UNZ_CRCERROR)
        return ZipOutcome::Failed("the checksum of entry " + entry.quoted + " does not match");
    if (closed != UNZ_OK)
        return ZipOutcome::Failed("entry " + entry.quoted + " is damaged");
    // minizip checks the checksum only of an entry read to its recorded size; an entry whose data
    // ends early would otherwise pass.
    if (written != entry.size)
        return ZipOutcome::Failed("entry " + entry.quoted + " is shorter than the archive records");
    return ZipOutcome::Done();
}

// Takes the file that `streamed` wrote of the current entry, when it wrote one of exactly this
// entry: nullopt when it did not, and the entry is to be unpacked from the archive.
std::optional<ZipOutcome> AdoptStreamedEntry(unzFile zip, const PlannedEntry& entry, StagedFiles& staged,
                                             EntryStream& streamed)
{
    if (entry.stored) {
        if (ZipOutcome sizes = StoredSizesAgree(entry); !sizes.ok)
            return sizes;
    }
    // Where minizip found the entry's data, from its directory and the local header there.
    const ZPOS64_T at = unzGetCurrentFileZStreamPos64(zip);
    auto written = streamed.Take(entry.folder, entry.fileName, at, entry.storedSize, entry.size);
    if (!written)
        return std::nullopt;
    staged.Adopt(entry, std::move(written->temporary));
    return ChecksumAgrees(entry, written->crc);
}

// Unpacks the current entry into its temporary file and checks it against the archive's record.
ZipOutcome StageEntry(unzFile zip, ArchiveFile& archive, const PlannedEntry& entry, StagedFiles& staged,
                      CopyBuffer& buffer, EntryStream* streamed)
{
    ZipEntryReader reader(zip);
    if (!reader)
        return ZipOutcome::Failed("cannot read entry " + entry.quoted);
    if (streamed) {
        if (auto adopted = AdoptStreamedEntry(zip, entry, staged, *streamed))
            return *adopted;
    }
    FilePtr file = staged.Create(entry);
    if (!file)
        return ZipOutcome::Failed("cannot create a file for entry " + entry.quoted + " in " +
                                  entry.target.substr(0, entry.target.size() - entry.fileName.size() - 1));
    // The pieces are as large as the stream's buffer would be useful: each goes in one write.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    ZipOutcome outcome = entry.stored ? CopyStoredEntry(zip, archive, entry, file.get(), buffer.get())
                                      : InflateEntry(zip, reader, entry, file.get(), buffer.get());
    if (!outcome.ok)
        return outcome;
    if (!CloseFile(std::move(file)))
        return ZipOutcome::Failed("cannot write entry " + entry.quoted);
    return ZipOutcome::Done();
}

// The end record closes every zip archive and says how long the comment after it is, so an intact
// archive ends exactly that many bytes after it. minizip tolerates an end record cut short (it
// reads missing bytes as zeros), and it cannot open an archive that is nothing but an end record,
// which is what packing an empty list makes; both are settled here. The record is looked for in
// the archive's last bytes, as far back as the longest comment leaves room for. directoryAt is
// where the record says the directory starts.
ZipOutcome CheckArchiveEnd(const ArchiveFile& archive, bool& empty, std::uint64_t& directoryAt)
{
    constexpr std::size_t kRecordSize = 22;
    const std::span<const std::uint8_t> tail = archive.tail();
    for (std::size_t at = tail.size() >= kRecordSize ? tail.size() - kRecordSize + 1 : 0; at-- > 0;) {
        if (tail[at] == 'P' && tail[at + 1] == 'K' && tail[at + 2] == 5 && tail[at + 3] == 6 &&
            at + kRecordSize + ReadLe16(tail.data() + at + 20) == tail.size()) {
            empty = ReadLe16(tail.data() + at + 8) == 0 && ReadLe16(tail.data() + at + 10) == 0;
            directoryAt = ReadLe32(tail.data() + at + 16);
            return ZipOutcome::Done();
        }
    }
    return ZipOutcome::Failed(archive.path() + " is not a zip archive, or it is cut short");
}

// UnpackArchive, into the folders given, taking the entries that `streamed` wrote where they check
// out.
ZipOutcome Unpack(const std::string& zipPath, const std::string& folder, EntryFolders& folders,
                  const std::function<void(std::size_t)>& beforeEntry, EntryStream* streamed)
{
    ArchiveFile archive(zipPath);
    if (!archive)
        return ZipOutcome::Failed(archive.error());
    bool empty = false;
    std::uint64_t directoryAt = 0;
    if (ZipOutcome outcome = CheckArchiveEnd(archive, empty, directoryAt); !outcome.ok)
        return outcome;
    if (empty)
        return ZipOutcome::Done();
    // minizip reads the directory twice, going back to it from each entry: held, it costs no reads.
    archive.HoldFrom(directoryAt);
    ZipReader zip(archive);
    if (!zip)
        return ZipOutcome::Failed("cannot open " + zipPath + " as a zip archive");
    unz_global_info global{};
    if (unzGetGlobalInfo(zip.get(), &global) != UNZ_OK)
        return ZipOutcome::Failed("cannot read the directory of " + zipPath);
    if (global.number_entry == 0)
        return ZipOutcome::Done();
    // An empty folder would make every path absolute, below the root of the file system.
    if (folder.empty())
        return ZipOutcome::Failed("no unpacking folder is set");
    if (!folders)
        return ZipOutcome::Failed(
            "the unpacking folder " + folder +
            (GetPathKind(folder) == PathKind::Missing ? " does not exist" : " cannot be opened"));

    if (global.number_entry > kMaxUnpackedEntries)
        return ZipOutcome::Failed("the archive has " + std::to_string(global.number_entry) +
                                  " entries, more than the " + std::to_string(kMaxUnpackedEntries) +
                                  " an unpacking takes");

    std::vector<PlannedEntry> plan;
    plan.reserve(global.number_entry);
    unsigned long long total = 0;
    for (uLong i = 0; i < global.number_entry; ++i) {
        if (i > 0 && unzGoToNextFile(zip.get()) != UNZ_OK)
            return ZipOutcome::Failed("the archive's directory ends early");
        PlannedEntry planned;
        if (ZipOutcome outcome = PlanEntry(zip.get(), folder, folders, planned); !outcome.ok)
            return outcome;
        if (planned.size > kMaxUnpackedBytes - total)
            return ZipOutcome::Failed("the archive unpacks to more than " +
                                      std::to_string(kMaxUnpackedBytes / (1024 * 1024)) + " MiB");
        total += planned.size;
        plan.push_back(std::move(planned));
    }

    StagedFiles staged;
    if (unzGoToFirstFile(zip.get()) != UNZ_OK)
        return ZipOutcome::Failed("cannot read the directory of " + zipPath);
    CopyBuffer buffer(static_cast<std::size_t>(std::min<unsigned long long>(kCopyChunk, total)) + 1);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (i > 0 && unzGoToNextFile(zip.get()) != UNZ_OK)
            return ZipOutcome::Failed("the archive's directory ends early");
        if (beforeEntry)
            beforeEntry(i);
        if (ZipOutcome outcome = StageEntry(zip.get(), archive, plan[i], staged, buffer, streamed);
            !outcome.ok)
            return outcome;
    }
    return staged.Commit();
}

}  // namespace

ZipOutcome UnpackArchive(const std::string& zipPath, const std::string& folder,
                         const std::function<void(std::size_t)>& beforeEntry)
{
    // Every folder that an entry goes into is held from here to the end.
    EntryFolders folders(folder);
    return Unpack(zipPath, folder, folders, beforeEntry, nullptr);
}

ZipOutcome UnpackStreamedArchive(const std::string& zipPath, EntryStream& streamed)
{
    return Unpack(zipPath, streamed.folder(), streamed.folders(), {}, &streamed);
}

bool LooksLikeZip(const std::string& path)
{
    const FilePtr file = OpenFile(path, FileMode::Read);
    unsigned char magic[4] = {};
    if (!file || std::fread(magic, 1, sizeof magic, file.get()) != sizeof magic)
        return false;
    return magic[0] == 'P' && magic[1] == 'K' &&
           ((magic[2] == 3 && magic[3] == 4) || (magic[2] == 5 && magic[3] == 6));
}

}  // namespace quillon
