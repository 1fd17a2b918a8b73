#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "processing/PixelConversion.h"
#include "tests/processing/KernelChoice.h"

namespace {

uint8_t Formula(uint8_t b, uint8_t g, uint8_t r) {
    return static_cast<uint8_t>(g * 0.587 + r * 0.299 + b * 0.114);
}

std::vector<uint8_t> Convert(const std::vector<uint8_t>& src, int conversion, uint32_t width,
                             int32_t biHeight, uint32_t stride = 0) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * std::abs(biHeight), 0xEE);
    EXPECT_TRUE(ConvertToGray(src.data(), out.data(), conversion, width, biHeight, stride));
    return out;
}

constexpr int kAll[] = {kConversionRgb24, kConversionRgb32, kConversionUyvy, kConversionYuy2,
                        kConversionGrey};

}  // namespace

// Every colour, through the vectorised path, against the formula. The sanitizers check
// memory, not values, so under them a slice of the colours keeps the test quick.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kColours = 1u << 20;
#else
constexpr uint32_t kColours = 1u << 24;
#endif

TEST(PixelConversion, EveryRgbColourMatchesTheFormula) {
    constexpr uint32_t kSide = 4096;
    for (KernelSet set : {KernelSet::kAvx512, KernelSet::kAvx2}) {
        KernelChoice choice(set);
        for (int conversion : {kConversionRgb32, kConversionRgb24}) {
            const uint32_t bpp = SourceBytesPerPixel(conversion);
            std::vector<uint8_t> src(size_t{kColours} * bpp);
            for (uint32_t i = 0; i < kColours; ++i) {
                src[i * bpp] = static_cast<uint8_t>(i);
                src[i * bpp + 1] = static_cast<uint8_t>(i >> 8);
                src[i * bpp + 2] = static_cast<uint8_t>(i >> 16);
            }
            std::vector<uint8_t> out(kColours);
            ASSERT_TRUE(ConvertToGray(src.data(), out.data(), conversion, kSide,
                                      -int32_t{kColours / kSide}));
            for (uint32_t i = 0; i < kColours; ++i) {
                ASSERT_EQ(out[i], Formula(uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16)))
                    << KernelName(set) << " conversion " << conversion << " colour " << i;
            }
        }
    }
}

// Odd widths (vector bodies and tails), both row orders, padded and unpadded rows: the
// vector kernels agree with the baseline.
TEST(PixelConversion, KernelsAgreeOnAllFormats) {
    std::mt19937 rng(7);
    for (int conversion : kAll) {
        for (uint32_t width : {1u, 2u, 7u, 8u, 9u, 10u, 11u, 16u, 17u, 31u, 33u, 50u, 67u}) {
            for (int32_t biHeight : {1, 3, -1, -3}) {
                for (uint32_t pad : {0u, 5u}) {
                    const uint32_t stride = pad ? width * SourceBytesPerPixel(conversion) + pad : 0;
                    std::vector<uint8_t> src(SourceFrameBytes(conversion, width, biHeight, stride));
                    for (uint8_t& b : src)
                        b = static_cast<uint8_t>(rng());
                    ExpectKernelsAgree(
                        [&] { return Convert(src, conversion, width, biHeight, stride); },
                        std::to_string(conversion) + " " + std::to_string(width) + "x" +
                            std::to_string(biHeight) + " pad " + std::to_string(pad));
                }
            }
        }
    }
}

// Row order, channel choice and row padding, worked out by hand.
TEST(PixelConversion, RowOrderAndChannels) {
    const std::vector<uint8_t> src = {10, 20, 30, 40, 50, 60, 70, 80};
    const struct {
        int conversion;
        uint32_t width;
        int32_t biHeight;
        uint32_t stride;
        std::vector<uint8_t> gray;
    } cases[] = {
        {kConversionUyvy, 2, -2, 0, {20, 40, 60, 80}},
        {kConversionYuy2, 2, 2, 0, {50, 70, 10, 30}},
        {kConversionGrey, 4, 2, 0, {50, 60, 70, 80, 10, 20, 30, 40}},
        {kConversionGrey, 3, -2, 4, {10, 20, 30, 50, 60, 70}},
        {kConversionRgb32, 1, 2, 0, {Formula(50, 60, 70), Formula(10, 20, 30)}},
        {kConversionRgb24, 1, 2, 4, {Formula(50, 60, 70), Formula(10, 20, 30)}},
    };
    for (KernelSet set : kAllKernels) {
        KernelChoice choice(set);
        for (const auto& c : cases)
            EXPECT_EQ(Convert(src, c.conversion, c.width, c.biHeight, c.stride), c.gray)
                << KernelName(set) << " " << c.conversion;
    }
}

TEST(PixelConversion, RejectsWhatItCannotConvert) {
    std::vector<uint8_t> src(64, 1), dst(16, 0xEE);
    for (int conversion : {int{kConversionNone}, 5, 99}) {
        EXPECT_FALSE(ConvertToGray(src.data(), dst.data(), conversion, 4, 4));
        EXPECT_EQ(SourceFrameBytes(conversion, 4, 4), 0u);
    }
    // A stride shorter than a row would read rows past the end of the sample.
    EXPECT_FALSE(ConvertToGray(src.data(), dst.data(), kConversionRgb24, 4, 4, 11));
    EXPECT_EQ(SourceFrameBytes(kConversionRgb24, 4, 4, 11), 0u);
    EXPECT_EQ(dst, std::vector<uint8_t>(16, 0xEE));
}

TEST(PixelConversion, SourceFrameBytesDoesNotWrap) {
    EXPECT_EQ(SourceFrameBytes(kConversionYuy2, 1920, 1080, 4096), 4096u * 1080);
    EXPECT_EQ(SourceFrameBytes(kConversionRgb32, 0x40000000u, 2), size_t{0x40000000u} * 8);
    EXPECT_EQ(SourceFrameBytes(kConversionGrey, 3, INT32_MIN), size_t{3} * 0x80000000u);
}
