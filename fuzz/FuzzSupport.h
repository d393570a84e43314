// What the fuzz targets share: their bytes read as a sequence of decisions and pieces, the link key
// their seeds are scrambled with, and a scratch folder that catches writes outside their folders.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/ScratchFolder.h"
#include "protocol/FrameCodec.h"
#include "support/fs/Paths.h"

namespace quillon::fuzz {

namespace fs = std::filesystem;

inline constexpr LinkKey kFuzzKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// Reads never go past the end: a byte is 0 and a piece is short once the input runs out.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    std::uint8_t Byte() { return empty() ? 0 : data_[offset_++]; }

    std::string Take(std::size_t count)
    {
        count = std::min(count, size_ - offset_);
        std::string piece(reinterpret_cast<const char*>(data_ + offset_), count);
        offset_ += count;
        return piece;
    }

    // A piece whose length is the next two bytes (little-endian).
    std::string Piece()
    {
        return Take(static_cast<std::size_t>(Byte()) | static_cast<std::size_t>(Byte()) << 8);
    }

    std::string Rest() { return Take(size_ - offset_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// A scratch folder made once per process and reset between inputs.
class Scratch : public testing::TempFolder {
public:
    // Leaves the folder holding exactly the given subfolders, empty. Folders that are already empty
    // are kept: most inputs write nothing, and a fuzzer's speed is its reach.
    void Reset(std::initializer_list<std::string_view> folders) const
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(path(), error)) {
            if (std::ranges::find(folders, entry.path().filename().string()) == folders.end() ||
                !entry.is_directory(error) || entry.is_symlink(error) || !fs::is_empty(entry.path(), error))
                fs::remove_all(entry.path(), error);
        }
        for (const std::string_view folder : folders)
            fs::create_directory(path() / folder, error);
    }

    // Aborts (a finding) when the folder holds anything but the allowed top-level names.
    void ExpectOnly(std::initializer_list<std::string_view> allowed) const
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(path(), error)) {
            if (std::ranges::find(allowed, entry.path().filename().string()) == allowed.end()) {
                std::fprintf(stderr, "written outside its folder: %s\n", entry.path().string().c_str());
                std::abort();
            }
        }
    }
};

// The library's diagnostic lines go to standard output; a fuzzer running millions of inputs has no
// use for them, and writing them would be most of its time.
inline void SilenceDiagnostics()
{
    if (!std::freopen(NullDevicePath(), "w", stdout))
        std::abort();
}

}  // namespace quillon::fuzz
