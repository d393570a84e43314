// Reading a fuzzer's bytes as a sequence of decisions and pieces, never past their end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    std::size_t left() const { return size_ - offset_; }

    // One byte, or 0 when none is left.
    std::uint8_t Byte() { return empty() ? 0 : data_[offset_++]; }

    // Up to count bytes.
    std::string Take(std::size_t count)
    {
        count = std::min(count, left());
        std::string piece(reinterpret_cast<const char*>(data_ + offset_), count);
        offset_ += count;
        return piece;
    }

    // A piece whose length is the next two bytes (little-endian), at most what is left.
    std::string Piece()
    {
        return Take(static_cast<std::size_t>(Byte()) | static_cast<std::size_t>(Byte()) << 8);
    }

    std::string Rest() { return Take(left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace quillon::fuzz
