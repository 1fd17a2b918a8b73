#include "analysis/BeamMonitor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    worker_ = std::thread(&CBeamMonitor::Run, this);
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
    started_ = false;
}

void CBeamMonitor::Submit(uint64_t frameNumber, uint32_t width, uint32_t height,
                          const uint8_t* pixels) {
    if (!started_ || pixels == nullptr || width == 0 || height == 0)
        return;
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

bool CBeamMonitor::CapturingDark() const {
    std::lock_guard lock(mutex_);
    return capturing_;
}

std::shared_ptr<const BeamResult> CBeamMonitor::Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
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
    for (;;) {
        bool haveFrame = false;
        uint64_t frameNumber = 0;
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
        analyzer.Measure(frame.data(), width, height, roi, dark.get(), &result);
        result.frame = frameNumber;
        auto published = std::make_shared<const BeamResult>(result);
        {
            std::lock_guard lock(mutex_);
            std::swap(latest_, published);
        }
    }
}
