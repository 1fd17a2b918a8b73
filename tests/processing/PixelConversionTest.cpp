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

// The conversion written out pixel by pixel, the way the format tables read.
std::vector<uint8_t> Reference(const std::vector<uint8_t>& src, int conversion, uint32_t width,
                               int32_t biHeight, uint32_t stride) {
    const uint32_t height = static_cast<uint32_t>(std::abs(biHeight));
    const uint32_t bpp = SourceBytesPerPixel(conversion);
    if (stride == 0)
        stride = width * bpp;
    std::vector<uint8_t> out;
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t memoryRow = biHeight > 0 ? height - 1 - r : r;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = &src[memoryRow * stride + x * bpp];
            switch (conversion) {
                case kConversionRgb24:
                case kConversionRgb32:
                    out.push_back(Formula(p[0], p[1], p[2]));
                    break;
                case kConversionUyvy:
                    out.push_back(p[1]);
                    break;
                case kConversionYuy2:
                case kConversionGrey:
                    out.push_back(p[0]);
                    break;
            }
        }
    }
    return out;
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

// Odd widths (vector bodies and tails), both row orders, padded and unpadded rows.
TEST(PixelConversion, AllFormatsMatchTheReference) {
    std::mt19937 rng(7);
    for (KernelSet set : kAllKernels) {
        KernelChoice choice(set);
        SCOPED_TRACE(KernelName(set));
        for (int conversion : kAll) {
            for (uint32_t width : {1u, 2u, 7u, 8u, 9u, 10u, 11u, 16u, 17u, 31u, 33u, 50u}) {
                for (int32_t biHeight : {1, 3, -1, -3}) {
                    for (uint32_t pad : {0u, 5u}) {
                        const uint32_t stride = width * SourceBytesPerPixel(conversion) + pad;
                        std::vector<uint8_t> src(
                            SourceFrameBytes(conversion, width, biHeight, pad ? stride : 0));
                        for (uint8_t& b : src)
                            b = static_cast<uint8_t>(rng());
                        EXPECT_EQ(Convert(src, conversion, width, biHeight, pad ? stride : 0),
                                  Reference(src, conversion, width, biHeight, stride))
                            << conversion << " " << width << "x" << biHeight << " pad " << pad;
                    }
                }
            }
        }
    }
}

// The reference's row order and channel choice, checked by hand.
TEST(PixelConversion, RowOrderAndChannels) {
    const std::vector<uint8_t> src = {10, 20, 30, 40, 50, 60, 70, 80};
    const struct {
        int conversion;
        uint32_t width;
        int32_t biHeight;
        std::vector<uint8_t> gray;
    } cases[] = {
        {kConversionUyvy, 2, -2, {20, 40, 60, 80}},
        {kConversionYuy2, 2, 2, {50, 70, 10, 30}},
        {kConversionGrey, 4, 2, {50, 60, 70, 80, 10, 20, 30, 40}},
        {kConversionRgb32, 1, 2, {Formula(50, 60, 70), Formula(10, 20, 30)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Convert(src, c.conversion, c.width, c.biHeight), c.gray) << c.conversion;
        EXPECT_EQ(Reference(src, c.conversion, c.width, c.biHeight, 0), c.gray) << c.conversion;
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
