#include "support/base/Crc32.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUILLON_FOLDED_CRC 1
#endif

namespace quillon {

namespace {

// zlib takes at most UINT_MAX bytes a call where its length is an unsigned int.
std::uint32_t ZlibCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
        crc = static_cast<std::uint32_t>(crc32(crc, data, piece));
        data += piece;
        size -= piece;
    }
    return crc;
}

#if defined(QUILLON_FOLDED_CRC)

// The 16-byte blocks of the message are folded onto the ones that follow them: a block times
// x^d mod P, for the distance d it moves, leaves the checksum as it was. The constants are x^d mod P
// for the two halves of a block, bit-reflected as the checksum is: for a move of four blocks
// (512 bits) and of one (128 bits).
constexpr long long kFourBlocksLow = 0x154442bd4, kFourBlocksHigh = 0x1c6e41596;
constexpr long long kOneBlockLow = 0x1751997d0, kOneBlockHigh = 0x0ccaa009e;
constexpr std::size_t kBlock = 16;

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i block, __m128i constants, __m128i onto)
{
    const __m128i low = _mm_clmulepi64_si128(block, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(block, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), onto);
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load(const std::uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The checksum of the first size / 16 * 16 bytes (size at least 64), continuing from crc.
__attribute__((target("pclmul,sse2"))) std::uint32_t FoldedCrc(std::uint32_t crc, const std::uint8_t* data,
                                                               std::size_t size)
{
    // zlib starts from the complement of crc: xored into the first four bytes, it lets the folding
    // start from zero.
    __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = Load(data + 16), x2 = Load(data + 32), x3 = Load(data + 48);
    data += 4 * kBlock;
    size -= 4 * kBlock;

    const __m128i fourBlocks = _mm_set_epi64x(kFourBlocksHigh, kFourBlocksLow);
    for (; size >= 4 * kBlock; data += 4 * kBlock, size -= 4 * kBlock) {
        x0 = Fold(x0, fourBlocks, Load(data));
        x1 = Fold(x1, fourBlocks, Load(data + 16));
        x2 = Fold(x2, fourBlocks, Load(data + 32));
        x3 = Fold(x3, fourBlocks, Load(data + 48));
    }
    const __m128i oneBlock = _mm_set_epi64x(kOneBlockHigh, kOneBlockLow);
    x0 = Fold(x0, oneBlock, x1);
    x0 = Fold(x0, oneBlock, x2);
    x0 = Fold(x0, oneBlock, x3);
    for (; size >= kBlock; data += kBlock, size -= kBlock)
        x0 = Fold(x0, oneBlock, Load(data));

    // What is left is one block whose checksum from zero is the message's: zlib starts from zero
    // when given the complement of zero, and its result is then zip's.
    alignas(16) std::uint8_t last[kBlock];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), x0);
    return ZlibCrc(0xFFFFFFFFu, last, kBlock);
}

bool HasCarrylessMultiply()
{
    static const bool has = __builtin_cpu_supports("pclmul");
    return has;
}

#endif

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
#if defined(QUILLON_FOLDED_CRC)
    // Below a few blocks the table is as quick as the set-up.
    if (size >= 256 && HasCarrylessMultiply()) {
        const std::size_t folded = size / kBlock * kBlock;
        return ZlibCrc(FoldedCrc(crc, data, folded), data + folded, size - folded);
    }
#endif
    return ZlibCrc(crc, data, size);
}

}  // namespace quillon
