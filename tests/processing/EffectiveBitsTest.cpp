#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "processing/EffectiveBits.h"

TEST(CheckEffectiveBits, Table) {
    const struct {
        int bpp, ebr;
        uint32_t value;
        bool fits;
    } cases[] = {
        {8, 8, 255, true},        {8, 12, 255, true},         {8, 7, 127, true},
        {8, 7, 128, false},       {8, 0, 1, false},           {8, -3, 0, true},
        {16, 12, 4095, true},     {16, 12, 4096, false},      {16, 16, 65535, true},
        {16, 20, 65535, true},    {32, 32, 0xFFFFFFFF, true}, {32, 40, 0xFFFFFFFF, true},
        {32, 24, 0xFFFFFF, true}, {32, 24, 0x1000000, false}, {32, 31, 0x80000000, false},
    };
    // Where the odd pixel sits: first, inside the word loop, after a chunk, in the tail. The
    // frame starts one byte past an aligned address, so that unaligned reads are exercised.
    for (size_t count : {1ul, 3ul, 9ul, 100ul, 5000ul, 20011ul}) {
        for (const auto& c : cases) {
            const size_t size = static_cast<size_t>(c.bpp / 8);
            for (size_t at : {size_t{0}, count / 2, count - 1}) {
                std::vector<uint8_t> frame(1 + count * size, 0);
                std::memcpy(&frame[1 + at * size], &c.value, size);  // little-endian low bytes
                EXPECT_EQ(CheckEffectiveBits(frame.data() + 1, c.bpp, c.ebr, count), c.fits)
                    << c.bpp << " " << c.ebr << " " << c.value << " at " << at << " of " << count;
            }
        }
    }
}

TEST(CheckEffectiveBits, OtherDepthsEmptyFramesAndBounds) {
    const uint8_t pixels[8] = {};
    for (int bpp : {0, 1, 12, 24, 64})
        EXPECT_FALSE(CheckEffectiveBits(pixels, bpp, 8, 2)) << bpp;
    EXPECT_TRUE(CheckEffectiveBits(pixels, 16, 4, 0));
    EXPECT_TRUE(CheckEffectiveBits(nullptr, 8, 2, 0));
    // The byte after the last pixel is out of range; it must not be looked at.
    std::vector<uint8_t> frame(17, 1);
    frame[16] = 0xFF;
    EXPECT_TRUE(CheckEffectiveBits(frame.data(), 8, 1, 16));
    EXPECT_FALSE(CheckEffectiveBits(frame.data(), 8, 1, 17));
}
