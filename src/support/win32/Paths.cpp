#include "support/Paths.h"

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
#include <type_traits>

namespace quillon {

namespace {

// Narrow paths go to the ANSI entry points, wide paths to the wide ones; the pairs below keep the
// two overload sets identical apart from the call they make. A zero inside a path would silently
// cut it short at the system call.
bool Usable(const std::string& path) { return path.find('\0') == std::string::npos; }
bool Usable(const std::wstring& path) { return path.find(L'\0') == std::wstring::npos; }

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }
DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

HANDLE Create(const std::string& path, DWORD access, DWORD disposition)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE Create(const std::wstring& path, DWORD access, DWORD disposition)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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
FilePtr Open(const String& path, FileMode mode)
{
    if (!Usable(path))
        return nullptr;
    DWORD access = GENERIC_WRITE;
    DWORD disposition = CREATE_ALWAYS;
    int flags = _O_WRONLY | _O_BINARY;
    const char* streamMode = "wb";
    switch (mode) {
    case FileMode::Read:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags = _O_RDONLY | _O_BINARY;
        streamMode = "rb";
        break;
    case FileMode::Write:
        break;
    case FileMode::CreateNew:
        disposition = CREATE_NEW;
        break;
    }
    const HANDLE handle = Create(path, access, disposition);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
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

}  // namespace

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

FilePtr OpenFile(const std::string& path, FileMode mode) { return Open(path, mode); }
FilePtr OpenFile(const std::wstring& path, FileMode mode) { return Open(path, mode); }

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

bool GetModificationTime(std::FILE* file, std::tm& local)
{
    struct _stat64 status {};
    if (!file || _fstat64(_fileno(file), &status) != 0)
        return false;
    return _localtime64_s(&local, &status.st_mtime) == 0;
}

namespace {

template <typename Char>
bool IsReservedName(std::basic_string_view<Char> component)
{
    // Windows drops a trailing dot or blank: such a name opens another one.
    if (!component.empty() && (component.back() == Char('.') || component.back() == Char(' ')))
        return true;
    // The name counts up to its first dot, without trailing blanks: "nul.txt" and "COM1 .log" are
    // devices as well. The devices' names are ASCII.
    std::basic_string_view<Char> base = component.substr(0, component.find(Char('.')));
    while (!base.empty() && base.back() == Char(' '))
        base.remove_suffix(1);
    std::string upper;
    for (const Char c : base) {
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        if (code > 0x7F)
            return false;
        upper.push_back(static_cast<char>(std::toupper(static_cast<int>(code))));
    }
    static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN", "AUX", "NUL", "CONIN$",
                                                               "CONOUT$"};
    for (const auto name : kNames) {
        if (upper == name)
            return true;
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

}  // namespace

bool IsReservedDeviceName(std::string_view component) { return IsReservedName(component); }
bool IsReservedDeviceName(std::wstring_view component) { return IsReservedName(component); }

}  // namespace quillon
