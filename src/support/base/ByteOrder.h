// Numbers as the device's frames and zip archives both lay them out: low byte first. Pure
// functions over byte buffers; the caller makes sure the bytes are there.
#pragma once

#include <cstdint>

namespace quillon {

constexpr std::uint16_t ReadLe16(const std::uint8_t* bytes) noexcept
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}
constexpr std::uint32_t ReadLe32(const std::uint8_t* bytes) noexcept
{
    return ReadLe16(bytes) | static_cast<std::uint32_t>(ReadLe16(bytes + 2)) << 16;
}
constexpr void WriteLe16(std::uint8_t* out, std::uint16_t value) noexcept
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}
constexpr void WriteLe32(std::uint8_t* out, std::uint32_t value) noexcept
{
    WriteLe16(out, static_cast<std::uint16_t>(value));
    WriteLe16(out + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace quillon
