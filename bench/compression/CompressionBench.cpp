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

#include "compression/CodecSet.h"
#include "frame/FrameHeader.h"
#include "frame/LosslessRecord.h"
#include "tests/compression/TestImages.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}
#include <jpeglib.h>

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
    const auto pixels = SpotImage(uint32_t(width), uint32_t(height));
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_HUFFYUV);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV422P;
    context->time_base = AVRational{1, 25};
    context->thread_count = 1;
    if (height > 288)
        context->flags |= AV_CODEC_FLAG_INTERLACED_ME;
    av_opt_set(context->priv_data, "pred", "left", 0);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    frame->format = AV_PIX_FMT_YUV422P;
    frame->width = width;
    frame->height = height;
    if (avcodec_open2(context, codec, nullptr) < 0 || av_frame_get_buffer(frame, 0) < 0) {
        state.SkipWithError("encoder set-up failed");
        return;
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(frame->data[0] + y * frame->linesize[0], pixels.data() + size_t(y) * width,
                    size_t(width));
        std::memset(frame->data[1] + y * frame->linesize[1], 128, size_t(width) / 2);
        std::memset(frame->data[2] + y * frame->linesize[2], 128, size_t(width) / 2);
    }
    int bytes = 0;
    for (auto _ : state) {
        avcodec_send_frame(context, frame);
        avcodec_receive_packet(context, packet);
        bytes = packet->size;
        av_packet_unref(packet);
    }
    state.counters["bytes"] = bytes;
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
}

void JpegOurs(benchmark::State& state) {
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    const auto pixels = SpotImage(width, height);
    CJpegEncoder encoder;
    encoder.SetSize(int(width), int(height));
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
    const auto pixels = SpotImage(width, height);
    std::vector<uint8_t> rgb(pixels.size() * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const FalseColour c = FalseColourTable()[pixels[i]];
        rgb[3 * i] = c.r;
        rgb[3 * i + 1] = c.g;
        rgb[3 * i + 2] = c.b;
    }
    std::vector<uint8_t> out(2 * pixels.size() + 4096);
    unsigned long size = 0;
    for (auto _ : state) {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr err;
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_compress(&cinfo);
        cinfo.image_width = width;
        cinfo.image_height = height;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, kQuality, TRUE);
        unsigned char* target = out.data();
        size = out.size();
        jpeg_mem_dest(&cinfo, &target, &size);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = rgb.data() + size_t{cinfo.next_scanline} * width * 3;
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
    }
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
