#include <benchmark/benchmark.h>
#include <linux/videodev2.h>

#include "base/MessageQueue.h"
#include "capture/SamplerFilter.h"
#include "capture/SyntheticCamera.h"
#include "frame/BufferPool.h"

namespace {

constexpr uint32_t kWidth = 768, kHeight = 574;
const uint32_t kFormats[] = {V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_BGR32, V4L2_PIX_FMT_UYVY,
                             V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_GREY};

// The streaming thread's cost per frame: rate bookkeeping, pool block, conversion,
// header, queue and post; the consumer side (take and free) is included.
void BM_DeliverFrame(benchmark::State& state) {
    const uint32_t format = kFormats[state.range(0)];
    std::vector<uint8_t> gray, sample;
    RenderSyntheticGray(SyntheticSpot{}, kWidth, kHeight, 0, &gray);
    PackGraySample(gray, kWidth, kHeight, format, &sample);
    CCaptureQueue queue;
    CMessageQueue poster;
    // Announced as the server does: one task per frame on the main thread's queue.
    struct Events : ICaptureEvents {
        CMessageQueue& q;
        explicit Events(CMessageQueue& queue) : q(queue) {}
        bool FrameQueued() override {
            return q.PostTask([] {});
        }
        void StreamFailed() override {}
    } events(poster);
    CSamplerFilter filter(&queue, -1, &events, true);
    MediaType type;
    type.subtype = format;
    type.hasFormat = true;
    type.header.biWidth = kWidth;
    type.header.biHeight = -static_cast<int32_t>(kHeight);
    filter.CheckMediaType(type);
    MediaSample s;
    s.data = sample.data();
    s.length = sample.size();
    for (auto _ : state) {
        filter.DoRenderSample(s);
        queue.RemoveHead();
        poster.Pump([](const PostedMessage&) {});
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight);
}
BENCHMARK(BM_DeliverFrame)->DenseRange(0, 4)->ArgNames({"format"});

// What the synthetic camera spends per frame before the hand-off.
void BM_SyntheticFrame(benchmark::State& state) {
    const uint32_t format = kFormats[state.range(0)];
    std::vector<uint8_t> gray, sample;
    uint64_t sequence = 0;
    for (auto _ : state) {
        RenderSyntheticGray(SyntheticSpot{}, kWidth, kHeight, sequence++, &gray);
        PackGraySample(gray, kWidth, kHeight, format, &sample);
        benchmark::DoNotOptimize(sample.data());
    }
}
BENCHMARK(BM_SyntheticFrame)->DenseRange(0, 4)->ArgNames({"format"});

}  // namespace

BENCHMARK_MAIN();
