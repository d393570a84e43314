// A scratch folder for fuzz targets that write files, made once per process and emptied between
// inputs; and a check that nothing was written outside the folder a target gave the library.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/fs/Paths.h"

namespace quillon::fuzz {

namespace fs = std::filesystem;

class Scratch {
public:
    Scratch()
    {
        std::error_code error;
        const fs::path base = fs::temp_directory_path(error);
        for (int attempt = 0; attempt < 1000 && root_.empty(); ++attempt) {
            const fs::path candidate = base / ("quillon-fuzz-" + std::to_string(std::rand()));
            if (fs::create_directory(candidate, error))
                root_ = candidate;
        }
        if (root_.empty())
            std::abort();
    }
    ~Scratch()
    {
        std::error_code error;
        fs::remove_all(root_, error);
    }

    const fs::path& root() const { return root_; }

    // Leaves the root holding exactly the given subfolders, empty. Folders that are already empty
    // are kept: most inputs write nothing, and a fuzzer's speed is its reach.
    void Reset(std::initializer_list<const char*> folders)
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(root_, error)) {
            const std::string name = entry.path().filename().string();
            bool wanted = false;
            for (const char* folder : folders)
                wanted |= name == folder;
            if (!wanted || !entry.is_directory(error) || entry.is_symlink(error) ||
                !fs::is_empty(entry.path(), error))
                fs::remove_all(entry.path(), error);
        }
        for (const char* folder : folders)
            fs::create_directory(root_ / folder, error);
    }

    // Aborts (a finding) when the root holds anything but the allowed top-level names.
    void ExpectOnly(std::initializer_list<const char*> allowed) const
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(root_, error)) {
            const std::string name = entry.path().filename().string();
            bool ok = false;
            for (const char* a : allowed)
                ok |= name == a;
            if (!ok) {
                std::fprintf(stderr, "written outside its folder: %s\n", entry.path().string().c_str());
                std::abort();
            }
        }
    }

private:
    fs::path root_;
};

// The library's diagnostic lines go to standard output; a fuzzer running millions of inputs has no
// use for them, and writing them would be most of its time.
inline void SilenceDiagnostics()
{
    if (!std::freopen(NullDevicePath(), "w", stdout))
        std::abort();
}

}  // namespace quillon::fuzz
