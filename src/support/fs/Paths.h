// Paths, and every file-system call the library makes, in one place.
//
// Narrow paths are handed to the file system as they are: bytes in the process's ANSI code page on
// Windows, bytes in the file system's own encoding elsewhere. Wide paths are what Windows uses
// natively; elsewhere they are converted to UTF-8 here and nowhere else. That conversion is
// lossless both ways: a byte of a listed name that is not UTF-8 travels in its wide form as the
// lone surrogate U+DC80 + byte, and turns back into the same byte, so any name that a listing
// returns opens again.
//
// Names that come from a package or an archive (an entry name, a file name in a list, a serial
// number that names a file) were written on Windows, where a backslash separates folders. They are
// joined with JoinRelativePath, which takes both "/" and "\" as separators on every platform, so a
// package made on Windows lands in the same tree here. Names that come from the file system itself
// (a directory listing) are single components and are joined with JoinPath, verbatim.
//
// Work inside a folder that must not be redirected by a link (unpacking, packing, copying a
// package) goes through support/DirectoryHandle.h, whose platform parts live beside these.
//
// Nothing here throws; failures are reported by the result.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/base/Export.h"
#include "support/fs/Names.h"

namespace quillon {

// The separator that the platform's file system uses: a backslash on Windows, a slash elsewhere.
char PathSeparator();

// The file that swallows whatever is written to it: "/dev/null", or "NUL" on Windows.
const char* NullDevicePath();

// folder + separator + name. The name is one component and is taken as it is; nothing is stripped
// from the folder, so a folder ending in a separator gives a doubled one (which file systems treat
// as one).
std::string JoinPath(std::string_view folder, std::string_view name);
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// folder + separator + relative, where every "/" and "\" in relative becomes the platform's
// separator. For names from packages and archives; checking that relative stays below folder is
// the caller's business (see archive/EntryName.h).
std::string JoinRelativePath(std::string_view folder, std::string_view relative);
std::wstring JoinRelativePath(std::wstring_view folder, std::wstring_view relative);

// The parts of such a name between its separators ("/" and "\"), in order, empty ones included;
// the last one is the file name.
std::vector<std::string_view> SplitRelativePath(std::string_view relative);

// Whether something of that name exists: a file, a folder, or a link to either.
bool PathExists(const std::string& path);
bool PathExists(const std::wstring& path);

// What a path names, without following a link in its last component.
enum class PathKind { Missing, File, Directory, Link, Other };
PathKind GetPathKind(const std::string& path);
PathKind GetPathKind(const std::wstring& path);

// Creates one folder; its parent must exist. False when it cannot be created or already exists.
bool MakeDirectory(const std::string& path);
bool MakeDirectory(const std::wstring& path);

// A file stream that closes itself. Use CloseFile where a write has to be confirmed: the deleter
// cannot report a failed flush.
struct FileCloser {
    void operator()(std::FILE* file) const noexcept;
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// All modes are binary: bytes are read and written unchanged on every platform. Files are shared
// with other readers and writers while open. There is deliberately no mode that writes into a file
// that exists: whatever stands at a path, a link planted there included, could take the bytes
// elsewhere. A file is written new, under a fresh name, and renamed over its path when complete.
enum class FileMode {
    Read,       // an existing file; a folder is refused on every platform
    CreateNew,  // created; fails when anything of that name exists, and a link there is never followed
};
FilePtr OpenFile(const std::string& path, FileMode mode);
FilePtr OpenFile(const std::wstring& path, FileMode mode);

// Creates a new, empty file beside path, for content that is to replace path once complete (with
// RenameReplacing): its name is path's with "." and a fresh part added, one that no other call of
// this or another process gives, so no search over names used before is needed. It is created
// with FileMode::CreateNew; only when the name is taken nonetheless (a file planted by someone
// who saw an earlier name) is another one tried, a few times at most. Null, with created empty,
// when the folder takes no new file.
FilePtr CreateFileBeside(const std::string& path, std::string& created);

// Closes the file; true when everything written to it reached the file system.
bool CloseFile(FilePtr file);

// Appends the names (not paths) of the folder's entries, files and folders alike, "." and ".."
// left out, in the order the file system gives them. False, with names unchanged, when the folder
// cannot be listed or the listing breaks off.
bool ListDirectory(const std::string& folder, std::vector<std::string>& names);
bool ListDirectory(const std::wstring& folder, std::vector<std::wstring>& names);

// Removes a file (not a folder).
bool RemoveFile(const std::string& path);
bool RemoveFile(const std::wstring& path);

// Renames from to to within one file system, replacing a file of that name. A link at to is
// replaced itself; what it points to is not written.
bool RenameReplacing(const std::string& from, const std::string& to);

// A wide path as narrow text, for a message: the file system's own bytes on POSIX, the ANSI code
// page on Windows (where a character outside it shows as "?").
// Exported for the tools, which print the folders the library makes exactly as they are named.
QUILLON_API std::string NarrowPath(std::wstring_view path);

// The way there: a narrow path as a program receives it (its arguments) as the wide path the
// library's wide functions take, naming the same file: the file system's bytes read as UTF-8, each
// byte outside a valid sequence kept on its own, on POSIX; the ANSI code page on Windows. Exported
// for the tools, as the C++ library's own conversion depends on the locale and refuses such names.
QUILLON_API std::wstring WidePath(std::string_view path);

// The local time at which the open file was last modified.
bool GetModificationTime(std::FILE* file, std::tm& local);

// What tells one state of an open file from a later one: its size and the moment it was last
// written, as finely as the system keeps it (a rename over its name leaves it as it was).
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the system's own unit
    bool operator==(const FileStamp&) const = default;
};
bool GetFileStamp(std::FILE* file, FileStamp& stamp);

}  // namespace quillon
