#include "support/fs/ScratchFile.h"

#include <random>
#include <system_error>

namespace quillon {

namespace fs = std::filesystem;

ScratchFile::ScratchFile(const fs::path& folder, const std::string& stem, const std::string& suffix)
{
    std::random_device random;
    std::error_code error;
    const fs::path base = folder.empty() ? fs::temp_directory_path(error) : folder;
    if (!error)
        path_ =
            base / ("." + stem + ".quillon-" + std::to_string(random()) + std::to_string(random()) + suffix);
}

ScratchFile::ScratchFile(const fs::path& replaced)
    : ScratchFile(replaced.parent_path().empty() ? fs::path(".") : replaced.parent_path(),
                  replaced.filename().string(), ".zip")
{}

ScratchFile::~ScratchFile()
{
    if (path_.empty())
        return;
    std::error_code ignored;
    fs::remove(path_, ignored);
    fs::remove(path_.string() + ".part", ignored);
}

}  // namespace quillon
