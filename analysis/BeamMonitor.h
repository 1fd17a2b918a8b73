#pragma once

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/Beam.h"
#include "analysis/Stability.h"

// Measures the beam of every frame it can on a thread of its own, beside the frame path:
// the owner hands each oriented frame over (a copy), a frame still waiting when the next
// comes is replaced by it and counted, and the newest result is kept for any reader. It
// also captures, keeps, stores and drops the dark frame. Each valid result joins the
// stability window, recomputed on a second thread of its own at most once a second and
// emptied when the region, the dark frame or the frame size changes. The owner calls Start,
// Stop, Submit and the setters from one thread; the getters and ResetStability from any.
class CBeamMonitor {
  public:
    static constexpr uint32_t kMinDarkFrames = 1;
    static constexpr uint32_t kMaxDarkFrames = 256;
    static constexpr uint32_t kDefaultDarkFrames = 16;

    // One log line; called on the worker thread, never under a lock.
    using Note = std::function<void(const std::string& line)>;
    explicit CBeamMonitor(Note note) : note_(std::move(note)) {}
    ~CBeamMonitor() { Stop(); }
    CBeamMonitor(const CBeamMonitor&) = delete;
    CBeamMonitor& operator=(const CBeamMonitor&) = delete;

    // Reads the dark frame stored at `darkPath` (none when the file is absent) and starts
    // the worker. False with one line in `error` when the file is there but unusable; the
    // monitor then runs without it.
    bool Start(const std::string& darkPath, const BeamRoi& roi, std::string* error);
    // Joins the worker; a capture in progress is abandoned.
    void Stop();

    // Copies one frame (8-bit gray, rows top to bottom) for the worker. `captureTime` in
    // seconds (the frame header's); not finite: the time of the call.
    void Submit(uint64_t frameNumber, uint32_t width, uint32_t height, const uint8_t* pixels,
                double captureTime = NAN);

    // A region CheckRoi accepted; from the next frame on.
    void SetRoi(const BeamRoi& roi);
    BeamRoi Roi() const;
    // The mean of the next `frames` frames (within the bounds) becomes the dark frame and
    // is stored; a capture in progress starts over.
    void CaptureDark(uint32_t frames);
    // Forgets the dark frame and removes its file; a capture in progress ends.
    void ClearDark();
    // Frames averaged into the dark frame in use; 0 for none.
    uint32_t DarkFrames() const;
    // The dark frame in use; null for none.
    std::shared_ptr<const DarkFrame> Dark() const;
    bool CapturingDark() const;

    // The newest result; null before the first.
    std::shared_ptr<const BeamResult> Latest() const;

    // Results in the stability window (clamped to CStability's bounds); empties it.
    void SetStabilityFrames(uint32_t frames);
    // Empties the stability window (as when the orientation changes).
    void ResetStability();
    // The newest stability figures; null before the first of the current window.
    std::shared_ptr<const StabilityResult> Stability() const;
    // Frames replaced while they waited for the worker.
    uint64_t Skipped() const;

  private:
    enum class Request { kNone, kCapture, kClear };
    void Run();
    // Worker thread: the dark-frame file and the log lines for a finished capture.
    void Store(const DarkFrame& dark, uint64_t request);
    // Worker thread: hands a valid result to the stability thread.
    void AddSample(const BeamResult& result, double time);
    void RunStability();

    const Note note_;
    std::string darkPath_;
    std::thread worker_;
    std::thread stabilityWorker_;
    std::vector<uint8_t> spare_;  // owner's thread: the next frame's buffer
    bool started_ = false;        // owner's thread

    mutable std::mutex mutex_;  // guards every member below up to latest_
    std::condition_variable wake_;
    bool quit_ = false;
    std::vector<uint8_t> pending_;
    bool hasPending_ = false;
    uint64_t pendingFrame_ = 0;
    uint32_t pendingWidth_ = 0;
    uint32_t pendingHeight_ = 0;
    double pendingTime_ = 0;
    uint64_t skipped_ = 0;
    BeamRoi roi_;
    std::shared_ptr<const DarkFrame> dark_;
    Request request_ = Request::kNone;
    uint32_t requestFrames_ = 0;
    uint64_t requestSeq_ = 0;  // counts the requests; a capture stores only if still the last
    bool capturing_ = false;
    std::shared_ptr<const BeamResult> latest_;

    mutable std::mutex stabilityMutex_;  // guards every member below it
    std::condition_variable stabilityWake_;
    bool stabilityQuit_ = false;
    bool stabilityReset_ = false;
    uint32_t stabilityFrames_ = CStability::kDefaultFrames;
    std::vector<StabilitySample> samples_;  // results not yet in the window
    std::shared_ptr<const StabilityResult> stability_;
};
