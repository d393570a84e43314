// A folder of the micro benchmarks' own, removed with what is in it: under the system's temporary
// folder, or under another folder given.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace quillon::bench {

class ScratchFolder {
public:
    explicit ScratchFolder(const std::filesystem::path& under = std::filesystem::temp_directory_path())
    {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::filesystem::path candidate = under / ("quillon-bench-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error))
                path_ = candidate;
        }
    }
    ~ScratchFolder()
    {
        std::error_code error;
        if (!path_.empty())
            std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace quillon::bench
