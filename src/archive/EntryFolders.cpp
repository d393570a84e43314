#include "archive/EntryFolders.h"

#include <vector>

namespace quillon {

EntryFolders::EntryFolders(const std::string& root)
{
    if (DirectoryHandle folder = DirectoryHandle::Open(root))
        folders_.emplace(std::string(), std::move(folder));
}

EntryFolders::operator bool() const { return folders_.count(std::string()) != 0; }

const DirectoryHandle* EntryFolders::FolderOf(std::string_view name, std::string& why)
{
    const auto root = folders_.find(std::string());
    if (root == folders_.end()) {
        why = "needs a folder that cannot be opened";
        return nullptr;
    }
    const DirectoryHandle* folder = &root->second;
    const std::vector<std::string_view> parts = SplitRelativePath(name);
    std::string key;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (i > 0)
            key += '/';
        key += parts[i];
        const auto [known, added] = folders_.try_emplace(key);
        if (added) {
            known->second = folder->OpenFolder(parts[i]);
            if (!known->second) {
                const PathKind kind = folder->KindOf(parts[i]);
                why = kind == PathKind::Link        ? "goes through a link"
                      : kind == PathKind::Directory ? "needs a folder that cannot be opened"
                                                    : "needs a folder that does not exist";
                folders_.erase(known);
                return nullptr;
            }
        }
        folder = &known->second;
    }
    return folder;
}

}  // namespace quillon
