#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "analysis/Beam.h"
#include "tests/support/TempDir.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A rotated elliptical Gaussian from its formula, sampled at pixel centres, with Gaussian
// noise, rounded and clamped like a camera. `background` adds a per-pixel level.
struct Beam {
    double cx = 60, cy = 50, sx = 8, sy = 8, angle = 0, amplitude = 150, offset = 20, noise = 0;
};

std::vector<uint8_t> Render(uint32_t w, uint32_t h, const Beam& b, uint32_t seed = 1,
                            const std::vector<double>* background = nullptr) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0, b.noise > 0 ? b.noise : 1);
    const double t = b.angle * kPi / 180, c = std::cos(t), s = std::sin(t);
    std::vector<uint8_t> f(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const double dx = x - b.cx, dy = y - b.cy;
            const double u = (dx * c + dy * s) / b.sx, v = (-dx * s + dy * c) / b.sy;
            double value = b.offset + b.amplitude * std::exp(-0.5 * (u * u + v * v));
            value += background ? (*background)[size_t{y} * w + x] : 0.0;
            value += b.noise > 0 ? gauss(rng) : 0.0;
            f[size_t{y} * w + x] = static_cast<uint8_t>(std::clamp(std::round(value), 0.0, 255.0));
        }
    return f;
}

BeamResult Measure(const std::vector<uint8_t>& f, uint32_t w, uint32_t h, BeamRoi roi = {},
                   const DarkFrame* dark = nullptr) {
    CBeamAnalyzer analyzer;
    BeamResult r;
    analyzer.Measure(f.data(), w, h, roi, dark, &r);
    return r;
}

}  // namespace

// The baseline must come off whatever the offset: with the same noise the results do not
// move, and they are the formula's within what that noise allows.
TEST(BeamAnalyzer, OffsetLeavesWidthsAndCentroid) {
    BeamResult first;
    for (double offset : {4.0, 40.0, 70.0}) {
        Beam b{61.3, 48.6, 9, 5, 20, 180, offset, 0.6};
        const BeamResult r = Measure(Render(160, 120, b, 3), 160, 120);
        SCOPED_TRACE(offset);
        ASSERT_TRUE(r.valid) << r.reason;
        if (offset == 4.0)
            first = r;
        EXPECT_EQ(r.background, BeamBackground::kEstimated);
        EXPECT_NEAR(r.baseline, offset, 0.05);
        EXPECT_NEAR(r.noise, 0.6, 0.1);
        EXPECT_NEAR(r.widthMajor, 4 * b.sx, 0.035 * 4 * b.sx);
        EXPECT_NEAR(r.widthMinor, 4 * b.sy, 0.035 * 4 * b.sy);
        EXPECT_NEAR(r.widthMinor, first.widthMinor, 0.002 * first.widthMinor);
        EXPECT_NEAR(r.centroidX, b.cx, 0.1);
        EXPECT_NEAR(r.centroidY, b.cy, 0.1);
        EXPECT_NEAR(r.total, 2 * kPi * b.sx * b.sy * b.amplitude, 0.02 * r.total);
        EXPECT_TRUE(r.converged);
        EXPECT_LE(r.iterations, 4);
        // The fits on the projections find the same beam.
        ASSERT_TRUE(r.fitX.ok && r.fitY.ok);
        EXPECT_NEAR(r.fitX.centre, b.cx, 0.1);
        EXPECT_NEAR(r.fitY.centre, b.cy, 0.1);
        EXPECT_NEAR(r.fitY.sigma, r.sigmaY, 0.03 * r.sigmaY);
        EXPECT_GT(r.fitX.r2, 0.99);
    }
}

// Angles run from +x towards +y, and +y points down the image.
TEST(BeamAnalyzer, AngleConvention) {
    const struct {
        double angle, sx, sy, expected;
    } cases[] = {
        {30, 12, 5, 30},    // tilted down to the right
        {-30, 12, 5, -30},  // tilted up to the right
        {0, 12, 5, 0},      // horizontal
        {0, 5, 12, 90},     // vertical: the major axis is y
        {90, 12, 5, 90},
    };
    for (const auto& c : cases) {
        Beam b{80, 60, c.sx, c.sy, c.angle, 150, 10, 0};
        const BeamResult r = Measure(Render(160, 120, b), 160, 120);
        SCOPED_TRACE(c.angle);
        ASSERT_TRUE(r.valid) << r.reason;
        EXPECT_NEAR(r.angle, c.expected, 0.3);
        EXPECT_NEAR(r.widthMajor, 48, 0.5);
        EXPECT_NEAR(r.widthMinor, 20, 0.3);
        // Down to the right means x and y grow together.
        EXPECT_EQ(r.sigmaXY > 1, c.expected > 1 && c.expected < 89);
    }
}

TEST(BeamRoi, CheckAndClip) {
    EXPECT_EQ(CheckRoi({}), "");
    EXPECT_EQ(CheckRoi({10, 20, 30, 40}), "");
    EXPECT_NE(CheckRoi({-1, 0, 10, 10}), "");
    EXPECT_NE(CheckRoi({0, 0, 10, 0}), "");
    EXPECT_NE(CheckRoi({kMaxRoiExtent, 0, 1, 1}), "");
    const struct {
        BeamRoi in, out;
    } cases[] = {
        {{0, 0, 0, 0}, {0, 0, 100, 80}},      {{10, 5, 20, 30}, {10, 5, 20, 30}},
        {{90, 70, 20, 20}, {90, 70, 10, 10}}, {{99, 79, 5, 5}, {99, 79, 1, 1}},
        {{100, 0, 5, 5}, {100, 0, 0, 0}},     {{0, 80, 5, 5}, {0, 80, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClipRoi(c.in, 100, 80), c.out) << c.in.x << "," << c.in.y;
}

// A flat disc of radius 10 at x 50..70: a region ending one pixel beyond it measures it whole,
// one ending on its last column cuts it.
TEST(BeamAnalyzer, RegionEdgeOffByOne) {
    const uint32_t w = 140, h = 100;
    std::vector<uint8_t> f(w * h, 10);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if ((x - 60.0) * (x - 60.0) + (y - 50.0) * (y - 50.0) <= 100)
                f[y * w + x] = 110;
    const BeamResult whole = Measure(f, w, h, {0, 0, 72, 100});  // last column 71: dark
    EXPECT_TRUE(whole.valid) << whole.reason;
    EXPECT_NEAR(whole.centroidX, 60, 1e-6);
    const BeamResult cut = Measure(f, w, h, {0, 0, 70, 100});  // last column 69: lit
    EXPECT_STREQ(cut.reason, kBeamAtEdge);
    EXPECT_FALSE(cut.valid);
    const BeamResult left = Measure(f, w, h, {49, 0, 91, 100});  // first column 49: dark
    EXPECT_TRUE(left.valid) << left.reason;
    EXPECT_STREQ(Measure(f, w, h, {51, 0, 89, 100}).reason, kBeamAtEdge);
}

TEST(BeamAnalyzer, InvalidBeamsAreFlagged) {
    const struct {
        Beam beam;
        BeamRoi roi;
        const char* reason;
    } cases[] = {
        {{80, 60, 8, 6, 0, 0, 20, 4}, {}, kBeamNone},
        {{0, 60, 8, 6, 0, 150, 20, 2}, {}, kBeamAtEdge},
        {{80, 60, 8, 6, 0, 150, 20, 2}, {80, 0, 80, 120}, kBeamAtEdge},
        {{80, 60, 8, 6, 0, 300, 20, 2}, {}, kBeamSaturated},
        {{80, 60, 8, 6, 0, 150, 20, 2}, {}, kBeamOk},
    };
    for (const auto& c : cases) {
        const BeamResult r = Measure(Render(160, 120, c.beam, 5), 160, 120, c.roi);
        EXPECT_STREQ(r.reason, c.reason) << c.beam.cx << " " << c.beam.amplitude;
        EXPECT_EQ(r.valid, c.reason == kBeamOk);
    }
}

TEST(DarkFrame, SaveLoadRejectsBadFiles) {
    TempDir dir;
    DarkFrame dark{7, 5, 16, {}};
    for (int i = 0; i < 35; ++i)
        dark.mean.push_back(static_cast<float>(i * 7.3 + 0.2));
    std::string error;
    ASSERT_TRUE(SaveDarkFrame(dir.File("dark.pgm"), dark, &error)) << error;
    DarkFrame back;
    ASSERT_TRUE(LoadDarkFrame(dir.File("dark.pgm"), &back, &error)) << error;
    EXPECT_EQ(back.width, 7u);
    EXPECT_EQ(back.height, 5u);
    EXPECT_EQ(back.frames, 16u);
    for (size_t i = 0; i < 35; ++i)
        EXPECT_NEAR(back.mean[i], dark.mean[i], 0.5 / 256);

    const std::string good = ReadFileText(dir.File("dark.pgm"));
    const std::string bad[] = {
        good.substr(0, good.size() - 1),
        good + "x",
        "P6" + good.substr(2),
        "P5\n16385 1\n65535\n" + std::string(2 * 16385, '\0'),
        "P5\n7 5\n255\n" + std::string(35, '\0'),
        "P5\n99999999999 5\n65535\n",
        "",
    };
    for (const std::string& text : bad) {
        ASSERT_TRUE(WriteFileText(dir.File("bad.pgm"), text));
        EXPECT_FALSE(LoadDarkFrame(dir.File("bad.pgm"), &back, &error)) << text.substr(0, 20);
        EXPECT_FALSE(error.empty());
    }
}

// A structured background (column stripes, a slope) is what a dark frame is for: with it the
// widths are the formula's, without it they are not.
TEST(DarkFrame, SubtractingAPatternRestoresWidths) {
    const uint32_t w = 200, h = 150;
    std::vector<double> pattern(w * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            pattern[y * w + x] = 8 + 8 * std::sin(x / 5.0) + 40.0 * y / h;
    Beam b{90, 70, 10, 6, 35, 150, 5, 0.8};
    Beam none = b;
    none.amplitude = 0;
    CDarkAccumulator acc(16);
    for (uint32_t i = 0; !acc.Done(); ++i)
        ASSERT_TRUE(acc.Add(Render(w, h, none, 100 + i, &pattern).data(), w, h));
    EXPECT_FALSE(acc.Add(std::vector<uint8_t>(10).data(), 5, 2));
    const DarkFrame dark = acc.Result();
    EXPECT_EQ(dark.frames, 16u);
    const std::vector<uint8_t> f = Render(w, h, b, 7, &pattern);

    const BeamResult r = Measure(f, w, h, {}, &dark);
    ASSERT_TRUE(r.valid) << r.reason;
    EXPECT_EQ(r.background, BeamBackground::kDark);
    EXPECT_NEAR(r.widthMajor, 40, 1.2);
    EXPECT_NEAR(r.widthMinor, 24, 0.8);
    EXPECT_NEAR(r.angle, 35, 1);
    const BeamResult plain = Measure(f, w, h);
    EXPECT_GT(std::abs(plain.widthMajor - 40), 3);
}
