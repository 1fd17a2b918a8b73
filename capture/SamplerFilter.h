#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "capture/CaptureEvents.h"
#include "capture/MediaType.h"
#include "frame/CaptureQueue.h"

// Wall-clock time of a sample's arrival: the four time fields of the frame header.
struct ArrivalTime {
    int64_t time = 0;      // seconds since 1970-01-01 UTC
    uint16_t millitm = 0;  // 0..999
    int16_t timezone = 0;  // minutes west of UTC, standard time
    int16_t dstflag = 0;   // nonzero while daylight saving time is in effect
};

ArrivalTime WallClockNow();

// Conversion number (PixelConversion.h) of a V4L2 pixel format, kConversionNone for a
// format the system does not accept.
int ConversionForSubtype(uint32_t subtype);

// What the preview gets for each sample, on the streaming thread.
struct PreviewFrame {
    const MediaSample* sample = nullptr;
    int conversion = -1;
    BitmapInfoHeader header;  // as recorded; biHeight keeps its sign
    uint32_t stride = 0;      // 0: unpadded rows
    bool grayscale = false;
    double frameRate = 0;
};
using PreviewRenderer = std::function<void(const PreviewFrame&)>;

// The system's own renderer: it accepts the connection's format and is handed every
// sample on the backend's streaming thread. In server mode each sample that passes the
// rate limit becomes a frame record in the Capture queue, announced to the events (and
// through them to the main thread); in preview mode it goes to the preview renderer.
// Owned by CGrabber. CheckMediaType and ResetTiming run while no sample is being
// delivered (before streaming starts, after it has stopped); SetGrayscale any time.
class CSamplerFilter {
  public:
    // `queue` and `events` are borrowed and must outlive the filter (server mode).
    // `rateLimit` in Hz; <= 0 means no limit.
    CSamplerFilter(CCaptureQueue* queue, double rateLimit, ICaptureEvents* events, bool serverMode,
                   PreviewRenderer preview = {});
    CSamplerFilter(const CSamplerFilter&) = delete;
    CSamplerFilter& operator=(const CSamplerFilter&) = delete;

    // True for an accepted format with a format block (the recorded format stays as it
    // was otherwise).
    bool CheckMediaType(const MediaType& type);

    // Streaming thread. True when the sample was taken: queued, shown, or passed over by
    // the rate limit; false when it was dropped (no format known yet, too short, no
    // block, or the main thread would not hear of it).
    bool DoRenderSample(const MediaSample& sample);

    // After streaming has stopped: the next sample passes the rate limit and the frame
    // rate starts again from 0.
    void ResetTiming();

    // Preview mode only; false in server mode.
    bool SetGrayscale(bool on);

    // Tests drive the arrival clock.
    void SetClock(std::function<ArrivalTime()> clock) { clock_ = std::move(clock); }

    bool IsFormatKnown() const { return formatKnown_; }
    int GetConversion() const { return conversion_; }
    uint32_t GetWidth() const { return width_; }
    uint32_t GetHeight() const { return height_; }
    uint32_t GetFrameCounter() const { return frameCounter_.load(); }
    // Records this side cut from the Capture queue, or never queued for want of a block.
    uint64_t GetDroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    bool DeliverFrame(const MediaSample& sample);
    // Records the arrival in the history; returns the frame rate of the earlier arrivals.
    double MeasureFrameRate(const ArrivalTime& now);
    bool SampleLongEnough(const MediaSample& sample) const;

    static constexpr int kHistorySize = 300;

    CCaptureQueue* const queue_;
    const double rateLimit_;
    ICaptureEvents* const events_;
    const bool serverMode_;
    const PreviewRenderer preview_;
    std::atomic<bool> grayscale_{false};
    std::function<ArrivalTime()> clock_ = WallClockNow;

    // Recorded format: written by CheckMediaType before streaming, read while streaming.
    bool formatKnown_ = false;
    int conversion_ = -1;
    BitmapInfoHeader header_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t stride_ = 0;

    // Streaming-thread state (and ResetTiming's, once streaming has stopped).
    std::atomic<uint32_t> frameCounter_{0};  // read by the main thread for display
    std::atomic<uint64_t> dropped_{0};
    ArrivalTime arrival_;
    int64_t nextStart_ = -1;
    std::array<double, kHistorySize> history_;
};
