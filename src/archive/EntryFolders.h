// The folders that a packing reads entries from, or an unpacking writes them into, below its own
// folder. Whoever may write there can swap a folder for a link at any moment, so each folder is
// opened once, never through a link, and held until this goes (support/DirectoryHandle.h): an entry
// read or written through it stays below the packing or unpacking folder.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "support/fs/DirectoryHandle.h"

namespace quillon {

class EntryFolders {
public:
    // The packing or unpacking folder itself may be reached through a link: the caller chose it.
    explicit EntryFolders(const std::string& root);

    explicit operator bool() const;

    // The folder that holds the entry of that name (an accepted one, see archive/EntryName.h):
    // the one that its parts before the last lead to. Null when there is none, with why set to
    // "goes through a link", "needs a folder that does not exist" or "needs a folder that cannot be
    // opened". The folder stays valid as long as this object.
    const DirectoryHandle* FolderOf(std::string_view name, std::string& why);

private:
    // By the entry's parts before its last, joined with "/"; "" is the root.
    std::unordered_map<std::string, DirectoryHandle> folders_;
};

}  // namespace quillon
