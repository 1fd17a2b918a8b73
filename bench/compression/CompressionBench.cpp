// Per-frame cost of both encoders, each beside the bare library doing the same work:
// libavcodec encoding the same YUV 4:2:2 frame, and libjpeg-turbo compressing the same
// false-colour RGB image at the same quality. Frames: a spot with noise, as cameras give.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bench/support/BareEncoders.h"
#include "compression/CodecSet.h"
#include "frame/FrameHeader.h"
#include "frame/LosslessRecord.h"
#include "tests/compression/TestImages.h"

namespace {

constexpr int kQuality = 30;

// The same spot image with noise the tests use.
std::vector<uint8_t> SpotImage(uint32_t width, uint32_t height) {
    return MakeImage(ImageKind::kSpot, width, height);
}

void HuffyuvOurs(benchmark::State& state) {
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    const auto pixels = SpotImage(width, height);
    CCodecSet set(nullptr);
    if (!set.InitializeCompressionCodec(int(width), int(height), 8, kQuality)) {
        state.SkipWithError("codec set-up failed");
        return;
    }
    FrameHeader header;
    header.width = width;
    header.height = height;
    BITMAPINFOHEADER format;
    for (auto _ : state) {
        set.Codec()->Compress(pixels.data(), set.CompressedImage());
        set.Codec()->GetOutputFormat(set.OutputFormat());
        std::memcpy(&format, set.OutputFormat(), sizeof format);
        benchmark::DoNotOptimize(PutLosslessRecord(
            set.LosslessRecord(), set.LosslessRecordCapacity(), header, set.OutputFormat(),
            format.biSize, set.CompressedImage(), format.biSizeImage, pixels.data()));
    }
    state.counters["bytes"] = format.biSizeImage;
    state.counters["ratio"] = double(width) * height / (format.biSize + format.biSizeImage);
}

void HuffyuvBare(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    CBareHuffyuv bare(SpotImage(uint32_t(width), uint32_t(height)), width, height);
    if (!bare.Ok()) {
        state.SkipWithError("encoder set-up failed");
        return;
    }
    int bytes = 0;
    for (auto _ : state)
        bytes = bare.Encode();
    state.counters["bytes"] = bytes;
}

void JpegOurs(benchmark::State& state) {
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    const auto pixels = SpotImage(width, height);
    CJpegEncoder encoder;
    if (!encoder.SetSize(int(width), int(height))) {
        state.SkipWithError("size refused");
        return;
    }
    encoder.SetQuality(kQuality);
    std::vector<uint8_t> out(encoder.GetMaxOutputSize());
    FrameHeader header;
    header.width = width;
    header.height = height;
    uint32_t size = 0;
    for (auto _ : state) {
        size = static_cast<uint32_t>(out.size());
        if (!encoder.Encode(pixels.data(), header, out.data(), size, "BenchCam")) {
            state.SkipWithError("encode failed");
            return;
        }
    }
    state.counters["bytes"] = size;
}

void JpegBare(benchmark::State& state) {
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    CBareJpeg bare(SpotImage(width, height), int(width), int(height), kQuality);
    unsigned long size = 0;
    for (auto _ : state)
        size = bare.Encode();
    state.counters["bytes"] = double(size);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Args({768, 574})->Args({1280, 1024})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

BENCHMARK(HuffyuvOurs)->Apply(Sizes);
BENCHMARK(HuffyuvBare)->Apply(Sizes);
BENCHMARK(JpegOurs)->Apply(Sizes);
BENCHMARK(JpegBare)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
