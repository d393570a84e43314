#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "archive/EntryFolders.h"
#include "archive/EntryName.h"
#include "archive/MinizipHandles.h"
#include "archive/ZipArchive.h"
#include "support/fs/Paths.h"

namespace quillon {

namespace {

// A zip entry holds its sizes in 32 bits, and the device reads whole files into memory; 2 GiB is
// far beyond any settings file.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 31;

// The DOS date and time of the entry: the file's local modification time, held to the range the
// format can store (1980 to 2107). A file whose time cannot be read gets the earliest one.
tm_zip EntryTime(std::FILE* file)
{
    tm_zip time{0, 0, 0, 1, 0, 1980};
    std::tm local{};
    if (!GetModificationTime(file, local))
        return time;
    const int year = local.tm_year + 1900;
    if (year < 1980)
        return time;
    if (year > 2107)
        return {58, 59, 23, 31, 11, 2107};
    time.tm_sec = static_cast<uInt>(local.tm_sec > 59 ? 59 : local.tm_sec);  // a leap second
    time.tm_min = static_cast<uInt>(local.tm_min);
    time.tm_hour = static_cast<uInt>(local.tm_hour);
    time.tm_mday = static_cast<uInt>(local.tm_mday);
    time.tm_mon = static_cast<uInt>(local.tm_mon);
    time.tm_year = static_cast<uInt>(year);
    return time;
}

// The whole file, read before its entry is started, so that a read failure never leaves a
// shortened entry in the archive that would look complete.
bool ReadWhole(std::FILE* file, std::vector<unsigned char>& content, std::string& why)
{
    if (std::fseek(file, 0, SEEK_END) != 0) {
        why = "the file cannot be read";
        return false;
    }
    const long length = std::ftell(file);
    if (length < 0 || static_cast<unsigned long>(length) >= kMaxFileSize) {
        why = "the file is 2 GiB or larger";
        return false;
    }
    try {
        content.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        why = "the file does not fit in memory";
        return false;
    }
    std::rewind(file);
    // A file that shrank since its length was taken is packed as it is now.
    if (!content.empty())
        content.resize(std::fread(content.data(), 1, content.size(), file));
    if (std::ferror(file)) {
        why = "the file cannot be read";
        return false;
    }
    return true;
}

// minizip writes to the file made for it rather than opening one by name.
voidpf ZCALLBACK OpenTheFileGiven(voidpf file, const char*, int) { return file; }

}  // namespace

ZipWriter::ZipWriter(const std::string& path) : path_(path)
{
    FilePtr file = CreateFileBeside(path, written_);
    if (!file)
        return;
    zlib_filefunc_def io;
    fill_fopen_filefunc(&io);
    io.zopen_file = OpenTheFileGiven;
    io.opaque = file.get();
    // From here minizip owns the file and closes it, on failure too.
    zip_.reset(zipOpen2(written_.c_str(), APPEND_STATUS_CREATE, nullptr, &io));
    file.release();
}

ZipWriter::~ZipWriter()
{
    zip_.reset();
    if (!written_.empty())
        RemoveFile(written_);
}

bool ZipWriter::Commit()
{
    if (!zip_ || zipClose(zip_.release(), nullptr) != ZIP_OK || !RenameReplacing(written_, path_))
        return false;
    written_.clear();
    return true;
}

ZipOutcome PackFiles(const std::string& folder, const std::vector<std::string>& names,
                     const std::string& zipPath)
{
    ZipWriter zip(zipPath);
    if (!zip)
        return ZipOutcome::Failed("cannot create the archive " + zipPath);
    // An empty folder would make every path absolute, read from the root of the file system.
    if (folder.empty() && !names.empty())
        return ZipOutcome::Failed("no packing folder is set");

    // A link in the package could lead anywhere, and whatever is packed goes to the device: only
    // the package's own files are read, through folders that are no links either.
    EntryFolders folders(folder);
    for (const std::string& name : names) {
        const std::string quoted = QuoteEntryName(name);
        if (const std::string problem = EntryNameProblem(name); !problem.empty())
            return ZipOutcome::Failed("cannot pack " + quoted + ": " + problem);
        const std::string path = JoinRelativePath(folder, name);
        std::string why;
        const DirectoryHandle* inFolder = folders.FolderOf(name, why);
        if (!inFolder)
            return ZipOutcome::Failed("cannot pack " + quoted + ": it " + why);
        const std::string_view fileName = SplitRelativePath(name).back();
        if (inFolder->KindOf(fileName) == PathKind::Link)
            return ZipOutcome::Failed("cannot pack " + quoted + ": it is a link");
        FilePtr file = inFolder->OpenForReading(fileName);
        if (!file)
            return ZipOutcome::Failed("cannot open " + path + " for packing");
        std::vector<unsigned char> content;
        if (!ReadWhole(file.get(), content, why))
            return ZipOutcome::Failed("cannot pack " + path + ": " + why);

        zip_fileinfo info{};  // internal and external attributes 0
        info.tmz_date = EntryTime(file.get());
        file.reset();

        ZipEntryWriter entry(zip.get(),
                             zipOpenNewFileInZip(zip.get(), name.c_str(), &info, nullptr, 0, nullptr, 0,
                                                 nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION) == ZIP_OK);
        if (!entry)
            return ZipOutcome::Failed("cannot start the entry " + quoted);
        if (!content.empty() &&
            zipWriteInFileInZip(zip.get(), content.data(), static_cast<unsigned>(content.size())) != ZIP_OK)
            return ZipOutcome::Failed("cannot write the entry " + quoted);
        if (!entry.Close())
            return ZipOutcome::Failed("cannot finish the entry " + quoted);
    }

    if (!zip.Commit())
        return ZipOutcome::Failed("cannot finish the archive " + zipPath);
    return ZipOutcome::Done();
}

}  // namespace quillon
