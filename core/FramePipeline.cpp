#include "core/FramePipeline.h"

#include <time.h>

#include <cstring>
#include <utility>

#include "base/LogSink.h"
#include "base/ThreadName.h"
#include "compression/CodecSet.h"
#include "frame/BitmapInfoHeader.h"
#include "frame/LosslessRecord.h"
#include "processing/EffectiveBits.h"
#include "processing/Orientation.h"
#include "processing/SpotAnalyzer.h"

namespace {

constexpr uint16_t kSpotHarmonics = 5;
constexpr uint16_t kSpotIterations = 1;

// How often a wait for a record looks for a new frame in the Capture queue: a fraction of
// the fastest camera's frame time.
constexpr std::chrono::microseconds kNewFramePoll{1000};

uint64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t WallNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Adds the CPU time since the last call to one stage's sum.
class StageClock {
  public:
    StageClock() : last_(ThreadCpuNs()) {}
    void Lap(uint64_t& sum) {
        const uint64_t now = ThreadCpuNs();
        sum += now - last_;
        last_ = now;
    }

  private:
    uint64_t last_;
};

}  // namespace

CFramePipeline::CFramePipeline(ILogSink* log)
    : log_(log), encoders_(CLosslessEncoders::WorkersFor(std::thread::hardware_concurrency())) {}

CFramePipeline::~CFramePipeline() {
    if (!jpegThread_.joinable())
        return;
    {
        std::lock_guard lock(jobMutex_);
        quit_ = true;
    }
    jobChanged_.notify_all();
    jpegThread_.join();
}

bool CFramePipeline::MeasureSpot(const uint8_t* pixels, uint32_t width, uint32_t height,
                                 SpotResults* spot) {
    SpotAnalyzer analyzer(pixels, kSpotHarmonics, kSpotIterations, width, height);
    if (!analyzer.HasProjections())
        return false;
    analyzer.Compute();
    *spot = {static_cast<float>(analyzer.GetXm()), static_cast<float>(analyzer.GetYm()),
             static_cast<float>(analyzer.GetXrms()), static_cast<float>(analyzer.GetYrms())};
    return true;
}

void CFramePipeline::RunJpegJobs() {
    NameThisThread("lx-jpeg");
    std::unique_lock lock(jobMutex_);
    for (;;) {
        jobChanged_.wait(lock, [this] { return quit_ || !jobDone_; });
        if (quit_)
            return;
        JpegJob& job = job_;  // the main thread leaves it alone until jobDone_
        lock.unlock();
        const uint64_t start = ThreadCpuNs();
        const bool ok =
            job.encoder->Encode(job.pixels, job.header, job.output, job.size, job.name).Ok();
        const uint64_t encoded = ThreadCpuNs();
        jpegTime_.fetch_add(encoded - start, std::memory_order_relaxed);
        job.spotMeasured = MeasureSpot(job.pixels, job.header.width, job.header.height, &job.spot);
        spotTime_.fetch_add(ThreadCpuNs() - encoded, std::memory_order_relaxed);
        lock.lock();
        jobResult_ = ok;
        jobDone_ = true;
        jobChanged_.notify_all();
    }
}

void CFramePipeline::StartJpeg(const JpegJob& job) {
    // A server whose lossy channel stays off never needs the thread.
    if (!jpegThread_.joinable())
        jpegThread_ = std::thread(&CFramePipeline::RunJpegJobs, this);
    {
        std::lock_guard lock(jobMutex_);
        job_ = job;
        jobDone_ = false;
    }
    jobChanged_.notify_all();
}

bool CFramePipeline::FinishJpeg(uint32_t* size) {
    std::unique_lock lock(jobMutex_);
    jobChanged_.wait(lock, [this] { return jobDone_; });
    *size = job_.size;
    if (job_.spotMeasured)
        spot_ = job_.spot;
    return jobResult_;
}

bool CFramePipeline::OnFrameReady(CCaptureQueue& queue, CCodecSet* codecs,
                                  const Settings& settings) {
    counters_.drained += static_cast<uint64_t>(TrimCaptureQueue(queue));
    CPoolBlock record = queue.RemoveHead();
    const bool taken = static_cast<bool>(record);
    if (taken)
        Process(std::move(record), codecs, settings);
    // Also a surplus command (its frame went with an earlier one) hands on what is done.
    HandOnLossless(queue);
    return taken;
}

bool CFramePipeline::HandOnOldest(bool wait) {
    const uint64_t waitStart = WallNs();
    const CLosslessEncoders::Record* done = encoders_.Oldest(wait);
    times_.losslessWait += WallNs() - waitStart;
    if (done == nullptr)
        return false;
    if (done->length > 0) {
        ++counters_.processed;
        if (lossless_)
            lossless_(done->data, done->length);
    }
    // The frame's blocks go back before the next frame needs some.
    encoders_.PopOldest();
    return true;
}

void CFramePipeline::HandOnLossless(const CCaptureQueue& queue) {
    for (;;) {
        if (HandOnOldest(false))
            continue;
        // A waiting frame brings a command of its own, which hands on what is left; without
        // one nothing else would, so the newest frame is waited for here. The wait ends
        // early for a new frame, whose encode may then start beside the one in flight.
        if (encoders_.InFlight() == 0 || queue.GetCount() > 0)
            return;
        const uint64_t waitStart = WallNs();
        encoders_.WaitOldest(kNewFramePoll);
        times_.losslessWait += WallNs() - waitStart;
    }
}

void CFramePipeline::Process(CPoolBlock record, CCodecSet* codecs, const Settings& settings) {
    if (record.Size() < kFrameHeaderSize)
        return;
    FrameHeader header = ReadHeader<FrameHeader>(record.Data());
    const uint64_t pixelCount = uint64_t{header.width} * header.height;
    // Every record is 8-bit gray from the capture side; anything else is not ours to send.
    if (header.bitsPerPixel != 8 || pixelCount == 0 ||
        record.Size() < kFrameHeaderSize + pixelCount)
        return;
    const uint8_t* pixels = record.Data() + kFrameHeaderSize;
    StageClock clock;

    if (!CheckEffectiveBits(pixels, static_cast<int>(header.bitsPerPixel),
                            static_cast<int>(header.effectiveBits), pixelCount) &&
        !effectiveBitsWarned_) {
        effectiveBitsWarned_ = true;
        LogMessage(log_, "%dbpp: out of effective bits range (ebr=%d) bits found (fno=%lu)!",
                   static_cast<int>(header.bitsPerPixel), static_cast<int>(header.effectiveBits),
                   static_cast<unsigned long>(header.frameNumber));
        LogMessage(log_, "This warning will only appear once! It is now disabled.");
    }

    if (codecs == nullptr || !codecs->IsInitialized()) {
        ++counters_.withoutCodecs;
        return;
    }

    header.scale = settings.scale;
    CPoolBlock oriented;
    if (settings.orientation != "NORM") {
        oriented = CPoolBlock::Alloc(static_cast<uint32_t>(pixelCount));
        // Without a block the frame goes on as it came.
        if (oriented &&
            Orient(oriented.Data(), pixels, settings.orientation,
                   static_cast<int32_t>(header.width), static_cast<int32_t>(header.height), 8)) {
            pixels = oriented.Data();
            if (OrientationSwapsWidthHeight(settings.orientation))
                std::swap(header.width, header.height);
        }
    }

    clock.Lap(times_.check);

    CJpegEncoder* jpeg = codecs->JpegEncoder();
    const bool encodeJpeg = settings.lossyEnabled && jpeg != nullptr && codecs->JpegBuffer();
    uint32_t jpegSize = codecs->JpegCapacity();
    if (encodeJpeg) {
        // Everything it points to outlives the job: FinishJpeg comes before the blocks go.
        JpegJob job;
        job.encoder = jpeg;
        job.pixels = pixels;
        job.header = header;
        job.output = codecs->JpegBuffer();
        job.size = jpegSize;
        job.name = settings.cameraName.c_str();
        StartJpeg(job);
    }

    // The encoders follow the codec set's geometry, which is the oriented one.
    const auto codecWidth = static_cast<uint32_t>(codecs->Width());
    const auto codecHeight = static_cast<uint32_t>(codecs->Height());
    if (encoders_.Width() != codecWidth || encoders_.Height() != codecHeight) {
        while (HandOnOldest(true)) {
        }
        encoders_.Open(codecWidth, codecHeight);
    }
    // Memory stays bounded: one frame in flight per encoder.
    if (encoders_.InFlight() == encoders_.Capacity())
        HandOnOldest(true);
    CLosslessEncoders::Job job;
    job.header = header;
    job.pixels = pixels;
    // The blocks stay with the job until its record is handed on; the pointers in
    // them stay valid for the JPEG, the spot and the frame sink below.
    job.hold[0] = std::move(record);
    job.hold[1] = std::move(oriented);
    encoders_.Submit(std::move(job));

    clock.Lap(times_.check);

    // Without a JPEG the spot is the main thread's: waking the side thread would cost more.
    if (!encodeJpeg) {
        SpotResults spot;
        if (MeasureSpot(pixels, header.width, header.height, &spot))
            spot_ = spot;
        clock.Lap(times_.spot);
    }

    if (frame_)
        frame_(header, pixels);

    const uint64_t waitStart = WallNs();
    const bool jpegOk = encodeJpeg && FinishJpeg(&jpegSize);
    times_.jpegWait += WallNs() - waitStart;
    clock = StageClock();

    // A failed encoding leaves a stale or partial JPEG in the buffer: never send it.
    if (encodeJpeg) {
        if (jpegOk && lossy_)
            lossy_(codecs->JpegBuffer(), jpegSize);
        else if (!jpegOk)
            ++counters_.jpegFailed;
    }

    lastTime_ = {header.time, header.millitm, header.timezone, header.dstflag};
    clock.Lap(times_.distribute);
}

CFramePipeline::StageTimes CFramePipeline::GetStageTimes() const {
    StageTimes t = times_;
    t.lossless = encoders_.CpuNs();
    t.jpeg = jpegTime_.load(std::memory_order_relaxed);
    t.spot += spotTime_.load(std::memory_order_relaxed);
    return t;
}
