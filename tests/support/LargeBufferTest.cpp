#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <utility>

#include "support/os/LargeBuffer.h"

namespace {

using quillon::LargeBuffer;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Sizes on both sides of a small page and of a large one, where trimming the mapping to a large-page
// boundary could cut the buffer short; an empty buffer owns nothing.
TEST(LargeBuffer, EverySizeArrivesZeroedAndHoldsWhatIsWrittenToItsLastByte)
{
    const LargeBuffer none;
    EXPECT_TRUE(none.valid());
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.data(), nullptr);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096}, std::size_t{4097},
          2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 5 * kMiB + 12345, 50 * kMiB}) {
        SCOPED_TRACE(size);
        LargeBuffer buffer(size);
        ASSERT_TRUE(buffer.valid());
        ASSERT_EQ(buffer.size(), size);
        EXPECT_EQ(buffer.data() == nullptr, size == 0);
        EXPECT_TRUE(std::all_of(buffer.data(), buffer.data() + size, [](std::uint8_t b) { return b == 0; }));
        for (std::size_t i = 0; i < size; ++i)
            buffer.data()[i] = static_cast<std::uint8_t>(i * 7 + 3);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < size; ++i)
            wrong += buffer.data()[i] != static_cast<std::uint8_t>(i * 7 + 3);
        EXPECT_EQ(wrong, 0u);
    }
}

TEST(LargeBuffer, MovingHandsOverTheMemoryAndLeavesTheSourceEmpty)
{
    LargeBuffer first(3 * kMiB);
    ASSERT_TRUE(first.valid());
    first.data()[3 * kMiB - 1] = 0x5A;
    const std::uint8_t* memory = first.data();

    LargeBuffer second(std::move(first));
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(first.data(), nullptr);
    EXPECT_EQ(second.data(), memory);
    EXPECT_EQ(second.data()[3 * kMiB - 1], 0x5A);

    // Assignment gives back what the target held before taking the other's memory.
    LargeBuffer third(kMiB);
    third = std::move(second);
    EXPECT_EQ(third.size(), 3 * kMiB);
    EXPECT_EQ(third.data(), memory);
    EXPECT_EQ(second.data(), nullptr);
}

// Sizes near the top of the address space must not wrap around in the arithmetic that aligns the
// mapping and hand out a small mapping that claims to be huge.
TEST(LargeBuffer, ASizeTheSystemCannotGiveIsRefused)
{
    for (const std::size_t size : {~std::size_t{0}, ~std::size_t{0} - 4096, ~std::size_t{0} / 2 + 1}) {
        SCOPED_TRACE(size);
        const LargeBuffer buffer(size);
        EXPECT_FALSE(buffer.valid());
        EXPECT_EQ(buffer.data(), nullptr);
        EXPECT_EQ(buffer.size(), 0u);
    }
}

}  // namespace
