#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "compression/LosslessEncoders.h"
#include "frame/CaptureQueue.h"
#include "frame/FrameHeader.h"

class CCodecSet;
class CJpegEncoder;
class ILogSink;

// The spot results of the last measured frame; -1 until one was measured.
struct SpotResults {
    float xm = -1.0f;
    float ym = -1.0f;
    float xrms = -1.0f;
    float yrms = -1.0f;
};

// The capture-time fields of the last processed frame.
struct FrameTime {
    int32_t time = 0;
    uint16_t millitm = 0;
    int16_t timezone = 0;
    int16_t dstflag = 0;
};

// The work of one frame-ready command: takes the newest waiting frame record, checks its
// bit depth, orients it, builds the lossless record and (when the lossy channel is on) the
// JPEG message, measures the spot, hands both messages on and refreshes the status fields.
// Main thread only. The lossless records are built on a few encoder workers, several
// frames at once, and handed on in frame order; a command leaves frames in flight only
// while more wait in the Capture queue (their command follows), so the newest frame
// always goes out. When a frame needs a JPEG, its encoding and the spot measurement run on
// a side thread; otherwise the spot is measured on the main thread, and the side thread
// (started at the first JPEG) sleeps. The JPEG is finished within its frame's command.
class CFramePipeline {
  public:
    using Sink = std::function<void(const uint8_t* message, uint32_t length)>;

    // What one frame is processed with; copied at the start of each command.
    struct Settings {
        double scale = 1.0;
        std::string orientation = "NORM";
        std::string cameraName;
        bool lossyEnabled = false;
    };

    struct Counters {
        uint64_t processed = 0;      // frames handed to the lossless channel
        uint64_t drained = 0;        // records cut from the Capture queue here
        uint64_t withoutCodecs = 0;  // frames dropped because no codec set was up
        uint64_t jpegFailed = 0;     // frames whose JPEG was not sent
    };

    // CPU time spent per stage, in nanoseconds summed over all frames (the JPEG, and the spot
    // beside it, on the side thread; the wait for it is main-thread wall time spent idle).
    struct StageTimes {
        uint64_t check = 0;         // bit-depth check and orientation
        uint64_t lossless = 0;      // on the encoder workers
        uint64_t losslessWait = 0;  // main-thread wall time spent waiting for a record
        uint64_t jpeg = 0;
        uint64_t spot = 0;
        uint64_t jpegWait = 0;
        uint64_t distribute = 0;
    };

    // `model` and `log` are borrowed and may be null.
    explicit CFramePipeline(ILogSink* log);
    ~CFramePipeline();
    CFramePipeline(const CFramePipeline&) = delete;
    CFramePipeline& operator=(const CFramePipeline&) = delete;

    void SetSinks(Sink lossless, Sink lossy) {
        lossless_ = std::move(lossless);
        lossy_ = std::move(lossy);
    }
    // Sees every processed frame oriented (header with the oriented size), before its
    // messages go out.
    using FrameSink = std::function<void(const FrameHeader& header, const uint8_t* pixels)>;
    void SetFrameSink(FrameSink sink) { frame_ = std::move(sink); }

    // One frame-ready command. `codecs` may be null or not set up: the frame is then
    // dropped and counted. True when a frame was taken from the queue. Frames whose
    // record is still being built are handed on by a later call, at the latest by the
    // first that finds the queue empty.
    bool OnFrameReady(CCaptureQueue& queue, CCodecSet* codecs, const Settings& settings);

    const SpotResults& Spot() const { return spot_; }
    const FrameTime& LastFrameTime() const { return lastTime_; }
    const Counters& GetCounters() const { return counters_; }
    // Main thread; the JPEG time is complete for every finished command.
    StageTimes GetStageTimes() const;
    // Forgets the spot results (a new bring-up starts from -1 again).
    void ResetSpot() { spot_ = SpotResults{}; }

  private:
    void Process(CPoolBlock record, CCodecSet* codecs, const Settings& settings);
    // Hands on the oldest frame's lossless record when done (`wait`: once done); false when
    // there was none to hand on.
    bool HandOnOldest(bool wait);
    // Hands on the records that are done, in frame order, and waits for the rest while
    // no frame waits in `queue`.
    void HandOnLossless(const CCaptureQueue& queue);

    // The side thread: one JPEG and one spot measurement per command.
    void RunJpegJobs();
    // The work handed to the side thread; `size` is in: capacity, out: bytes written.
    struct JpegJob {
        CJpegEncoder* encoder = nullptr;
        const uint8_t* pixels = nullptr;
        FrameHeader header;
        uint8_t* output = nullptr;
        uint32_t size = 0;
        const char* name = nullptr;
        bool spotMeasured = false;  // out: `spot` holds this frame's results
        SpotResults spot;
    };
    // The spot of `pixels`; false when the frame has nothing to measure.
    static bool MeasureSpot(const uint8_t* pixels, uint32_t width, uint32_t height,
                            SpotResults* spot);
    void StartJpeg(const JpegJob& job);
    // Waits for the job; its result, the bytes written in `size` and the spot when measured.
    bool FinishJpeg(uint32_t* size);

    ILogSink* log_;
    Sink lossless_;
    Sink lossy_;
    FrameSink frame_;
    SpotResults spot_;
    FrameTime lastTime_;
    Counters counters_;
    // Shown once: a camera that delivers out-of-range values does so on every frame, and
    // the log must not fill with it. The controller keeps one pipeline for the whole run.
    bool effectiveBitsWarned_ = false;
    StageTimes times_;
    CLosslessEncoders encoders_;
    std::atomic<uint64_t> jpegTime_{0};
    std::atomic<uint64_t> spotTime_{0};  // measured on the side thread

    std::mutex jobMutex_;  // guards job_, jobDone_, jobResult_, quit_
    std::condition_variable jobChanged_;
    JpegJob job_;
    bool jobDone_ = true;
    bool jobResult_ = false;
    bool quit_ = false;
    std::thread jpegThread_;
};
