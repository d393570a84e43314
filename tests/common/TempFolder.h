// A sandbox folder for tests that work on real files, with small helpers to fill it and to take a
// byte-for-byte picture of a tree so that a test can prove that nothing changed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace quillon::testing {

namespace fs = std::filesystem;

// A new, empty folder under the system's temporary folder, removed with everything in it when the
// object goes.
class TempFolder {
public:
    TempFolder()
    {
        std::random_device random;
        const fs::path base = fs::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate = base / ("quillon-test-" + std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                path_ = candidate;
                return;
            }
        }
        ADD_FAILURE() << "cannot create a temporary folder under " << base;
    }
    ~TempFolder()
    {
        std::error_code error;
        if (!path_.empty()) {
            // Folders a test made unreadable are opened up again, so they can be removed.
            for (auto it = fs::recursive_directory_iterator(path_, error);
                 !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                if (it->is_directory(error) && !it->is_symlink(error))
                    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
            }
            fs::remove_all(path_, error);
        }
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

inline void WriteBytes(const fs::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deterministic bytes that do not compress, for files of some size.
inline std::string NoiseBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// Everything below root: each path relative to root, with "dir", "link:<target>", "other" or
// "file:<content>". Two equal pictures mean an unchanged tree.
using Tree = std::map<std::string, std::string>;

inline Tree SnapshotTree(const fs::path& root)
{
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = fs::relative(it->path(), root).generic_string();
        if (it->is_symlink())
            tree[relative] = "link:" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[relative] = "dir";
        else if (it->is_regular_file())
            tree[relative] = "file:" + ReadBytes(it->path());
        else
            tree[relative] = "other";  // a FIFO or a device: reading it could wait for ever
    }
    EXPECT_FALSE(error) << "cannot walk " << root << ": " << error.message();
    return tree;
}

// What differs between two pictures of a tree, one line a path; empty when they are equal. Keeps
// a failure readable when the files hold binary data.
inline std::string TreeChanges(const Tree& before, const Tree& after)
{
    std::string changes;
    for (const auto& [path, content] : before) {
        const auto found = after.find(path);
        if (found == after.end())
            changes += "gone: " + path + "\n";
        else if (found->second != content)
            changes += "changed: " + path + "\n";
    }
    for (const auto& [path, content] : after) {
        if (!before.count(path))
            changes += "new: " + path + "\n";
    }
    return changes;
}

// Runs a shell command; its standard output and error go to output_file when one is given.
inline int RunCommand(const std::string& command, const fs::path& outputFile = {})
{
    std::fflush(nullptr);
    std::string line = command;
    if (!outputFile.empty())
        line += " >\"" + outputFile.string() + "\" 2>&1";
    return std::system(line.c_str());
}

}  // namespace quillon::testing
