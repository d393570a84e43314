// Helpers for tests that work on real files in a TempFolder (see ScratchFolder.h): to fill one and
// to take a byte-for-byte picture of a tree so that a test can prove that nothing changed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "common/ScratchFolder.h"

namespace quillon::testing {

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
