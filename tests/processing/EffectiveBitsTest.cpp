#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "processing/EffectiveBits.h"

namespace {

// `count` pixels of `bits` bits, all `fill` except pixel `at`, which is `value`, stored
// one byte past an aligned address so that unaligned reads are exercised.
std::vector<uint8_t> Frame(int bits, size_t count, uint32_t fill, size_t at, uint32_t value) {
    const size_t size = static_cast<size_t>(bits / 8);
    std::vector<uint8_t> bytes(1 + count * size);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = i == at ? value : fill;
        std::memcpy(&bytes[1 + i * size], &v, size);  // little-endian low bytes
    }
    return bytes;
}

}  // namespace

TEST(CheckEffectiveBits, Table) {
    struct Case {
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
    // Where the odd pixel sits: first, inside the word loop, after a chunk, in the tail.
    for (size_t count : {1ul, 3ul, 9ul, 100ul, 5000ul, 20011ul}) {
        for (const Case& c : cases) {
            for (size_t at : {size_t{0}, count / 2, count - 1}) {
                const std::vector<uint8_t> frame = Frame(c.bpp, count, 0, at, c.value);
                EXPECT_EQ(CheckEffectiveBits(frame.data() + 1, c.bpp, c.ebr, count), c.fits)
                    << c.bpp << " bpp, " << c.ebr << " effective, value " << c.value << " at " << at
                    << " of " << count;
            }
        }
    }
}

TEST(CheckEffectiveBits, OtherDepthsAndEmptyFrames) {
    const uint8_t pixels[8] = {};
    for (int bpp : {0, 1, 12, 24, 64})
        EXPECT_FALSE(CheckEffectiveBits(pixels, bpp, 8, 2)) << bpp;
    EXPECT_TRUE(CheckEffectiveBits(pixels, 16, 4, 0));
    EXPECT_TRUE(CheckEffectiveBits(nullptr, 8, 2, 0));
}

TEST(CheckEffectiveBits, ReadsOnlyThePixels) {
    // The byte after the last pixel is out of range; it must not be looked at.
    std::vector<uint8_t> frame(17, 1);
    frame[16] = 0xFF;
    EXPECT_TRUE(CheckEffectiveBits(frame.data(), 8, 1, 16));
    EXPECT_FALSE(CheckEffectiveBits(frame.data(), 8, 1, 17));
}
