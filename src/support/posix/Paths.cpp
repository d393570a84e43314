#include "support/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

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

}  // namespace

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
    if (lstat(path.c_str(), &status) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Other;
    if (S_ISREG(status.st_mode))
        return PathKind::File;
    if (S_ISDIR(status.st_mode))
        return PathKind::Directory;
    if (S_ISLNK(status.st_mode))
        return PathKind::Link;
    return PathKind::Other;
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
    if (!Usable(path))
        return nullptr;
    // Non-blocking, so that a FIFO of the name cannot stall the open; only regular files are kept
    // (on Windows a folder or a device cannot be opened as a file stream either).
    int flags = O_CLOEXEC | O_NONBLOCK;
    const char* streamMode = "wb";
    switch (mode) {
    case FileMode::Read:
        flags |= O_RDONLY;
        streamMode = "rb";
        break;
    case FileMode::Write:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case FileMode::CreateNew:
        flags |= O_WRONLY | O_CREAT | O_EXCL;
        break;
    }
    const int fd = open(path.c_str(), flags, 0666);
    if (fd < 0)
        return nullptr;
    struct stat status {};
    const int fdFlags = fcntl(fd, F_GETFL);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || fdFlags < 0 ||
        fcntl(fd, F_SETFL, fdFlags & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    FilePtr file(fdopen(fd, streamMode));
    if (!file)
        close(fd);
    return file;
}

FilePtr OpenFile(const std::wstring& path, FileMode mode)
{
    const auto narrow = ToFileSystem(path);
    return narrow ? OpenFile(*narrow, mode) : nullptr;
}

bool ListDirectory(const std::string& folder, std::vector<std::string>& names)
{
    if (!Usable(folder))
        return false;
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir)
        return false;
    std::vector<std::string> found;
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
            found.emplace_back(name);
    }
    names.insert(names.end(), found.begin(), found.end());
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

bool GetModificationTime(std::FILE* file, std::tm& local)
{
    struct stat status {};
    if (!file || fstat(fileno(file), &status) != 0)
        return false;
    const std::time_t modified = status.st_mtime;
    return localtime_r(&modified, &local) != nullptr;
}

bool IsReservedDeviceName(std::string_view) { return false; }
bool IsReservedDeviceName(std::wstring_view) { return false; }

}  // namespace quillon
