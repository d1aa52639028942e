// The per-call storage of the command frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>

#include "frame/Frame.h"

using kardum::Block;

TEST(Block, RegionsAreConsecutiveAndZeroFilled)
{
    Block block({3, 0, 2});
    EXPECT_EQ(block[1], block[0] + 3);
    EXPECT_EQ(block[2], block[0] + 3);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(block[0][i], 0.0);
    }
}

TEST(Block, RequestsBeyondMemoryOrSizeAreRefused)
{
    const std::size_t maxSize = std::numeric_limits<std::size_t>::max();
    // A total whose byte count overflows.
    EXPECT_THROW(Block({maxSize / 8, maxSize / 8}), kardum::OutOfMemory);
    // A total beyond the machine's memory: refused before any page is taken.
    std::size_t physical = kardum::PhysicalMemory();
    ASSERT_GT(physical, 0u);
    if (physical / sizeof(double) < maxSize / sizeof(double)) {
        EXPECT_THROW(Block({physical / sizeof(double) / 2 + 1,
                            physical / sizeof(double) / 2 + 1}),
                     kardum::OutOfMemory);
    }
}

TEST(CheckedProduct, NamesWhatOverflows)
{
    const std::size_t maxSize = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(kardum::CheckedProduct(6, 7, "x"), 42u);
    try {
        kardum::CheckedProduct(maxSize / 2, 3, "nx*ny");
        FAIL() << "no error";
    } catch (const kardum::ArgError &e) {
        EXPECT_EQ(e.message, "size of nx*ny overflows");
    }
}
