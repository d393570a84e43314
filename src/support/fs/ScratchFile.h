// A file name of one's own for something that replaces another file only once it is whole: a
// failed or interrupted write never leaves a file that looks good, and never touches the one it
// was to replace.
#pragma once

#include <filesystem>
#include <string>

namespace quillon {

// A file name that no other run takes, in folder (the system's temporary folder when empty),
// removed with what the library may have left beside it (".part") when the object goes, unless
// kept. Its path is empty when there is no temporary folder.
class ScratchFile {
public:
    ScratchFile(const std::filesystem::path& folder, const std::string& stem, const std::string& suffix);
    // Beside a file that what is written here is to replace, once whole (in the same folder, so
    // that a rename puts it in place).
    explicit ScratchFile(const std::filesystem::path& replaced);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The file has been renamed into place: nothing is left to remove.
    void Kept() { path_.clear(); }

private:
    std::filesystem::path path_;
};

}  // namespace quillon
