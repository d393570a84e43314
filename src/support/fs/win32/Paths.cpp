#include "support/fs/Paths.h"

#include "support/fs/DirectoryHandle.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <variant>

namespace quillon {

namespace {

// Narrow paths go to the ANSI entry points, wide paths to the wide ones; the pairs below keep the
// two overload sets identical apart from the call they make. A zero inside a path would silently
// cut it short at the system call.
bool Usable(const std::string& path) { return path.find('\0') == std::string::npos; }
bool Usable(const std::wstring& path) { return path.find(L'\0') == std::wstring::npos; }

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }
DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

HANDLE Create(const std::string& path, DWORD access, DWORD disposition, DWORD flags)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, flags, nullptr);
}

HANDLE Create(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, flags, nullptr);
}

bool IsReparsePoint(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    return !GetFileInformationByHandle(handle, &information) ||
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

template <typename String>
bool Exists(const String& path)
{
    return Usable(path) && Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

template <typename String>
PathKind KindOf(const String& path)
{
    if (!Usable(path))
        return PathKind::Missing;
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                              : PathKind::Other;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return PathKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return PathKind::Directory;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return PathKind::Other;
    return PathKind::File;
}

// Opened through the file API so that every mode shares the file with other readers and writers
// and a new file can be created exclusively; only files on disk are kept (not a console, a pipe or
// another device that a reserved name reaches).
template <typename String>
FilePtr OpenStream(const String& path, FileMode mode, bool followLink)
{
    if (!Usable(path))
        return nullptr;
    DWORD access = GENERIC_WRITE;
    DWORD disposition = CREATE_NEW;
    int flags = _O_WRONLY | _O_BINARY;
    const char* streamMode = "wb";
    switch (mode) {
    case FileMode::Read:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags = _O_RDONLY | _O_BINARY;
        streamMode = "rb";
        break;
    case FileMode::CreateNew:
        followLink = false;
        break;
    }
    // Not following, a reparse point (a link, a junction) is opened itself, and then refused.
    const HANDLE handle = Create(path, access, disposition,
                                 FILE_ATTRIBUTE_NORMAL | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (GetFileType(handle) != FILE_TYPE_DISK || (!followLink && IsReparsePoint(handle))) {
        CloseHandle(handle);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FilePtr file(_fdopen(fd, streamMode));
    if (!file)
        _close(fd);  // closes the handle too
    return file;
}

struct FindCloser {
    void operator()(HANDLE find) const noexcept { FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

HANDLE FindFirst(const std::string& pattern, WIN32_FIND_DATAA& data)
{
    return FindFirstFileA(pattern.c_str(), &data);
}
HANDLE FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW& data)
{
    return FindFirstFileW(pattern.c_str(), &data);
}
BOOL FindNext(HANDLE find, WIN32_FIND_DATAA& data) { return FindNextFileA(find, &data); }
BOOL FindNext(HANDLE find, WIN32_FIND_DATAW& data) { return FindNextFileW(find, &data); }

template <typename String, typename FindData>
bool List(const String& folder, std::vector<String>& names)
{
    using Char = typename String::value_type;
    if (!Usable(folder))
        return false;
    FindData data{};
    const Char pattern[] = {'*', '.', '*', 0};
    const HANDLE first = FindFirst(JoinPath(folder, pattern), data);
    if (first == INVALID_HANDLE_VALUE)
        return false;
    FindHandle find(first);
    std::vector<String> found;
    do {
        const String name = data.cFileName;
        const Char dot[] = {'.', 0};
        const Char dotDot[] = {'.', '.', 0};
        if (name != dot && name != dotDot)
            found.push_back(name);
    } while (FindNext(find.get(), data));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    names.insert(names.end(), found.begin(), found.end());
    return true;
}

// As the narrow file functions read it: in the ANSI code page (or the OEM one, if the process
// switched its file functions to that).
std::optional<std::wstring> NativePath(const DirectoryHandle::Name& name)
{
    if (const auto* wide = std::get_if<std::wstring_view>(&name)) {
        std::wstring path(*wide);
        return Usable(path) ? std::optional<std::wstring>(std::move(path)) : std::nullopt;
    }
    const std::string_view narrow = std::get<std::string_view>(name);
    if (narrow.find('\0') != std::string_view::npos)
        return std::nullopt;
    const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int size = static_cast<int>(narrow.size());
    const int length = narrow.empty() ? 0 : MultiByteToWideChar(codePage, 0, narrow.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0)
        MultiByteToWideChar(codePage, 0, narrow.data(), size, wide.data(), length);
    return wide;
}

// A name that stays inside the folder: one component, neither "." nor "..", and no ":", which
// would name a stream of a file rather than a file.
std::optional<std::wstring> Component(const DirectoryHandle::Name& name)
{
    std::optional<std::wstring> native = NativePath(name);
    if (!native || native->empty() || *native == L"." || *native == L".." ||
        native->find_first_of(L"/\\:") != std::wstring::npos)
        return std::nullopt;
    return native;
}

// The folder, opened so that it cannot be renamed, removed or replaced while the handle is held:
// without sharing the right to delete it, and with a right (listing) that the sharing check counts.
HANDLE OpenFolderHandle(const std::wstring& path, bool followLink)
{
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

struct DirectoryHandle::Native {
    Native(HANDLE folder, std::wstring folderPath) : handle(folder), path(std::move(folderPath)) {}
    ~Native() { CloseHandle(handle); }
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    const HANDLE handle;
    const std::wstring path;

    // The path of name inside the folder, or nothing when name is not one component.
    std::optional<std::wstring> Inside(const Name& name) const
    {
        const auto component = Component(name);
        return component ? std::optional<std::wstring>(JoinPath(path, *component)) : std::nullopt;
    }
};

void DirectoryHandle::NativeDeleter::operator()(Native* native) const noexcept { delete native; }

DirectoryHandle DirectoryHandle::Open(Name path)
{
    auto native = NativePath(path);
    const HANDLE handle = native && !native->empty() ? OpenFolderHandle(*native, true) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE)
        return DirectoryHandle();
    return DirectoryHandle(new Native(handle, std::move(*native)));
}

DirectoryHandle DirectoryHandle::OpenFolder(Name name) const
{
    auto inside = native_ ? native_->Inside(name) : std::nullopt;
    const HANDLE handle = inside ? OpenFolderHandle(*inside, false) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE)
        return DirectoryHandle();
    return DirectoryHandle(new Native(handle, std::move(*inside)));
}

bool DirectoryHandle::MakeFolder(Name name) const
{
    const auto inside = native_ ? native_->Inside(name) : std::nullopt;
    return inside && CreateDirectoryW(inside->c_str(), nullptr) != 0;
}

PathKind DirectoryHandle::KindOf(Name name) const
{
    const auto inside = native_ ? native_->Inside(name) : std::nullopt;
    return inside ? GetPathKind(*inside) : PathKind::Missing;
}

FilePtr DirectoryHandle::CreateNewFile(Name name) const
{
    const auto inside = native_ ? native_->Inside(name) : std::nullopt;
    return inside ? OpenStream(*inside, FileMode::CreateNew, false) : nullptr;
}

FilePtr DirectoryHandle::OpenForReading(Name name) const
{
    const auto inside = native_ ? native_->Inside(name) : std::nullopt;
    return inside ? OpenStream(*inside, FileMode::Read, false) : nullptr;
}

bool DirectoryHandle::Rename(Name from, Name to) const
{
    const auto source = native_ ? native_->Inside(from) : std::nullopt;
    const auto target = native_ ? native_->Inside(to) : std::nullopt;
    return source && target && MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DirectoryHandle::Remove(Name name) const
{
    const auto inside = native_ ? native_->Inside(name) : std::nullopt;
    return inside && DeleteFileW(inside->c_str()) != 0;
}

bool DirectoryHandle::List(std::vector<Entry>& entries) const
{
    // The held folder cannot be renamed or replaced, so listing it by its path lists this folder.
    // What each entry is is left to KindOf, which tells a reparse point from a folder.
    std::vector<std::wstring> wide;
    if (!native_ || !ListDirectory(native_->path, wide))
        return false;
    for (const std::wstring& name : wide)
        entries.push_back({NarrowPath(name), std::nullopt});
    return true;
}

const char* NullDevicePath() { return "NUL"; }

char PathSeparator() { return '\\'; }

bool PathExists(const std::string& path) { return Exists(path); }
bool PathExists(const std::wstring& path) { return Exists(path); }

PathKind GetPathKind(const std::string& path) { return KindOf(path); }
PathKind GetPathKind(const std::wstring& path) { return KindOf(path); }

bool MakeDirectory(const std::string& path)
{
    return Usable(path) && CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool MakeDirectory(const std::wstring& path)
{
    return Usable(path) && CreateDirectoryW(path.c_str(), nullptr) != 0;
}

FilePtr OpenFile(const std::string& path, FileMode mode) { return OpenStream(path, mode, true); }
FilePtr OpenFile(const std::wstring& path, FileMode mode) { return OpenStream(path, mode, true); }

bool ListDirectory(const std::string& folder, std::vector<std::string>& names)
{
    return List<std::string, WIN32_FIND_DATAA>(folder, names);
}

bool ListDirectory(const std::wstring& folder, std::vector<std::wstring>& names)
{
    return List<std::wstring, WIN32_FIND_DATAW>(folder, names);
}

bool RemoveFile(const std::string& path) { return Usable(path) && DeleteFileA(path.c_str()) != 0; }
bool RemoveFile(const std::wstring& path) { return Usable(path) && DeleteFileW(path.c_str()) != 0; }

bool RenameReplacing(const std::string& from, const std::string& to)
{
    return Usable(from) && Usable(to) &&
           MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string NarrowPath(std::wstring_view path)
{
    const int size = static_cast<int>(path.size());
    const int length =
        path.empty() ? 0 : WideCharToMultiByte(CP_ACP, 0, path.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_ACP, 0, path.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::wstring WidePath(std::string_view path)
{
    return NativePath(DirectoryHandle::Name(path)).value_or(std::wstring());
}

bool GetModificationTime(std::FILE* file, std::tm& local)
{
    struct _stat64 status {};
    if (!file || _fstat64(_fileno(file), &status) != 0)
        return false;
    return _localtime64_s(&local, &status.st_mtime) == 0;
}

bool GetFileStamp(std::FILE* file, FileStamp& stamp)
{
    // The C runtime's status has whole seconds only; the handle's has the file system's 100 ns.
    BY_HANDLE_FILE_INFORMATION information{};
    const auto handle = file ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information))
        return false;
    stamp.size = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    stamp.modified =
        static_cast<std::int64_t>(std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32 |
                                  information.ftLastWriteTime.dwLowDateTime);
    return true;
}

}  // namespace quillon
