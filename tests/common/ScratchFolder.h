// Scratch folders for tests and fuzz targets that work on real files: TempFolder, a new empty
// folder removed with everything in it when the object goes, and ScratchFolder, which builds trees
// in one from relative names and spells paths as the library does, with the platform's separator.
// Free of the test framework, so that the fuzz targets share them; a failure throws.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace quillon::testing {

namespace fs = std::filesystem;

inline void WriteBytes(const fs::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempFolder {
public:
    TempFolder()
    {
        std::random_device random;
        const fs::path base = fs::temp_directory_path();
        std::error_code error;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const fs::path candidate = base / ("quillon-test-" + std::to_string(random()));
            if (fs::create_directory(candidate, error))
                path_ = candidate;
        }
        if (path_.empty())
            throw std::runtime_error("cannot create a temporary folder under " + base.string());
    }
    ~TempFolder()
    {
        // Folders a test made unreadable are opened up again, so they can be removed.
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(path_, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->is_directory(error) && !it->is_symlink(error))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        }
        fs::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& path() const { return path_; }
    // The folder, or a path below it, as the narrow string that the library takes.
    std::string str(std::string_view below = {}) const
    {
        return below.empty() ? path_.string() : (path_ / fs::path(below)).string();
    }

private:
    fs::path path_;
};

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
        fs::create_directories(path(relative));
        return path(relative);
    }

    // Writes the file, making the folders above it; returns its path.
    std::string file(const std::string& relative, const std::string& contents = {}) const
    {
        folder(fs::path(relative).parent_path().string());
        WriteBytes(path(relative), contents);
        return path(relative);
    }
};

}  // namespace quillon::testing
