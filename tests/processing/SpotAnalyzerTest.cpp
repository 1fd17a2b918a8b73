#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "processing/Orientation.h"
#include "processing/SpotAnalyzer.h"
#include "tests/processing/KernelChoice.h"

namespace {

struct Spot {
    double xm, ym, xrms, yrms;
    bool operator==(const Spot&) const = default;
};

Spot Analyze(const std::vector<uint8_t>& image, uint32_t w, uint32_t h, uint16_t harmonics = 5,
             uint16_t iterations = 1) {
    SpotAnalyzer analyzer(image.data(), harmonics, iterations, w, h);
    analyzer.Compute();
    return {analyzer.GetXm(), analyzer.GetYm(), analyzer.GetXrms(), analyzer.GetYrms()};
}

std::vector<uint8_t> Gaussian(uint32_t w, uint32_t h, double cx, double cy, double sx, double sy,
                              double peak = 200, double floor = 0) {
    std::vector<uint8_t> image(w * h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double v = floor + peak * std::exp(-((x - cx) * (x - cx) / (2 * sx * sx) +
                                                       (y - cy) * (y - cy) / (2 * sy * sy)));
            image[y * w + x] = static_cast<uint8_t>(v);
        }
    }
    return image;
}

// A spot on a raised floor, or noise.
std::vector<uint8_t> TestImage(uint32_t w, uint32_t h, bool spot) {
    if (spot)
        return Gaussian(w, h, w * 0.3, h * 0.6, w / 9.0 + 0.5, h / 7.0 + 0.5, 230, 10);
    std::vector<uint8_t> image(w * h);
    std::mt19937 rng(w * 1000 + h);
    for (uint8_t& v : image)
        v = static_cast<uint8_t>(rng());
    return image;
}

}  // namespace

TEST(SpotAnalyzer, KnownSpots) {
    std::vector<uint8_t> pixel(8 * 4, 0);
    pixel[2 * 8 + 5] = 200;
    const std::vector<uint8_t> image = Gaussian(64, 48, 40, 20, 5, 3);
    std::vector<uint8_t> turned(image.size());
    ASSERT_TRUE(Orient(turned.data(), image.data(), "ROT90CW", 64, 48, 8));
    const struct {
        Spot s, expected;
    } cases[] = {
        {Analyze(pixel, 8, 4), {5, 2, 0, 0}},
        {Analyze(image, 64, 48), {40, 20, 4.80, 2.90}},
        // The results refer to the oriented frame; the spot's axes turned with it.
        {Analyze(turned, 48, 64), {27, 40, 2.90, 4.80}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.s.xm, c.expected.xm);
        EXPECT_EQ(c.s.ym, c.expected.ym);
        EXPECT_NEAR(c.s.xrms, c.expected.xrms, 0.05);
        EXPECT_NEAR(c.s.yrms, c.expected.yrms, 0.05);
    }
}

TEST(SpotAnalyzer, EqualMaximaGiveTheFirst) {
    // With one harmonic the smoothed profile is flat: every position ties.
    const Spot flat = Analyze(Gaussian(64, 48, 40, 20, 5, 3), 64, 48, 1);
    EXPECT_TRUE(flat.xm == 0 && flat.ym == 0);
    // Two equal spots placed symmetrically in a window: the first one wins.
    std::vector<uint8_t> image(33 * 3, 0);
    for (uint32_t y = 0; y < 3; ++y)
        image[y * 33 + 8] = image[y * 33 + 24] = 100;
    EXPECT_LE(Analyze(image, 33, 3).xm, 16);
}

TEST(SpotAnalyzer, NothingToMeasure) {
    SpotAnalyzer empty(nullptr, 5, 1, 0, 0);
    EXPECT_FALSE(empty.HasProjections());
    empty.Compute();
    EXPECT_TRUE(empty.GetXm() == 0 && empty.GetXrms() == 0);
    // No harmonics: the smoothing has no coefficients to work with.
    const std::vector<uint8_t> image = Gaussian(16, 16, 8, 8, 2, 2);
    const Spot none = Analyze(image, 16, 16, 0);
    EXPECT_TRUE(none.xm == 0 && none.yrms == 0);
    // Iterations 0 is one search, not 65536.
    const Spot zero = Analyze(image, 16, 16, 5, 0), one = Analyze(image, 16, 16, 5, 1);
    EXPECT_TRUE(zero.xm == one.xm && zero.xrms == one.xrms);
}

// xm, ym, xrms, yrms of a first Compute and of a second one on the narrowed region, worked
// out once with the formulas written plainly (sin and cos in place, sums in formula order).
// Every kernel must give them to the bit.
TEST(SpotAnalyzer, GoldenValuesOnEveryKernel) {
    const struct {
        uint32_t w, h;
        bool spot;
    } cases[] = {{1, 7, true},    {17, 5, false},   {17, 5, true},
                 {64, 48, false}, {250, 300, true}, {768, 574, false}};
    const Spot golden[] = {
        {0, 4, 0, 0x1.54173c25ffe08p+0},
        {0, 4, 0, 0x1.36b668b5bf739p+0},
        {0, 0, 0x1.f4eb2f3e7fa7cp+1, 0x1.6a005cc53419dp-1},
        {0, 0, 0x1.5f0cd37407ce6p-1, 0},
        {5, 3, 0x1.5b077d7585432p+1, 0x1.009f6d7179ba3p+0},
        {5, 4, 0x1.3d07a39d7cac1p+1, 0x1.4393c0c66462fp+0},
        {62, 46, 0x1.e33451fdfe532p+4, 0x1.64b7cb824d978p+4},
        {63, 47, 0x1.be4903c83ca96p+3, 0x1.3b07be5c8096cp+4},
        {75, 180, 0x1.6ce4b04343fa7p+5, 0x1.b99dd49c48ea2p+5},
        {75, 180, 0x1.3ce2be3a439bbp+5, 0x1.a3c9727d3f1c8p+5},
        {6, 569, 0x1.69fbe31f39019p+8, 0x1.16ffe63740171p+8},
        {14, 86, 0x1.210e0912b543dp+7, 0x1.d8a6553759096p+7},
    };
    for (KernelSet set : kAllKernels) {
        KernelChoice choice(set);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            const std::vector<uint8_t> image = TestImage(c.w, c.h, c.spot);
            SpotAnalyzer a(image.data(), 5, 3, c.w, c.h);
            for (size_t round = 0; round < 2; ++round) {
                a.Compute();
                const Spot s{a.GetXm(), a.GetYm(), a.GetXrms(), a.GetYrms()};
                EXPECT_EQ(s, golden[2 * i + round])
                    << KernelName(set) << " " << c.w << "x" << c.h << " round " << round;
            }
        }
    }
}

// Vector bodies and tails of every width: the wider kernels agree with the baseline.
TEST(SpotAnalyzer, KernelsAgreeAtEverySize) {
    for (uint32_t w : {1u, 2u, 7u, 15u, 16u, 17u, 31u, 33u, 63u, 65u, 129u}) {
        for (uint32_t h : {1u, 5u, 300u}) {
            for (bool spot : {false, true}) {
                const std::vector<uint8_t> image = TestImage(w, h, spot);
                ExpectKernelsAgree(
                    [&] { return Analyze(image, w, h); },
                    std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(spot));
            }
        }
    }
}

// More than 2^32 in total brightness, and column sums over far more than 257 rows. Every row
// is the same, so the column projection, and with it xm and xrms, must be those of the one
// row alone.
TEST(SpotAnalyzer, LargeBrightFrame) {
    const uint32_t w = 4200, h = 4400;
    const std::vector<uint8_t> row = Gaussian(w, 1, 3000, 0, 700, 1, 15, 240);
    std::vector<uint8_t> image(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        std::copy(row.begin(), row.end(), image.begin() + size_t{y} * w);
    for (KernelSet set : kAllKernels) {
        KernelChoice choice(set);
        const Spot large = Analyze(image, w, h), one = Analyze(row, w, 1);
        EXPECT_TRUE(large.xm == one.xm && large.xrms == one.xrms) << KernelName(set);
    }
}
