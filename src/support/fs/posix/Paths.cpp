#include "support/fs/Paths.h"

#include "support/fs/DirectoryHandle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <variant>

namespace quillon {

static_assert(sizeof(wchar_t) == 4, "wide paths are taken as UTF-32 here");

namespace {

// The one conversion of wide paths: UTF-8, with the escaped bytes U+DC80..U+DCFF turned back into
// the bytes they stand for. Nothing else that cannot be a Unicode scalar value converts, and
// neither does a zero, which would cut the path short.
std::optional<std::string> ToFileSystem(std::wstring_view wide)
{
    std::string narrow;
    narrow.reserve(wide.size());
    for (const wchar_t character : wide) {
        const auto c = static_cast<std::uint32_t>(character);
        if (c == 0 || c > 0x10FFFF)
            return std::nullopt;
        if (c >= 0xDC80 && c <= 0xDCFF) {
            narrow.push_back(static_cast<char>(c - 0xDC00));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return std::nullopt;
        } else if (c < 0x80) {
            narrow.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | (c >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            narrow.push_back(static_cast<char>(0xE0 | (c >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xF0 | (c >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return narrow;
}

// The way back, for names that a listing returns: strict UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF); every byte outside a valid sequence is escaped on its own.
std::wstring FromFileSystem(std::string_view narrow)
{
    std::wstring wide;
    wide.reserve(narrow.size());
    std::size_t i = 0;
    while (i < narrow.size()) {
        const auto lead = static_cast<unsigned char>(narrow[i]);
        std::size_t length = 0;
        std::uint32_t c = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            length = 1;
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= narrow.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(narrow[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        valid = valid && c >= minimum && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (valid) {
            wide.push_back(static_cast<wchar_t>(c));
            i += length;
        } else {
            wide.push_back(static_cast<wchar_t>(0xDC00 + lead));
            ++i;
        }
    }
    return wide;
}

// A zero inside a narrow path would silently cut it short at the system call.
bool Usable(const std::string& path) { return path.find('\0') == std::string::npos; }

struct DirCloser {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// What lstat or fstatat (not following a link) said about a path.
PathKind KindFromStatus(int result, const struct stat& status)
{
    if (result != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Other;
    if (S_ISREG(status.st_mode))
        return PathKind::File;
    if (S_ISDIR(status.st_mode))
        return PathKind::Directory;
    if (S_ISLNK(status.st_mode))
        return PathKind::Link;
    return PathKind::Other;
}

// Opens path, relative to the folder descriptor (or AT_FDCWD), as a file stream. An existing file
// is opened non-blocking, so that a FIFO of the name cannot stall the open, and kept only when it
// is a regular file (on Windows a folder or a device cannot be opened as a file stream either). A
// new file is a regular one, and empty.
FilePtr OpenAt(int folder, const char* path, FileMode mode, bool followLink)
{
    const bool existing = mode == FileMode::Read;
    // O_EXCL alone refuses a link already; O_NOFOLLOW says so where it is read.
    const int flags = O_CLOEXEC | (followLink && existing ? 0 : O_NOFOLLOW) |
                      (existing ? O_RDONLY | O_NONBLOCK : O_WRONLY | O_CREAT | O_EXCL);
    const int fd = openat(folder, path, flags, 0666);
    if (fd < 0)
        return nullptr;
    struct stat status {};
    int fdFlags = 0;
    if (existing && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
                     (fdFlags = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, fdFlags & ~O_NONBLOCK) != 0)) {
        close(fd);
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    FilePtr file(fdopen(fd, existing ? "rb" : "wb"));
    if (!file)
        close(fd);
    return file;
}

// Walking a folder and creating in it needs no right to list it.
#if defined(O_PATH)
constexpr int kFolderAccess = O_PATH;
#else
constexpr int kFolderAccess = O_RDONLY;
#endif

std::optional<std::string> NativePath(const DirectoryHandle::Name& name)
{
    if (const auto* narrow = std::get_if<std::string_view>(&name)) {
        std::string path(*narrow);
        return Usable(path) ? std::optional<std::string>(std::move(path)) : std::nullopt;
    }
    return ToFileSystem(std::get<std::wstring_view>(name));
}

// A name that stays inside the folder: one component, neither "." nor "..".
std::optional<std::string> Component(const DirectoryHandle::Name& name)
{
    std::optional<std::string> native = NativePath(name);
    if (!native || native->empty() || *native == "." || *native == ".." ||
        native->find('/') != std::string::npos)
        return std::nullopt;
    return native;
}

}  // namespace

struct DirectoryHandle::Native {
    explicit Native(int descriptor) : fd(descriptor) {}
    ~Native() { close(fd); }
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    const int fd;
};

void DirectoryHandle::NativeDeleter::operator()(Native* native) const noexcept { delete native; }

DirectoryHandle DirectoryHandle::Open(Name path)
{
    const auto native = NativePath(path);
    const int fd = native ? open(native->c_str(), kFolderAccess | O_DIRECTORY | O_CLOEXEC) : -1;
    return fd < 0 ? DirectoryHandle() : DirectoryHandle(new Native(fd));
}

DirectoryHandle DirectoryHandle::OpenFolder(Name name) const
{
    const auto component = Component(name);
    // O_DIRECTORY with O_NOFOLLOW: a link fails, whatever it points to.
    const int fd = native_ && component ? openat(native_->fd, component->c_str(),
                                                 kFolderAccess | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                        : -1;
    return fd < 0 ? DirectoryHandle() : DirectoryHandle(new Native(fd));
}

bool DirectoryHandle::MakeFolder(Name name) const
{
    const auto component = Component(name);
    return native_ && component && mkdirat(native_->fd, component->c_str(), 0777) == 0;
}

PathKind DirectoryHandle::KindOf(Name name) const
{
    const auto component = Component(name);
    if (!native_ || !component)
        return PathKind::Missing;
    struct stat status {};
    return KindFromStatus(fstatat(native_->fd, component->c_str(), &status, AT_SYMLINK_NOFOLLOW), status);
}

FilePtr DirectoryHandle::CreateNewFile(Name name) const
{
    const auto component = Component(name);
    return native_ && component ? OpenAt(native_->fd, component->c_str(), FileMode::CreateNew, false)
                                : nullptr;
}

FilePtr DirectoryHandle::OpenForReading(Name name) const
{
    const auto component = Component(name);
    return native_ && component ? OpenAt(native_->fd, component->c_str(), FileMode::Read, false) : nullptr;
}

bool DirectoryHandle::Rename(Name from, Name to) const
{
    const auto source = Component(from);
    const auto target = Component(to);
    return native_ && source && target &&
           renameat(native_->fd, source->c_str(), native_->fd, target->c_str()) == 0;
}

bool DirectoryHandle::Remove(Name name) const
{
    const auto component = Component(name);
    return native_ && component && unlinkat(native_->fd, component->c_str(), 0) == 0;
}

const char* NullDevicePath() { return "/dev/null"; }

char PathSeparator() { return '/'; }

bool PathExists(const std::string& path)
{
    struct stat status {};
    return Usable(path) && stat(path.c_str(), &status) == 0;
}

bool PathExists(const std::wstring& path)
{
    const auto narrow = ToFileSystem(path);
    return narrow && PathExists(*narrow);
}

PathKind GetPathKind(const std::string& path)
{
    struct stat status {};
    if (!Usable(path))
        return PathKind::Missing;
    return KindFromStatus(lstat(path.c_str(), &status), status);
}

PathKind GetPathKind(const std::wstring& path)
{
    const auto narrow = ToFileSystem(path);
    return narrow ? GetPathKind(*narrow) : PathKind::Missing;
}

bool MakeDirectory(const std::string& path) { return Usable(path) && mkdir(path.c_str(), 0777) == 0; }

bool MakeDirectory(const std::wstring& path)
{
    const auto narrow = ToFileSystem(path);
    return narrow && MakeDirectory(*narrow);
}

FilePtr OpenFile(const std::string& path, FileMode mode)
{
    return Usable(path) ? OpenAt(AT_FDCWD, path.c_str(), mode, true) : nullptr;
}

FilePtr OpenFile(const std::wstring& path, FileMode mode)
{
    const auto narrow = ToFileSystem(path);
    return narrow ? OpenFile(*narrow, mode) : nullptr;
}

namespace {

// Calls take with each entry but "." and ".."; false when the folder could not be read to its end.
template <typename Take>
bool ReadEntries(std::unique_ptr<DIR, DirCloser> dir, Take&& take)
{
    if (!dir)
        return false;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                return false;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            take(*entry);
    }
    return true;
}

// What a listing says an entry is; nothing where the file system leaves it to a stat.
std::optional<PathKind> KindFromListing(unsigned char type)
{
    switch (type) {
    case DT_UNKNOWN:
        return std::nullopt;
    case DT_REG:
        return PathKind::File;
    case DT_DIR:
        return PathKind::Directory;
    case DT_LNK:
        return PathKind::Link;
    default:
        return PathKind::Other;
    }
}

}  // namespace

bool ListDirectory(const std::string& folder, std::vector<std::string>& names)
{
    std::vector<std::string> found;
    if (!Usable(folder) || !ReadEntries(std::unique_ptr<DIR, DirCloser>(opendir(folder.c_str())),
                                        [&](const dirent& entry) { found.emplace_back(entry.d_name); }))
        return false;
    names.insert(names.end(), found.begin(), found.end());
    return true;
}

bool DirectoryHandle::List(std::vector<Entry>& entries) const
{
    // A descriptor of its own for the listing: the handle's may be one that cannot be read, and
    // reading would move its position.
    const int fd = native_ ? openat(native_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (!dir)
        close(fd);
    // The listing's type spares a stat per entry, which in a folder of thousands costs more than
    // the listing itself.
    std::vector<Entry> found;
    if (!ReadEntries(std::unique_ptr<DIR, DirCloser>(dir), [&](const dirent& entry) {
            found.push_back({entry.d_name, KindFromListing(entry.d_type)});
        }))
        return false;
    entries.insert(entries.end(), std::make_move_iterator(found.begin()),
                   std::make_move_iterator(found.end()));
    return true;
}

bool ListDirectory(const std::wstring& folder, std::vector<std::wstring>& names)
{
    const auto narrow = ToFileSystem(folder);
    std::vector<std::string> found;
    if (!narrow || !ListDirectory(*narrow, found))
        return false;
    for (const auto& name : found)
        names.push_back(FromFileSystem(name));
    return true;
}

bool RemoveFile(const std::string& path) { return Usable(path) && unlink(path.c_str()) == 0; }

bool RemoveFile(const std::wstring& path)
{
    const auto narrow = ToFileSystem(path);
    return narrow && RemoveFile(*narrow);
}

bool RenameReplacing(const std::string& from, const std::string& to)
{
    return Usable(from) && Usable(to) && rename(from.c_str(), to.c_str()) == 0;
}

std::string NarrowPath(std::wstring_view path) { return ToFileSystem(path).value_or("?"); }

std::wstring WidePath(std::string_view path) { return FromFileSystem(path); }

bool GetModificationTime(std::FILE* file, std::tm& local)
{
    struct stat status {};
    if (!file || fstat(fileno(file), &status) != 0)
        return false;
    const std::time_t modified = status.st_mtime;
    return localtime_r(&modified, &local) != nullptr;
}

bool GetFileStamp(std::FILE* file, FileStamp& stamp)
{
    struct stat status {};
    if (!file || fstat(fileno(file), &status) != 0)
        return false;
    stamp.size = static_cast<std::uint64_t>(status.st_size);
    stamp.modified =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    return true;
}

}  // namespace quillon
