// What a path names, asked without exceptions: a path from outside may name nothing, something
// unreadable or something of another kind, and each of those is an answer, not an error.
#pragma once

#include <filesystem>
#include <system_error>

namespace quillon {

inline bool IsDirectory(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

inline bool IsRegularFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

// Whether the folder a new file at path would land in exists ("" is the current folder).
inline bool ParentExists(const std::filesystem::path& path)
{
    const std::filesystem::path parent = path.parent_path();
    return parent.empty() || IsDirectory(parent);
}

}  // namespace quillon
