// The stability window against centroid series from a formula: lines at their bin with their
// amplitude, gaps bridged or cut, the principal axes of a diagonal jitter, resets; and the
// beam monitor's window fed from frames of a moving beam.
#include "analysis/Stability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <thread>

#include "analysis/BeamMonitor.h"
#include "tests/support/TempDir.h"

namespace {

constexpr double kPi = std::numbers::pi;

struct Line {
    double f, a, phase;
};

double Jitter(const std::vector<Line>& lines, double t) {
    double v = 0;
    for (const Line& l : lines)
        v += l.a * std::sin(2 * kPi * l.f * t + l.phase);
    return v;
}

// Frames 1..n at `rate`; `keep(i)` false drops frame i (its number stays used). x carries
// `lines`, y nothing.
StabilityResult Series(uint32_t n, double rate, const std::vector<Line>& lines,
                       const std::function<bool(uint32_t)>& keep = nullptr) {
    CStability s(n);
    for (uint32_t i = 1; i <= n; ++i) {
        const double t = i / rate;
        if (!keep || keep(i))
            s.Add({i, 1000 + t, 100 + Jitter(lines, t), 80, 30, 20, 5000});
    }
    StabilityResult r;
    s.Compute(&r);
    return r;
}

const StabilityPeak* Peak(const StabilityResult& r, char axis, double f, double bin) {
    for (const auto& p : r.peaks)
        if (p.axis == axis && std::abs(p.frequency - f) <= bin)
            return &p;
    return nullptr;
}

TEST(Stability, LinesAtTheirBinWithTheirAmplitude) {
    struct Case {
        double rate;
        std::vector<Line> lines;
    } cases[] = {
        {25, {{7.0, 1.0, 0.3}}},
        {100, {{13.37, 0.2, 1.0}}},                 // between two bins
        {25, {{11.9, 2.0, 0.0}}},                   // near Nyquist
        {25, {{3.0, 1.5, 0.0}, {3.25, 0.4, 2.0}}},  // ten bins apart, 1 : 4
        {100, {{0.5, 5.0, 0.1}, {49.0, 0.3, 0.7}}},
    };
    for (const auto& c : cases) {
        const StabilityResult r = Series(1024, c.rate, c.lines);
        const double bin = c.rate / 1024;
        EXPECT_NEAR(r.rateHz, c.rate, 1e-6 * c.rate);
        ASSERT_EQ(r.spectrum.f.size(), 513u);
        for (const Line& l : c.lines) {
            const StabilityPeak* p = Peak(r, 'x', l.f, bin);
            ASSERT_NE(p, nullptr) << l.f << " Hz at " << c.rate;
            EXPECT_NEAR(p->amplitude, l.a, 0.01 * l.a) << l.f << " Hz at " << c.rate;
        }
    }
}

TEST(Stability, GapsAreBridgedOrCut) {
    const std::vector<Line> lines{{10.3, 1.0, 0.2}, {1.7, 0.5, 0.0}};
    // Every 7th frame and a run of 5 missing: bridged; the line near Nyquist keeps its height.
    StabilityResult r =
        Series(1024, 25, lines, [](uint32_t i) { return i % 7 && (i < 300 || i > 304); });
    EXPECT_EQ(r.spectrum.frames, 1024u);
    EXPECT_EQ(r.spectrum.bridged, 1024u / 7 + 5 - 1);  // 301 is one of the sevens
    for (const Line& l : lines) {
        const StabilityPeak* p = Peak(r, 'x', l.f, 25.0 / r.spectrum.frames);
        ASSERT_NE(p, nullptr) << l.f;
        EXPECT_NEAR(p->amplitude, l.a, 0.02 * l.a) << l.f;
    }
    // A gap longer than a bridge: the spectrum starts after it.
    r = Series(1024, 25, lines, [](uint32_t i) { return i < 500 || i > 520; });
    EXPECT_EQ(r.spectrum.frames, 1024u - 520);
    EXPECT_EQ(r.spectrum.bridged, 0u);
    EXPECT_EQ(r.frames, 1024u - 21);
}

TEST(Stability, FramesMissingOnlyFromTheTimesAreFound) {
    // Numbers run on, but three frames' time is missing after every 100th.
    CStability s(2048);
    const double rate = 100;
    uint32_t slot = 0;
    for (uint32_t i = 1; i <= 1024; ++i) {
        slot += i % 100 == 0 ? 4 : 1;
        const double t = slot / rate;
        s.Add({i, t, 50 + Jitter({{23.0, 1.0, 0.0}}, t), 50, 30, 20, 5000});
    }
    StabilityResult r;
    s.Compute(&r);
    EXPECT_NEAR(r.rateHz, rate, 1e-6 * rate);
    EXPECT_EQ(r.spectrum.frames, 1054u);
    EXPECT_EQ(r.spectrum.bridged, 30u);
    const StabilityPeak* p = Peak(r, 'x', 23.0, rate / r.spectrum.frames);
    ASSERT_NE(p, nullptr);
    EXPECT_NEAR(p->amplitude, 1.0, 0.02);
}

TEST(Stability, PrincipalAxesOfADiagonalJitter) {
    // Motion of amplitude A along `angle`, and a smaller one across it at another frequency.
    struct Case {
        double angle, azimuth;  // the motion's; the x axis'
        bool alongX;            // the motion lies on the x principal axis
    } cases[] = {{30, 30, true}, {-20, -20, true}, {60, -30, false}, {90, 0, false}};
    for (const auto& c : cases) {
        CStability s(2000);
        const double t0 = c.angle * kPi / 180;
        for (uint32_t i = 1; i <= 2000; ++i) {
            const double t = i / 50.0, along = 2 * std::sin(2 * kPi * 3 * t),
                         across = 0.5 * std::sin(2 * kPi * 7.1 * t);
            s.Add({i, t, 10 + along * std::cos(t0) - across * std::sin(t0),
                   20 + along * std::sin(t0) + across * std::cos(t0), 30, 20, 5000});
        }
        StabilityResult r;
        s.Compute(&r);
        EXPECT_NEAR(r.mean.x, 10, 1e-3);
        EXPECT_NEAR(r.delta.azimuth, c.azimuth, 0.1) << c.angle;
        // The std of a sine is A/√2.
        EXPECT_NEAR(c.alongX ? r.std.x : r.std.y, std::sqrt(2.0), 2e-3) << c.angle;
        EXPECT_NEAR(c.alongX ? r.std.y : r.std.x, 0.5 / std::sqrt(2.0), 2e-3) << c.angle;
        EXPECT_DOUBLE_EQ(r.delta.x, 4 * r.std.x);
    }
}

TEST(Stability, ResetsAndBounds) {
    CStability s(5);
    EXPECT_EQ(s.Capacity(), CStability::kMinFrames);
    s.SetCapacity(1u << 20);
    EXPECT_EQ(s.Capacity(), CStability::kMaxFrames);
    s.SetCapacity(100);
    BeamResult b;
    b.valid = true;
    for (uint64_t i = 1; i <= 150; ++i) {
        b.frame = i;
        b.centroidX = double(i);
        s.Add(b, i * 0.01);
    }
    b.valid = false;
    b.frame = 151;
    s.Add(b, 1.51);
    EXPECT_EQ(s.Size(), 100u);  // the newest hundred, the invalid one left out
    StabilityResult r;
    s.Compute(&r);
    EXPECT_DOUBLE_EQ(r.mean.x, 100.5);
    EXPECT_NEAR(r.seconds, 0.99, 1e-9);
    // The camera started over: a new window.
    b.valid = true;
    b.frame = 3;
    s.Add(b, 2.0);
    EXPECT_EQ(s.Size(), 1u);
    s.Reset();
    s.Compute(&r);
    EXPECT_EQ(r.frames, 0u);
    EXPECT_TRUE(r.spectrum.f.empty());
}

TEST(Stability, TheMonitorsWindowFollowsTheBeamAndStartsOver) {
    TempDir dir;
    CBeamMonitor monitor([](const std::string&) {});
    std::string error;
    ASSERT_TRUE(monitor.Start(dir.File("dark.pgm"), {}, &error)) << error;
    constexpr uint32_t kW = 96, kH = 72;
    std::vector<uint8_t> frame(kW * kH);
    auto submit = [&](uint64_t n) {
        // A beam at 7 Hz and 1 px in x at 25 frames/s, each frame measured before the next.
        const double t = n / 25.0, cx = 48 + std::sin(2 * kPi * 7 * t);
        for (uint32_t y = 0; y < kH; ++y)
            for (uint32_t x = 0; x < kW; ++x)
                frame[y * kW + x] = uint8_t(std::lround(
                    10 + 200 * std::exp(-((x - cx) * (x - cx) + (y - 36.0) * (y - 36.0)) / 50)));
        monitor.Submit(n, kW, kH, frame.data(), 1e9 + t);
        for (int i = 0; i < 5000 && !(monitor.Latest() && monitor.Latest()->frame == n); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    auto waitFor = [&](uint32_t frames) {
        for (int i = 0; i < 500; ++i) {
            if (auto s = monitor.Stability(); s && s->frames == frames)
                return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return monitor.Stability();
    };
    for (uint64_t n = 1; n <= 256; ++n)
        submit(n);
    auto s = waitFor(256);
    ASSERT_TRUE(s && s->frames == 256u);
    EXPECT_NEAR(s->rateHz, 25, 1e-6);
    ASSERT_FALSE(s->peaks.empty());
    EXPECT_NEAR(s->peaks[0].frequency, 7, 25.0 / 256);
    EXPECT_NEAR(s->peaks[0].amplitude, 1, 0.05);
    // Another region: the next frame starts a new window.
    monitor.SetRoi({4, 4, 88, 64});
    submit(257);
    s = waitFor(1);
    ASSERT_TRUE(s && s->frames == 1u);
    monitor.ResetStability();
    EXPECT_EQ(monitor.Stability(), nullptr);
}

}  // namespace
