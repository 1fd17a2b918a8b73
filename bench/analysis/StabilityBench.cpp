// Cost of one stability recompute over a full window, and of appending one result.
// Arguments: window length, and one frame in a hundred missing (1) or none (0).
#include <benchmark/benchmark.h>

#include <cmath>

#include "analysis/Stability.h"

namespace {

void Fill(CStability& s, uint32_t frames, bool gaps) {
    uint32_t kept = 0;
    for (uint64_t i = 1; kept < frames; ++i) {
        if (gaps && i % 100 == 0)
            continue;
        const double t = double(i) / 100;
        s.Add({i, t, 50 + std::sin(2 * 3.14159 * 7 * t), 40 + 0.3 * std::sin(30 * t), 30, 20, 1e5});
        ++kept;
    }
}

void BM_Compute(benchmark::State& state) {
    const uint32_t frames = uint32_t(state.range(0));
    CStability s(frames);
    Fill(s, frames, state.range(1) != 0);
    StabilityResult r;
    for (auto _ : state) {
        s.Compute(&r);
        benchmark::DoNotOptimize(r.peaks.data());
    }
}
BENCHMARK(BM_Compute)
    ->Args({1024, 0})
    ->Args({1024, 1})
    ->Args({16384, 0})
    ->Args({16384, 1})
    ->Unit(benchmark::kMicrosecond);

void BM_Add(benchmark::State& state) {
    CStability s(CStability::kDefaultFrames);
    uint64_t i = 0;
    for (auto _ : state) {
        ++i;
        s.Add({i, double(i) / 100, 50, 40, 30, 20, 1e5});
    }
}
BENCHMARK(BM_Add);

}  // namespace

BENCHMARK_MAIN();
