#include "support/base/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using quillon::Crc32;

TEST(Crc32, IsTheZipChecksumWhateverTheLengthStartAndAlignment)
{
    const std::string check = "123456789";
    EXPECT_EQ(Crc32(0, reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xCBF43926u);

    std::vector<std::uint8_t> bytes((1 << 20) + 64);
    std::mt19937 noise(7);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(noise());
    // Lengths around the table's, one block's and four blocks' edges, and the megabyte pieces an
    // unpacking sums; every start and offset into memory.
    for (const std::size_t size :
         {0, 1, 15, 16, 63, 64, 255, 256, 257, 271, 319, 320, 4096, 4104, 65537, 1 << 20}) {
        for (const std::size_t offset : {0, 1, 8, 13}) {
            for (const std::uint32_t start : {0u, 0xFFFFFFFFu, 0x1234ABCDu}) {
                SCOPED_TRACE(std::to_string(size) + " bytes at +" + std::to_string(offset) + " from " +
                             std::to_string(start));
                const std::uint8_t* data = bytes.data() + offset;
                EXPECT_EQ(Crc32(start, data, size), crc32(start, data, static_cast<uInt>(size)));
            }
        }
    }
}

TEST(Crc32, ContinuesAcrossPiecesAsOverTheWhole)
{
    std::vector<std::uint8_t> bytes(100'000);
    std::mt19937 noise(11);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(noise());
    const std::uint32_t whole = Crc32(0, bytes.data(), bytes.size());
    for (const std::size_t cut : {1, 300, 4096, 50'001}) {
        const std::uint32_t first = Crc32(0, bytes.data(), cut);
        EXPECT_EQ(Crc32(first, bytes.data() + cut, bytes.size() - cut), whole) << cut;
    }
}

}  // namespace
