#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Result.h"
#include "capture/CaptureBackend.h"
#include "capture/CaptureEvents.h"
#include "capture/Grabber.h"
#include "core/HostInterfaces.h"
#include "frame/CaptureQueue.h"

class ILogSink;
class IMessagePoster;

// The capture device the stored hardware description names: opens it, closes it, and
// when it goes away while grabbing opens it again every 3 s, quietly, until it is back
// or the tries are stopped. Counts what the capture side dropped over every grabber it
// opened. Its events reach the owner as tasks on the main thread. Owned by the main
// controller; main thread only.
class CCameraSession : public ICaptureEvents {
  public:
    // Timer of the attempts to open a camera that went away while grabbing.
    static constexpr int IDT_REOPEN = 2246;
    static constexpr int kReopenPeriodMs = 3000;
    // Timer of the check for a camera that streams no more frames while grabbing.
    static constexpr int IDT_STALL = 2247;
    static constexpr int kStallCheckMs = 500;

    struct Hooks {
        std::function<void()> frameReady;  // a frame waits in the Capture queue
        std::function<void()> lost;        // the device ended streaming on its own
    };
    enum class Reopen { kNotReopening, kStillAway, kBack };

    CCameraSession(ILogSink* log, IMessagePoster* poster, ITimerHost* timers,
                   std::string programDir, std::vector<ICaptureBackend*> backends, Hooks hooks);
    ~CCameraSession() override;
    CCameraSession(const CCameraSession&) = delete;
    CCameraSession& operator=(const CCameraSession&) = delete;

    // A grabber for the stored description, set up but not started; `log` (null: quiet)
    // gets the grabber's own lines. On failure the grabber stays for its questions.
    CResult<> Open(ILogSink* log);
    // Ends streaming and frees the device and the queue.
    void Close();
    // Close with the shutdown lines, and no more tries.
    void Deinitialize();

    // The stream failed while grabbing: logs it once, closes the device and starts the tries.
    void BeginReopening();
    // One try; kBack once the camera streams again.
    Reopen TryReopen();
    void StopReopening();
    bool IsReopening() const { return reopening_; }

    // Seconds without a frame while grabbing after which the camera counts as lost (0: never).
    void SetStallSeconds(int seconds) { stallSeconds_ = seconds; }
    // Grabbing (re)started: the wait for frames begins now. StopWatch when it ends.
    void StartWatch();
    void StopWatch();
    // On IDT_STALL: a camera silent for too long is closed and tried again like a lost one,
    // and logged and counted as lost when it cannot be opened, else as stalled. True when
    // that happened.
    bool CheckStall();

    CGrabber* Grabber() const { return grabber_.get(); }
    CCaptureQueue* Queue() const { return queue_.get(); }
    // Geometry of the frames of the last opened device.
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BitsPerPixel() const { return bitsPerPixel_; }
    void ForgetGeometry() { width_ = height_ = 0; }

    uint64_t CaptureDrops() const;
    uint64_t Losses() const { return losses_; }
    uint64_t Stalls() const { return stalls_; }

    // Streaming thread: handed on as tasks.
    bool FrameQueued() override;
    // Main thread: the frame-ready task begins, and ends (when frames are left, it posts
    // the next one).
    void FrameReadyTaken();
    void FrameReadyDone();
    void StreamFailed() override;

  private:
    void StartReopening();
    void LogLost(const std::string& why);

    ILogSink* log_;
    IMessagePoster* poster_;
    ITimerHost* timers_;
    std::string programDir_;
    std::vector<ICaptureBackend*> backends_;
    Hooks hooks_;
    std::unique_ptr<CCaptureQueue> queue_;
    std::unique_ptr<CGrabber> grabber_;
    int width_ = 0;
    int height_ = 0;
    int bitsPerPixel_ = 8;
    uint64_t dropsBefore_ = 0;  // of the grabbers closed since the start
    uint64_t losses_ = 0;
    uint64_t stalls_ = 0;
    bool reopening_ = false;
    int stallSeconds_ = 0;
    bool watching_ = false;
    std::atomic<int64_t> lastFrameMs_{0};    // steady clock; written by the streaming thread
    std::atomic<bool> readyPending_{false};  // a frame-ready task is posted and not begun
};
