#include "support/fs/BrowseDirBase.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "support/fs/DirectoryHandle.h"
#include "support/fs/Paths.h"
#include "support/fs/Wildcard.h"

namespace {

// Copies text and its terminating zero into the buffer. A text that does not fit is refused, and
// the buffer is left empty so that nothing half-copied is ever used.
bool Store(char (&buffer)[CBrowseDirBase::kPathCapacity], const char* text)
{
    buffer[0] = '\0';
    if (text == nullptr)
        return false;
    const std::size_t length = std::strlen(text);
    if (length >= CBrowseDirBase::kPathCapacity)
        return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}

// A folder given with a separator at its end ("C:\", "/") keeps just that one.
std::string Join(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && (folder.back() == quillon::PathSeparator() || folder.back() == '/'))
        return folder + name;
    return quillon::JoinPath(folder, name);
}

// Down to this depth each folder on the way is held open and its entries are looked at through it,
// so that a look costs the same however deep the folder lies (by path, the system walks the whole
// path again for every entry: a deep tree cost the square of its depth). Deeper, folders go by
// path: the walk never holds more than this many descriptors, however deep a tree on disk is.
constexpr std::size_t kHeldFolders = 128;

using Entry = quillon::DirectoryHandle::Entry;

// A folder on the way down: its entries in name order, and how far the walk has got in them.
struct OpenFolder {
    std::string path;
    std::string parentPath;
    quillon::DirectoryHandle handle;  // none below kHeldFolders
    std::vector<Entry> entries;
    std::size_t next = 0;

    quillon::PathKind KindOf(const Entry& entry, const std::string& entryPath) const
    {
        if (entry.kind)
            return *entry.kind;
        return handle ? handle.KindOf(entry.name) : quillon::GetPathKind(entryPath);
    }
};

bool ListByPath(const std::string& path, std::vector<Entry>& entries)
{
    std::vector<std::string> names;
    if (!quillon::ListDirectory(path, names))
        return false;
    for (std::string& name : names)
        entries.push_back({std::move(name), std::nullopt});
    return true;
}

// The folder is opened through its parent's handle where there is one: a link never leads the walk
// elsewhere, whoever swaps one in.
bool Open(std::string path, std::string parentPath, quillon::DirectoryHandle handle,
          std::vector<OpenFolder>& open)
{
    OpenFolder folder{std::move(path), std::move(parentPath), std::move(handle), {}, 0};
    const bool listed =
        folder.handle ? folder.handle.List(folder.entries) : ListByPath(folder.path, folder.entries);
    if (!listed)
        return false;
    std::sort(folder.entries.begin(), folder.entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    open.push_back(std::move(folder));
    return true;
}

}  // namespace

CBrowseDirBase::CBrowseDirBase()
{
    std::memset(InitialDir, 0, sizeof InitialDir);
    std::memset(FilePattern, 0, sizeof FilePattern);
}

CBrowseDirBase::~CBrowseDirBase() = default;

bool CBrowseDirBase::SetInitDir(const char* dir)
{
    if (!Store(InitialDir, dir))
        return false;
    const quillon::PathKind kind = quillon::GetPathKind(InitialDir);
    // The caller may name the tree through a link; below it, links are never followed.
    std::vector<std::string> ignored;
    if (kind == quillon::PathKind::Directory ||
        (kind == quillon::PathKind::Link && quillon::ListDirectory(InitialDir, ignored)))
        return true;
    InitialDir[0] = '\0';
    return false;
}

bool CBrowseDirBase::BeginBrowse(const char* pattern)
{
    if (!Store(FilePattern, pattern) || InitialDir[0] == '\0')
        return false;
    const std::string filePattern = FilePattern;

    // An explicit stack rather than recursion: the depth of a tree on disk is not ours to bound.
    std::vector<OpenFolder> open;
    quillon::DirectoryHandle root = quillon::DirectoryHandle::Open(std::string_view(InitialDir));
    if (!root || !Open(InitialDir, std::string(), std::move(root), open))
        return false;
    while (!open.empty()) {
        OpenFolder& folder = open.back();
        if (folder.next == folder.entries.size()) {
            OpenFolder done = std::move(folder);
            open.pop_back();
            ProcessDir(std::move(done.path), std::move(done.parentPath));
            continue;
        }
        const Entry& entry = folder.entries[folder.next++];
        const std::string& name = entry.name;
        std::string path = Join(folder.path, name);
        switch (folder.KindOf(entry, path)) {
        case quillon::PathKind::File:
            if (quillon::WildcardMatch(filePattern, name) && !ProcessFile(std::move(path)))
                return false;
            break;
        case quillon::PathKind::Directory: {
            quillon::DirectoryHandle inner;
            if (folder.handle && open.size() < kHeldFolders) {
                inner = folder.handle.OpenFolder(name);
                if (!inner)
                    return false;
            }
            // folder is not used after this: Open may move the stack's storage.
            if (!Open(std::move(path), folder.path, std::move(inner), open))
                return false;
            break;
        }
        default:
            // Links stay unfollowed, devices and sockets are no files, and an entry that went away
            // since the listing has nothing left to visit.
            break;
        }
    }
    return true;
}

bool CBrowseDirBase::ProcessFile(std::string) { return true; }

bool CBrowseDirBase::ProcessDir(std::string, std::string) { return true; }
