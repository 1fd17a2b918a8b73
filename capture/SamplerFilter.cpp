#include "capture/SamplerFilter.h"

#include <linux/videodev2.h>

#include <cstdlib>
#include <ctime>

#include "frame/FastCopy.h"
#include "frame/FrameHeader.h"
#include "processing/PixelConversion.h"

namespace {

// Arrivals older than this no longer count towards the frame rate, which is the number of
// arrivals in the window divided by its length.
constexpr double kRateWindowMs = 5000.0;
constexpr double kRatePerArrival = 1000.0 / kRateWindowMs;

}  // namespace

ArrivalTime WallClockNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &local);
    ArrivalTime t;
    t.time = ts.tv_sec;
    t.millitm = static_cast<uint16_t>(ts.tv_nsec / 1000000);
    long standardOffset = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
    t.timezone = static_cast<int16_t>(-standardOffset / 60);
    t.dstflag = static_cast<int16_t>(local.tm_isdst > 0 ? 1 : 0);
    return t;
}

int ConversionForSubtype(uint32_t subtype) {
    switch (subtype) {
        case V4L2_PIX_FMT_BGR24:
            return kConversionRgb24;
        case V4L2_PIX_FMT_BGR32:
        case V4L2_PIX_FMT_XBGR32:
        case V4L2_PIX_FMT_ABGR32:
            return kConversionRgb32;
        case V4L2_PIX_FMT_UYVY:
            return kConversionUyvy;
        case V4L2_PIX_FMT_YUYV:
            return kConversionYuy2;
        case V4L2_PIX_FMT_GREY:
            return kConversionGrey;
        default:
            return kConversionNone;
    }
}

CSamplerFilter::CSamplerFilter(CCaptureQueue* queue, double rateLimit, ICaptureEvents* events,
                               bool serverMode, PreviewRenderer preview)
    : queue_(queue),
      rateLimit_(rateLimit),
      events_(events),
      serverMode_(serverMode),
      preview_(std::move(preview)) {
    history_.fill(-1.0);
}

bool CSamplerFilter::CheckMediaType(const MediaType& type) {
    int conversion = ConversionForSubtype(type.subtype);
    if (conversion == kConversionNone || !type.hasFormat)
        return false;
    const BitmapInfoHeader& h = type.header;
    // Sizes that would overflow the record, and rows longer than their stride, would
    // make the conversion read or write out of bounds.
    constexpr int32_t kMaxSide = static_cast<int32_t>(kMaxFrameSide);
    if (h.biWidth < 0 || h.biWidth > kMaxSide || h.biHeight < -kMaxSide || h.biHeight > kMaxSide)
        return false;
    uint32_t width = static_cast<uint32_t>(h.biWidth);
    if (type.stride != 0 && type.stride < width * SourceBytesPerPixel(conversion))
        return false;
    conversion_ = conversion;
    header_ = h;
    width_ = width;
    height_ = static_cast<uint32_t>(std::abs(h.biHeight));
    stride_ = type.stride;
    if (width_ != 0 && height_ != 0)
        formatKnown_ = true;
    return true;
}

bool CSamplerFilter::SampleLongEnough(const MediaSample& sample) const {
    return sample.data != nullptr &&
           sample.length >= SourceFrameBytes(conversion_, width_, header_.biHeight, stride_);
}

bool CSamplerFilter::DoRenderSample(const MediaSample& sample) {
    if (!formatKnown_)
        return false;
    if (serverMode_)
        return DeliverFrame(sample);

    // Preview: timing as for the server, no rate limit, then the drawing hook.
    if (sample.data == nullptr)
        return false;
    arrival_ = clock_();
    frameCounter_.fetch_add(1);
    PreviewFrame frame;
    frame.frameRate = MeasureFrameRate(arrival_);
    if (!preview_ || !SampleLongEnough(sample))
        return true;
    frame.sample = &sample;
    frame.conversion = conversion_;
    frame.header = header_;
    frame.stride = stride_;
    frame.grayscale = grayscale_.load();
    preview_(frame);
    return true;
}

double CSamplerFilter::MeasureFrameRate(const ArrivalTime& now) {
    double nowMs = static_cast<double>(now.time) * 1000.0 + now.millitm;
    double oldest = nowMs - kRateWindowMs;
    int count = 0;
    for (double& entry : history_) {
        if (entry > 0) {
            if (entry >= oldest)
                ++count;
            else
                entry = -1.0;
        }
    }
    for (double& entry : history_) {
        if (entry < 0) {
            entry = nowMs;
            break;
        }
    }
    return count * kRatePerArrival;
}

bool CSamplerFilter::DeliverFrame(const MediaSample& sample) {
    // A sample shorter than its format would be read past its end.
    if (queue_ == nullptr || !SampleLongEnough(sample))
        return false;
    arrival_ = clock_();

    // Spacing is measured from the last passed sample, so the rate stays at or below the
    // limit. A sample without a start time cannot be placed and passes.
    if (rateLimit_ > 0 && sample.hasTime) {
        if (nextStart_ >= 0 && sample.startTime < nextStart_)
            return true;
        nextStart_ =
            sample.startTime + static_cast<int64_t>(double(kTimeUnitsPerSecond) / rateLimit_);
    }

    uint32_t frameNumber = frameCounter_.fetch_add(1) + 1;
    const uint32_t pixels = width_ * height_;
    CPoolBlock record = CPoolBlock::Alloc(kFrameHeaderSize + pixels);
    if (!record) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;  // the frame number stays used
    }

    FrameHeader header;
    header.totalLength = pixels;
    header.dataLength = pixels;
    header.formatLength = 0;
    header.frameNumber = frameNumber;
    header.time = static_cast<int32_t>(arrival_.time);
    header.millitm = arrival_.millitm;
    header.timezone = arrival_.timezone;
    header.dstflag = arrival_.dstflag;
    header.reserved0 = 0;
    header.width = width_;
    header.height = height_;
    header.compressed = 0;
    header.frameRate = MeasureFrameRate(arrival_);
    header.bitsPerPixel = 8;
    header.effectiveBits = 8;

    ConvertToGray(sample.data, record.Data() + kFrameHeaderSize, conversion_, width_,
                  header_.biHeight, stride_);
    FastCopy(record.Data(), &header, kFrameHeaderSize);

    dropped_.fetch_add(static_cast<uint64_t>(TrimCaptureQueue(*queue_)), std::memory_order_relaxed);
    const uint8_t* queued = record.Data();
    queue_->AddTail(std::move(record));

    if (events_ == nullptr || !events_->FrameQueued()) {
        // The main thread may already have taken the record; then it is its to free.
        queue_->RemoveFirst([&](const CPoolBlock& b) { return b.Data() == queued; });
        frameCounter_.fetch_sub(1);
        return false;
    }
    return true;
}

void CSamplerFilter::ResetTiming() {
    nextStart_ = -1;
    history_.fill(-1.0);
}

bool CSamplerFilter::SetGrayscale(bool on) {
    if (serverMode_)
        return false;
    grayscale_.store(on);
    return true;
}
