// The CRC-32 of zip and zlib (polynomial 0x04C11DB7, reflected), as zlib's crc32() computes it:
// Crc32(Crc32(0, a), b) is the checksum of a followed by b. Every byte of a download is summed
// once more when its archive is unpacked, after the last block, where the host's whole wait is on
// it; on x86-64 processors with carry-less multiplication that runs 64 bytes a step instead of a
// byte or eight. Thread-safe: a pure function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

}  // namespace quillon
