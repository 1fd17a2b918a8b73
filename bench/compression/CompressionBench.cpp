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
#include "compression/LosslessEncoders.h"
#include "frame/FrameHeader.h"
#include "frame/LosslessRecord.h"
#include "tests/compression/TestImages.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

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
        (void)set.Codec()->Compress(pixels.data(), set.CompressedImage());
        (void)set.Codec()->GetOutputFormat(set.OutputFormat());
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

// Frames through the server's encoder workers, several in flight, taken back in order:
// frames/s (real time) with `workers` encoders.
void HuffyuvInFlight(benchmark::State& state) {
    const auto workers = static_cast<int>(state.range(0));
    const auto width = static_cast<uint32_t>(state.range(1));
    const auto height = static_cast<uint32_t>(state.range(2));
    const auto pixels = SpotImage(width, height);
    CLosslessEncoders encoders(workers);
    if (!encoders.Open(width, height)) {
        state.SkipWithError("encoder set-up failed");
        return;
    }
    FrameHeader header;
    header.width = width;
    header.height = height;
    for (auto _ : state) {
        if (encoders.InFlight() == encoders.Capacity()) {
            benchmark::DoNotOptimize(encoders.Oldest(true)->length);
            encoders.PopOldest();
        }
        CLosslessEncoders::Job job;
        job.header = header;
        job.pixels = pixels.data();
        encoders.Submit(std::move(job));
    }
    while (encoders.Oldest(true) != nullptr)
        encoders.PopOldest();
    state.SetItemsProcessed(state.iterations());
}

// The same frames through one libavcodec context with its own frame threads.
void HuffyuvFrameThreads(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int width = static_cast<int>(state.range(1));
    const int height = static_cast<int>(state.range(2));
    const auto gray = SpotImage(uint32_t(width), uint32_t(height));
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_HUFFYUV);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV422P;
    context->time_base = AVRational{1, 25};
    context->thread_count = threads;
    context->thread_type = FF_THREAD_FRAME;
    context->flags |= AV_CODEC_FLAG_INTERLACED_ME;
    av_opt_set(context->priv_data, "pred", "left", 0);
    frame->format = AV_PIX_FMT_YUV422P;
    frame->width = width;
    frame->height = height;
    if (avcodec_open2(context, codec, nullptr) < 0 || av_frame_get_buffer(frame, 0) < 0) {
        state.SkipWithError("encoder set-up failed");
    } else {
        for (int y = 0; y < height; ++y) {
            std::memcpy(frame->data[0] + y * frame->linesize[0], gray.data() + size_t(y) * width,
                        size_t(width));
            std::memset(frame->data[1] + y * frame->linesize[1], 128, size_t(width) / 2);
            std::memset(frame->data[2] + y * frame->linesize[2], 128, size_t(width) / 2);
        }
        int64_t pts = 0;
        for (auto _ : state) {
            frame->pts = pts++;
            avcodec_send_frame(context, frame);
            while (avcodec_receive_packet(context, packet) >= 0)
                av_packet_unref(packet);
        }
        // The frames still inside count: end the stream and collect them.
        avcodec_send_frame(context, nullptr);
        while (avcodec_receive_packet(context, packet) >= 0)
            av_packet_unref(packet);
        state.SetItemsProcessed(state.iterations());
        state.counters["threads"] = context->thread_count;
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Args({768, 574})->Args({1280, 1024})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

BENCHMARK(HuffyuvOurs)->Apply(Sizes);
BENCHMARK(HuffyuvBare)->Apply(Sizes);
BENCHMARK(JpegOurs)->Apply(Sizes);
BENCHMARK(JpegOurs)->Args({2448, 2048})->Args({4096, 3000})->Unit(benchmark::kMillisecond);

// 5 and 12 megapixel cameras, one to three frames in flight.
void LargeInFlight(benchmark::internal::Benchmark* b) {
    for (int n : {1, 2, 3})
        b->Args({n, 2448, 2048})->Args({n, 4096, 3000});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}
BENCHMARK(HuffyuvOurs)->Args({2448, 2048})->Args({4096, 3000})->Unit(benchmark::kMillisecond);
BENCHMARK(HuffyuvInFlight)->Apply(LargeInFlight);
BENCHMARK(HuffyuvFrameThreads)->Apply(LargeInFlight);
BENCHMARK(JpegBare)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
