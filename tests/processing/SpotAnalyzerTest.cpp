#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "processing/Orientation.h"
#include "processing/SpotAnalyzer.h"
#include "tests/processing/KernelChoice.h"

namespace {

// The statistics written out plainly, formula by formula, with sin and cos called in place.
// Every optimisation of SpotAnalyzer is checked against this.
struct PlainSpot {
    static constexpr double kEps = 1e-10;
    static constexpr double kTwoPi = 6.283185307179586;

    std::vector<double> X, Y;
    uint32_t x0, x1, y0, y1;
    int K, iterations;
    double xm = 0, ym = 0, xrms = 0, yrms = 0;

    PlainSpot(const std::vector<uint8_t>& image, uint32_t W, uint32_t H, int harmonics, int iter)
        : X(W), Y(H), x0(0), x1(W - 1), y0(0), y1(H - 1), K(harmonics), iterations(iter) {
        std::vector<double> col(W, 0.0), row(H, 0.0);
        for (uint32_t y = y0; y <= y1; ++y) {
            for (uint32_t x = x0; x <= x1; ++x) {
                col[x] += image[y * W + x];
                row[y] += image[y * W + x];
            }
        }
        double T = 0;
        for (uint32_t x = x0; x <= x1; ++x)
            T += col[x];
        if (T == 0)
            T = 1;
        const double F = T == 1 ? 1 : 0;
        const double nx = x1 - x0 + 1, ny = y1 - y0 + 1;
        for (uint32_t x = x0; x <= x1; ++x)
            X[x] = (col[x] + F / nx) / T;
        for (uint32_t y = y0; y <= y1; ++y)
            Y[y] = (row[y] + F / ny) / T;
    }

    std::vector<double> Smooth(const std::vector<double>& P, uint32_t a, uint32_t b) const {
        const double D = b - a, Deps = D + kEps;
        const uint32_t N = b - a;
        std::vector<double> A(K, 0.0), B(K, 0.0), out(P.size(), 0.0);
        for (int k = 0; k < K; ++k) {
            for (uint32_t j = 0; j <= N; ++j) {
                A[k] += 2 * std::cos(kTwoPi * j * k / Deps) * P[a + j] / Deps;
                B[k] += 2 * std::sin(kTwoPi * j * k / Deps) * P[a + j] / Deps;
            }
        }
        const double w = kTwoPi / Deps;
        double total = kEps;
        for (uint32_t x = a; x <= b; ++x) {
            const uint32_t j = x - a;
            double s = A[0] * 0.5;
            for (int k = 1; k < K; ++k)
                s += B[k] * std::sin(double(k) * j * w) + A[k] * std::cos(double(k) * j * w);
            if (!(s > 0))
                s = 0;
            s += kEps;
            out[x] = s;
            total += s;
        }
        for (uint32_t x = a; x <= b; ++x)
            out[x] /= total;
        return out;
    }

    double FindPeak(const std::vector<double>& S, int n, uint32_t lo, uint32_t hi) const {
        while (true) {
            uint32_t P = lo;
            for (uint32_t i = lo; i <= hi; ++i)
                if (S[i] > S[P])
                    P = i;
            if (n == 1)
                return P;
            double sum = kEps;
            for (uint32_t i = lo; i <= hi; ++i)
                sum += S[i];
            double v = 0;
            for (uint32_t i = lo; i <= hi; ++i)
                v += (i - double(P)) * (i - double(P)) * S[i] / sum;
            const double sigma = std::sqrt(v);
            const uint32_t lower = uint32_t(P - sigma > lo ? P - sigma : lo);
            const uint32_t upper = uint32_t(P + sigma < hi ? P + sigma : hi);
            if (!(upper - lower < 2))
                lo = lower, hi = upper;
            n = n - 1;
        }
    }

    double Width(const std::vector<double>& P, const std::vector<double>& S, double c, uint32_t& lo,
                 uint32_t& hi) const {
        double r0 = 0;
        for (uint32_t i = lo; i <= hi; ++i)
            r0 += (i - c) * (i - c) * P[i];
        r0 = std::sqrt(r0);
        const long k = long(2.78 * r0);
        const long lower = long(c - k > lo ? c - k : lo);
        const long upper = long(c + k < hi ? c + k : hi);
        const long ci = long(c);
        long left = ci, right = ci;
        for (long i = ci; i >= lower; --i)
            if (S[i] < S[left])
                left = i;
        for (long i = ci; i <= upper; ++i)
            if (S[i] < S[right])
                right = i;
        lo = uint32_t(left);
        hi = uint32_t(right);
        double sum = kEps;
        for (long i = left; i <= right; ++i)
            sum += P[i];
        double v = 0;
        for (long i = left; i <= right; ++i)
            v += (i - c) * (i - c) * P[i] / sum;
        return std::sqrt(v);
    }

    void Compute() {
        const std::vector<double> SX = Smooth(X, x0, x1), SY = Smooth(Y, y0, y1);
        xm = FindPeak(SX, iterations, x0, x1);
        ym = FindPeak(SY, iterations, y0, y1);
        xrms = Width(X, SX, xm, x0, x1);
        yrms = Width(Y, SY, ym, y0, y1);
    }
};

struct Spot {
    double xm, ym, xrms, yrms;
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

// The real implementation against the plain one on blank, random and spot images of several
// sizes, with one and several peak searches and a second Compute on the narrowed region.
// Every sum is taken in the order its formula gives, so the results are equal to the bit.
TEST(SpotAnalyzer, MatchesThePlainFormulas) {
    std::mt19937 rng(3);
    struct Size {
        uint32_t w, h;
    } sizes[] = {{1, 1}, {1, 7}, {9, 1}, {2, 2}, {17, 5}, {64, 48}, {250, 300}, {768, 574}};
    for (KernelSet set : kAllKernels) {
        KernelChoice choice(set);
        for (const Size& size : sizes) {
            std::vector<std::vector<uint8_t>> images(2, std::vector<uint8_t>(size.w * size.h));
            for (uint8_t& v : images[1])
                v = static_cast<uint8_t>(rng());
            images.push_back(Gaussian(size.w, size.h, size.w * 0.3, size.h * 0.6,
                                      size.w / 9.0 + 0.5, size.h / 7.0 + 0.5, 230, 10));
            images.push_back(images.back());
            for (uint8_t& v : images.back())
                v = static_cast<uint8_t>(std::min<uint32_t>(255, v + rng() % 20));
            for (size_t i = 0; i < images.size(); ++i) {
                for (uint16_t iterations : {1, 3}) {
                    SpotAnalyzer real(images[i].data(), 5, iterations, size.w, size.h);
                    PlainSpot plain(images[i], size.w, size.h, 5, iterations);
                    for (int round = 0; round < 2; ++round) {
                        real.Compute();
                        plain.Compute();
                        SCOPED_TRACE(testing::Message()
                                     << KernelName(set) << " " << size.w << "x" << size.h
                                     << " image " << i << " iterations " << iterations << " round "
                                     << round);
                        EXPECT_EQ(real.GetXm(), plain.xm);
                        EXPECT_EQ(real.GetYm(), plain.ym);
                        EXPECT_EQ(real.GetXrms(), plain.xrms);
                        EXPECT_EQ(real.GetYrms(), plain.yrms);
                    }
                }
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
