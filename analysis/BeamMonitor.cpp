#include "analysis/BeamMonitor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/ThreadName.h"

bool CBeamMonitor::Start(const std::string& darkPath, const BeamRoi& roi, std::string* error) {
    Stop();
    darkPath_ = darkPath;
    bool ok = true;
    std::shared_ptr<const DarkFrame> dark;
    if (::access(darkPath.c_str(), F_OK) == 0) {
        auto loaded = std::make_shared<DarkFrame>();
        if (LoadDarkFrame(darkPath, loaded.get(), error) && loaded->frames > 0)
            dark = std::move(loaded);
        else
            ok = false;
    }
    {
        std::lock_guard lock(mutex_);
        quit_ = false;
        hasPending_ = false;
        roi_ = roi;
        dark_ = std::move(dark);
        request_ = Request::kNone;
        capturing_ = false;
    }
    {
        std::lock_guard lock(stabilityMutex_);
        stabilityQuit_ = false;
        stabilityReset_ = true;
        samples_.clear();
        stability_.reset();
    }
    worker_ = std::thread(&CBeamMonitor::Run, this);
    stabilityWorker_ = std::thread(&CBeamMonitor::RunStability, this);
    started_ = true;
    return ok;
}

void CBeamMonitor::Stop() {
    if (!started_)
        return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
    {
        std::lock_guard lock(stabilityMutex_);
        stabilityQuit_ = true;
    }
    stabilityWake_.notify_all();
    stabilityWorker_.join();
    started_ = false;
}

void CBeamMonitor::Submit(uint64_t frameNumber, uint32_t width, uint32_t height,
                          const uint8_t* pixels, double captureTime) {
    if (!started_ || pixels == nullptr || width == 0 || height == 0)
        return;
    if (!std::isfinite(captureTime))
        captureTime =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
    spare_.assign(pixels, pixels + size_t{width} * height);
    {
        std::lock_guard lock(mutex_);
        std::swap(spare_, pending_);
        if (hasPending_)
            ++skipped_;
        hasPending_ = true;
        pendingFrame_ = frameNumber;
        pendingWidth_ = width;
        pendingHeight_ = height;
        pendingTime_ = captureTime;
    }
    wake_.notify_one();
}

void CBeamMonitor::SetRoi(const BeamRoi& roi) {
    std::lock_guard lock(mutex_);
    roi_ = roi;
}

BeamRoi CBeamMonitor::Roi() const {
    std::lock_guard lock(mutex_);
    return roi_;
}

void CBeamMonitor::CaptureDark(uint32_t frames) {
    {
        std::lock_guard lock(mutex_);
        request_ = Request::kCapture;
        requestFrames_ = std::clamp(frames, kMinDarkFrames, kMaxDarkFrames);
        ++requestSeq_;
        capturing_ = true;
    }
    wake_.notify_one();
}

void CBeamMonitor::ClearDark() {
    std::shared_ptr<const DarkFrame> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(dark_);
        request_ = Request::kClear;
        ++requestSeq_;
        capturing_ = false;
    }
    wake_.notify_one();
}

uint32_t CBeamMonitor::DarkFrames() const {
    std::lock_guard lock(mutex_);
    return dark_ ? dark_->frames : 0;
}

std::shared_ptr<const DarkFrame> CBeamMonitor::Dark() const {
    std::lock_guard lock(mutex_);
    return dark_;
}

bool CBeamMonitor::CapturingDark() const {
    std::lock_guard lock(mutex_);
    return capturing_;
}

std::shared_ptr<const BeamResult> CBeamMonitor::Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

void CBeamMonitor::SetStabilityFrames(uint32_t frames) {
    {
        std::lock_guard lock(stabilityMutex_);
        stabilityFrames_ = frames;
        stabilityReset_ = true;
        samples_.clear();
        stability_.reset();
    }
    stabilityWake_.notify_one();
}

void CBeamMonitor::ResetStability() {
    {
        std::lock_guard lock(stabilityMutex_);
        stabilityReset_ = true;
        samples_.clear();
        stability_.reset();
    }
    stabilityWake_.notify_one();
}

std::shared_ptr<const StabilityResult> CBeamMonitor::Stability() const {
    std::lock_guard lock(stabilityMutex_);
    return stability_;
}

void CBeamMonitor::AddSample(const BeamResult& r, double time) {
    std::lock_guard lock(stabilityMutex_);
    // Bounded should the stability thread stall; a result left out is a gap it bridges.
    if (samples_.size() < CStability::kMaxFrames)
        samples_.push_back(
            {r.frame, time, r.centroidX, r.centroidY, r.widthMajor, r.widthMinor, r.total});
}

void CBeamMonitor::RunStability() {
    NameThisThread("lx-stability");
    CStability window;
    std::vector<StabilitySample> batch;
    bool added = false;
    auto due = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        bool reset = false;
        uint32_t frames = 0;
        {
            std::unique_lock lock(stabilityMutex_);
            stabilityWake_.wait_until(lock, due, [&] { return stabilityQuit_ || stabilityReset_; });
            if (stabilityQuit_)
                return;
            reset = stabilityReset_;
            stabilityReset_ = false;
            frames = stabilityFrames_;
            std::swap(batch, samples_);
        }
        if (reset) {
            window.SetCapacity(frames);
            added = false;
        }
        for (const StabilitySample& s : batch)
            window.Add(s);
        added = added || !batch.empty();
        batch.clear();
        const auto now = std::chrono::steady_clock::now();
        if (now < due)
            continue;
        due = now + std::chrono::seconds(1);
        if (!added)
            continue;
        added = false;
        auto result = std::make_shared<StabilityResult>();
        window.Compute(result.get());
        std::lock_guard lock(stabilityMutex_);
        // A reset asked for while computing wins: its window starts empty.
        if (!stabilityReset_)
            stability_ = std::move(result);
    }
}

uint64_t CBeamMonitor::Skipped() const {
    std::lock_guard lock(mutex_);
    return skipped_;
}

void CBeamMonitor::Store(const DarkFrame& dark, uint64_t request) {
    std::string error;
    const bool saved = SaveDarkFrame(darkPath_, dark, &error);
    bool current = false;
    {
        std::lock_guard lock(mutex_);
        // A clear or another capture asked for meanwhile wins over this one.
        current = requestSeq_ == request;
        if (current) {
            dark_ = std::make_shared<const DarkFrame>(dark);
            capturing_ = false;
        }
    }
    if (!current)
        return;
    char line[96];
    std::snprintf(line, sizeof line, "Dark frame captured (%u frames).", unsigned(dark.frames));
    note_(line);
    if (!saved)
        note_("Dark frame could not be stored: " + error);
}

void CBeamMonitor::Run() {
    NameThisThread("lx-beam");
    CBeamAnalyzer analyzer;
    BeamResult result;
    std::vector<uint8_t> frame;
    std::unique_ptr<CDarkAccumulator> accumulator;
    uint64_t seenSeq = 0;
    uint64_t captureSeq = 0;
    uint32_t captureFrames = 0;
    // What the previous frame was measured with; a change starts the stability over.
    BeamRoi lastRoi;
    std::shared_ptr<const DarkFrame> lastDark;  // held, so its address is not reused
    uint32_t lastWidth = 0, lastHeight = 0;
    for (;;) {
        bool haveFrame = false;
        uint64_t frameNumber = 0;
        double time = 0;
        uint32_t width = 0, height = 0;
        Request request = Request::kNone;
        BeamRoi roi;
        std::shared_ptr<const DarkFrame> dark;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return quit_ || hasPending_ || requestSeq_ != seenSeq; });
            if (quit_)
                return;
            if (requestSeq_ != seenSeq) {
                seenSeq = requestSeq_;
                request = request_;
                captureFrames = requestFrames_;
            }
            if (hasPending_) {
                std::swap(frame, pending_);
                hasPending_ = false;
                haveFrame = true;
                frameNumber = pendingFrame_;
                width = pendingWidth_;
                height = pendingHeight_;
                time = pendingTime_;
            }
            roi = roi_;
            dark = dark_;
        }
        if (request == Request::kClear) {
            accumulator.reset();
            if (::unlink(darkPath_.c_str()) != 0 && errno != ENOENT)
                note_("Dark frame file could not be removed.");
            note_("Dark frame cleared.");
        } else if (request == Request::kCapture) {
            accumulator = std::make_unique<CDarkAccumulator>(captureFrames);
            captureSeq = seenSeq;
        }
        if (!haveFrame)
            continue;
        if (dark && (dark->width != width || dark->height != height)) {
            bool dropped = false;
            {
                std::lock_guard lock(mutex_);
                if (dark_ == dark) {
                    dark_.reset();
                    dropped = true;
                }
            }
            dark.reset();
            if (dropped) {
                ::unlink(darkPath_.c_str());
                note_("Dark frame dropped: the frame size changed.");
            }
        }
        if (accumulator) {
            // A frame of another size starts the capture over at that size.
            if (!accumulator->Add(frame.data(), width, height)) {
                accumulator = std::make_unique<CDarkAccumulator>(captureFrames);
                accumulator->Add(frame.data(), width, height);
            }
            if (accumulator->Done()) {
                Store(accumulator->Result(), captureSeq);
                accumulator.reset();
            }
        }
        if (roi != lastRoi || dark != lastDark || width != lastWidth || height != lastHeight) {
            ResetStability();
            lastRoi = roi;
            lastDark = dark;
            lastWidth = width;
            lastHeight = height;
        }
        analyzer.Measure(frame.data(), width, height, roi, dark.get(), &result);
        result.frame = frameNumber;
        auto published = std::make_shared<const BeamResult>(result);
        {
            std::lock_guard lock(mutex_);
            std::swap(latest_, published);
        }
        if (result.valid)
            AddSample(result, time);
    }
}
