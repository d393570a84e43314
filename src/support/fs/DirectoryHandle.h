// A folder held open, and the work done inside it by name, so that nothing on disk can send that
// work elsewhere: whoever may write in the folder can swap a subfolder for a link, or plant a link
// where a file is to be written, at any moment. Paths are looked up again at every call; a handle
// is looked up once.
//
// A name here is one component (no separator, not "." or ".."), narrow or wide as in Paths.h. No
// name is followed when it is a link; only the path given to Open is, since the caller chose it.
//
// On POSIX the handle is a descriptor of the folder and every call works relative to it (openat,
// mkdirat, renameat, ...), so a folder renamed or replaced after it was opened changes nothing. On
// Windows a folder is opened without sharing the right to delete it, refused when it is a reparse
// point, and held: while the handle is open the folder cannot be renamed, removed or replaced, so
// the work inside it can go by path.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/fs/Paths.h"

namespace quillon {

// What the names of the library's temporary files start with: hidden where a leading dot hides a
// file, and telling whoever finds one whose it is.
inline constexpr std::string_view kTemporaryPrefix = ".quillon-";

class DirectoryHandle {
public:
    using Name = std::variant<std::string_view, std::wstring_view>;

    DirectoryHandle() = default;  // none: every call fails

    // The folder at path, through a link if path is one. Empty when it is no folder or cannot be
    // opened.
    static DirectoryHandle Open(Name path);

    explicit operator bool() const { return native_ != nullptr; }

    // The folder called name inside this one; empty when name is a link, not a folder, or missing.
    DirectoryHandle OpenFolder(Name name) const;
    // Creates the folder name; false when anything of that name exists or it cannot be made.
    bool MakeFolder(Name name) const;
    // What name is here; a link is reported as one, never followed.
    PathKind KindOf(Name name) const;
    // A name in this folder, and what it is where the listing says so (no need to ask KindOf).
    struct Entry {
        std::string name;
        std::optional<PathKind> kind;
    };
    // Adds the entries of this folder (not "." and "..") in no particular order, named as the
    // narrow file functions name them; false, adding nothing, when the folder cannot be read.
    bool List(std::vector<Entry>& entries) const;
    // A new file; fails when anything of that name exists, a link included.
    FilePtr CreateNewFile(Name name) const;
    // A new file under a fresh name (prefix, then a part no other call gives), tried as
    // CreateFileBeside (Paths.h) tries its names; name is set to what was created.
    FilePtr CreateFreshFile(std::string_view prefix, std::string& name) const;
    // An existing file, for reading; refused when name is a link.
    FilePtr OpenForReading(Name name) const;
    // Renames from to to, both here, replacing a file (or a link itself) of that name.
    bool Rename(Name from, Name to) const;
    // Removes the file (or link) name.
    bool Remove(Name name) const;

private:
    struct Native;  // the platform's handle
    struct NativeDeleter {
        void operator()(Native* native) const noexcept;
    };
    explicit DirectoryHandle(Native* native) : native_(native) {}

    std::unique_ptr<Native, NativeDeleter> native_;
};

}  // namespace quillon
