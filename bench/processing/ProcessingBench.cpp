// Per-frame cost of each processing stage, beside a memcpy of the same gray frame measured in
// the same run. Arguments: width, height. Throughput is in gray-frame bytes for every stage.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "processing/CpuFeatures.h"
#include "processing/EffectiveBits.h"
#include "processing/Orientation.h"
#include "processing/PixelConversion.h"
#include "processing/SpotAnalyzer.h"

namespace {

std::vector<uint8_t> Noise(size_t bytes) {
    std::vector<uint8_t> v(bytes);
    std::mt19937 rng(1);
    for (uint8_t& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

size_t Pixels(const benchmark::State& state) {
    return static_cast<size_t>(state.range(0)) * static_cast<size_t>(state.range(1));
}

void Finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Pixels(state)));
}

void BM_Memcpy(benchmark::State& state) {
    const std::vector<uint8_t> src = Noise(Pixels(state));
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

void Convert(benchmark::State& state, int conversion) {
    const auto w = static_cast<uint32_t>(state.range(0));
    const auto h = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> src = Noise(SourceFrameBytes(conversion, w, h));
    std::vector<uint8_t> dst(Pixels(state));
    for (auto _ : state) {
        ConvertToGray(src.data(), dst.data(), conversion, w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

void BM_Rgb24(benchmark::State& state) {
    Convert(state, kConversionRgb24);
}
void BM_Rgb32(benchmark::State& state) {
    Convert(state, kConversionRgb32);
}
void BM_Uyvy(benchmark::State& state) {
    Convert(state, kConversionUyvy);
}
void BM_Yuy2(benchmark::State& state) {
    Convert(state, kConversionYuy2);
}
void BM_Grey(benchmark::State& state) {
    Convert(state, kConversionGrey);
}

void OrientFrame(benchmark::State& state, const char* name, int bits) {
    const auto w = static_cast<int32_t>(state.range(0));
    const auto h = static_cast<int32_t>(state.range(1));
    const size_t bytes = Pixels(state) * static_cast<size_t>(bits / 8);
    const std::vector<uint8_t> src = Noise(bytes);
    std::vector<uint8_t> dst(bytes);
    for (auto _ : state) {
        Orient(dst.data(), src.data(), name, w, h, bits);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    Finish(state);
}

std::vector<uint8_t> SpotImage(const benchmark::State& state) {
    const auto w = static_cast<uint32_t>(state.range(0));
    const auto h = static_cast<uint32_t>(state.range(1));
    std::vector<uint8_t> image(Pixels(state));
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double dx = x - w * 0.4, dy = y - h * 0.6;
            image[y * w + x] = static_cast<uint8_t>(
                20 + 200 * std::exp(-(dx * dx / (2.0 * 900) + dy * dy / (2.0 * 400))));
        }
    }
    return image;
}

void BM_Spot(benchmark::State& state) {
    const auto w = static_cast<uint32_t>(state.range(0));
    const auto h = static_cast<uint32_t>(state.range(1));
    const std::vector<uint8_t> image = SpotImage(state);
    for (auto _ : state) {
        // As the pipeline does it: one object per frame.
        SpotAnalyzer analyzer(image.data(), 5, 1, w, h);
        analyzer.Compute();
        benchmark::DoNotOptimize(analyzer.GetXrms());
    }
    Finish(state);
}

// The projections alone: the one pass over the image.
void BM_SpotProjection(benchmark::State& state) {
    const auto w = static_cast<uint32_t>(state.range(0));
    const auto h = static_cast<uint32_t>(state.range(1));
    const std::vector<uint8_t> image = SpotImage(state);
    for (auto _ : state) {
        SpotProjection projection(image.data(), w, h);
        benchmark::DoNotOptimize(projection.HasProjections());
    }
    Finish(state);
}

void BM_EffectiveBits(benchmark::State& state) {
    // 7 effective bits of 8 and no pixel above: the whole frame is read.
    std::vector<uint8_t> image(Pixels(state), 0x55);
    for (auto _ : state)
        benchmark::DoNotOptimize(CheckEffectiveBits(image.data(), 8, 7, image.size()));
    Finish(state);
}

// The facility's most common frame, for the orientations.
void OrientSizes(benchmark::internal::Benchmark* b) {
    b->Args({768, 574})->Args({1024, 1024})->Args({1280, 1024})->Args({1920, 1080});
    b->Unit(benchmark::kMicrosecond);
}

// The same stage on narrower kernels, for processors without the wider ones.
template <void (*Stage)(benchmark::State&), KernelSet kWidest>
void Limited(benchmark::State& state) {
    LimitKernels(kWidest);
    Stage(state);
    LimitKernels(KernelSet::kAvx512);
}

void BM_Rot90(benchmark::State& state) {
    OrientFrame(state, "ROT90CW", 8);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Args({768, 574})->Args({1280, 1024})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Apply(OrientSizes);
BENCHMARK(BM_Rgb24)->Apply(Sizes);
BENCHMARK(BM_Rgb32)->Apply(Sizes);
BENCHMARK(BM_Uyvy)->Apply(Sizes);
BENCHMARK(BM_Yuy2)->Apply(Sizes);
BENCHMARK(BM_Grey)->Apply(Sizes);
BENCHMARK_CAPTURE(OrientFrame, ROT90CW_8, "ROT90CW", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT180CW_8, "ROT180CW", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT270CW_8, "ROT270CW", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, MIRRORVERT_8, "MIRRORVERT", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, MIRRORHORIZ_8, "MIRRORHORIZ", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT90CWMIRRHORIZ_8, "ROT90CWMIRRHORIZ", 8)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT90CW_16, "ROT90CW", 16)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT180CW_16, "ROT180CW", 16)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT90CW_32, "ROT90CW", 32)->Apply(OrientSizes);
BENCHMARK_CAPTURE(OrientFrame, ROT180CW_32, "ROT180CW", 32)->Apply(OrientSizes);
BENCHMARK(BM_Spot)->Apply(Sizes);
BENCHMARK(BM_SpotProjection)->Apply(Sizes);
BENCHMARK(BM_EffectiveBits)->Apply(Sizes);
BENCHMARK(Limited<BM_Rgb24, KernelSet::kAvx2>)->Name("Avx2_Rgb24")->Apply(Sizes);
BENCHMARK(Limited<BM_Rgb32, KernelSet::kAvx2>)->Name("Avx2_Rgb32")->Apply(Sizes);
BENCHMARK(Limited<BM_Uyvy, KernelSet::kAvx2>)->Name("Avx2_Uyvy")->Apply(Sizes);
BENCHMARK(Limited<BM_Uyvy, KernelSet::kBaseline>)->Name("Baseline_Uyvy")->Apply(Sizes);
BENCHMARK(Limited<BM_Rgb24, KernelSet::kBaseline>)->Name("Baseline_Rgb24")->Apply(Sizes);
BENCHMARK(Limited<BM_Rgb32, KernelSet::kBaseline>)->Name("Baseline_Rgb32")->Apply(Sizes);
BENCHMARK(Limited<BM_Rot90, KernelSet::kBaseline>)->Name("Baseline_ROT90CW_8")->Apply(OrientSizes);
BENCHMARK(Limited<BM_Spot, KernelSet::kBaseline>)->Name("Baseline_Spot")->Apply(Sizes);

BENCHMARK_MAIN();
