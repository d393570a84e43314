// A temporary folder (see TempFolder.h) that builds trees from relative names and spells paths as
// the library does, with the platform's separator.
#pragma once

#include <filesystem>
#include <string>

#include "common/TempFolder.h"

namespace quillon::testing {

class ScratchFolder : public TempFolder {
public:
    // The folder itself, or relative ("/" between its parts) below it.
    std::string path(const std::string& relative = {}) const
    {
        return relative.empty() ? str() : (TempFolder::path() / relative).make_preferred().string();
    }

    // Makes the folder and those above it; returns its path.
    std::string folder(const std::string& relative) const
    {
        std::filesystem::create_directories(path(relative));
        return path(relative);
    }

    // Writes the file, making the folders above it; returns its path.
    std::string file(const std::string& relative, const std::string& contents = {}) const
    {
        folder(std::filesystem::path(relative).parent_path().string());
        WriteBytes(path(relative), contents);
        return path(relative);
    }
};

}  // namespace quillon::testing
