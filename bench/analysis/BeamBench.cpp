// Cost of one beam measurement per frame. Arguments: width, height, beam σ (px), with a dark
// frame (1) or not (0). The frame is a rotated elliptical Gaussian on an offset with noise.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "analysis/Beam.h"

namespace {

std::vector<uint8_t> Frame(uint32_t w, uint32_t h, double sigma) {
    std::vector<uint8_t> f(size_t{w} * h);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 3);
    const double c = std::cos(0.5), s = std::sin(0.5);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double dx = x - 0.52 * w, dy = y - 0.47 * h;
            const double u = (dx * c + dy * s) / sigma, v = (-dx * s + dy * c) / (0.6 * sigma);
            const double value = 15 + 180 * std::exp(-0.5 * (u * u + v * v)) + noise(rng);
            f[size_t{y} * w + x] = static_cast<uint8_t>(std::clamp(std::round(value), 0.0, 255.0));
        }
    }
    return f;
}

void BM_Measure(benchmark::State& state) {
    const auto w = static_cast<uint32_t>(state.range(0));
    const auto h = static_cast<uint32_t>(state.range(1));
    const std::vector<uint8_t> frame = Frame(w, h, static_cast<double>(state.range(2)));
    DarkFrame dark{w, h, 16, std::vector<float>(size_t{w} * h, 15.0f)};
    CBeamAnalyzer analyzer;
    BeamResult result;
    for (auto _ : state) {
        analyzer.Measure(frame.data(), w, h, {}, state.range(3) ? &dark : nullptr, &result);
        benchmark::DoNotOptimize(result.widthMajor);
    }
    state.counters["steps"] = result.iterations;
    state.counters["valid"] = result.valid;
}

}  // namespace

BENCHMARK(BM_Measure)
    ->ArgNames({"w", "h", "sigma", "dark"})
    ->Args({768, 574, 5, 0})
    ->Args({768, 574, 40, 0})
    ->Args({768, 574, 40, 1})
    ->Args({1920, 1080, 5, 0})
    ->Args({1920, 1080, 100, 0})
    ->Args({1920, 1080, 100, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
