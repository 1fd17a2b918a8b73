#include "core/CameraSession.h"

#include <chrono>

#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "config/IniFile.h"
#include "control/HardwareLookup.h"

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CCameraSession::CCameraSession(ILogSink* log, IMessagePoster* poster, ITimerHost* timers,
                               std::string programDir, std::vector<ICaptureBackend*> backends,
                               Hooks hooks)
    : log_(log),
      poster_(poster),
      timers_(timers),
      programDir_(std::move(programDir)),
      backends_(std::move(backends)),
      hooks_(std::move(hooks)) {}

CCameraSession::~CCameraSession() {
    // An owner torn down without its shutdown (a failed start-up) still stops the stream.
    if (grabber_)
        grabber_->Deinit();
}

CResult<> CCameraSession::Open(ILogSink* log) {
    queue_ = std::make_unique<CCaptureQueue>();
    grabber_ = std::make_unique<CGrabber>(log, this, backends_);

    const std::string file = std::string("(\"") + kHardwareFileName + "\")";
    CIniFile hardware(programDir_);
    if (!hardware.Load(kHardwareFileName))
        return CError{
            -1, "FATAL: Hardware settings configuration file " + file + " could not be opened."};
    const HardwareSettings h = ReadHardwareSettings(hardware);
    if (h.type != kHardwareType)
        return CError{
            -1, "FATAL: Hardware settings configuration file " + file + " contains improper type."};
    if (!grabber_->Init(h.devicePath, h.videoMode, h.limitFramerate, queue_.get()))
        return CError{-1, "Grabbing Subsystem Init() error."};
    grabber_->SetLog(log_);
    width_ = grabber_->GetWidth();
    height_ = grabber_->GetHeight();
    bitsPerPixel_ = grabber_->GetBitsPerPixel();
    return Success();
}

void CCameraSession::Close() {
    if (grabber_) {
        dropsBefore_ += grabber_->DroppedCount();  // Deinit deletes filter and device
        grabber_->Deinit();
        grabber_.reset();
    }
    queue_.reset();
}

void CCameraSession::Deinitialize() {
    StopReopening();
    StopWatch();
    if (grabber_) {
        if (grabber_->IsRunning()) {
            LogMessage(log_, "Shutting down grabbing.");
            (void)grabber_->Stop();  // a failure is logged by the grabber
        }
        LogMessage(log_, "Deinitializing grabbing subsystem...");
    }
    Close();
}

void CCameraSession::BeginReopening() {
    LogLost(grabber_ ? grabber_->DeviceErrorText() : "");
    StartReopening();
}

void CCameraSession::LogLost(const std::string& why) {
    ++losses_;
    LogMessage(log_, "Camera lost (%s). Trying to open it again every %d s.", why.c_str(),
               kReopenPeriodMs / 1000);
}

void CCameraSession::StartReopening() {
    StopWatch();
    Close();
    reopening_ = true;
    timers_->SetTimer(IDT_REOPEN, kReopenPeriodMs);
}

CCameraSession::Reopen CCameraSession::TryReopen() {
    if (!reopening_) {
        timers_->KillTimer(IDT_REOPEN);
        return Reopen::kNotReopening;
    }
    // Each try is quiet: a camera away for hours must not fill the log.
    if (!Open(nullptr).Ok() || !grabber_->Start()) {
        Close();
        return Reopen::kStillAway;
    }
    StopReopening();
    StartWatch();
    return Reopen::kBack;
}

void CCameraSession::StartWatch() {
    lastFrameMs_.store(NowMs());
    if (stallSeconds_ <= 0 || watching_)
        return;
    timers_->SetTimer(IDT_STALL, kStallCheckMs);
    watching_ = true;
}

void CCameraSession::StopWatch() {
    if (watching_)
        timers_->KillTimer(IDT_STALL);
    watching_ = false;
}

bool CCameraSession::CheckStall() {
    if (!watching_ || reopening_ || !grabber_ || !grabber_->IsRunning())
        return false;
    if (NowMs() - lastFrameMs_.load() < int64_t{stallSeconds_} * 1000)
        return false;
    // A network camera that is gone often says nothing: its stream just goes quiet, and the
    // loss of its control connection is noticed later, if at all. Whether the device still
    // answers its backend's search tells one that is gone (an operator looks at the cable)
    // from one that is there but sends nothing (a trigger, a hung firmware).
    std::string absence;
    if (!grabber_->IsDevicePresent(&absence)) {
        grabber_->DeviceGone();
        LogLost(absence);
    } else {
        ++stalls_;
        LogMessage(log_, "Camera stalled (no frame for %d s). Trying to open it again every %d s.",
                   stallSeconds_, kReopenPeriodMs / 1000);
    }
    StartReopening();
    return true;
}

void CCameraSession::StopReopening() {
    if (reopening_)
        timers_->KillTimer(IDT_REOPEN);
    reopening_ = false;
}

uint64_t CCameraSession::CaptureDrops() const {
    return dropsBefore_ + (grabber_ ? grabber_->DroppedCount() : 0);
}

bool CCameraSession::FrameQueued() {
    lastFrameMs_.store(NowMs());
    if (poster_ == nullptr)
        return false;
    // One frame-ready task waits at a time: a camera faster than the server would otherwise
    // fill the main thread's queue, and a quit or a control call would wait behind it.
    if (readyPending_.exchange(true))
        return true;
    if (poster_->PostTask(hooks_.frameReady))
        return true;
    readyPending_.store(false);
    return false;
}

void CCameraSession::FrameReadyTaken() {
    readyPending_.store(false);
}

void CCameraSession::FrameReadyDone() {
    // Frames still waiting get the next task, behind whatever else was posted meanwhile.
    if (!queue_ || queue_->GetCount() == 0 || readyPending_.exchange(true))
        return;
    if (poster_ == nullptr || !poster_->PostTask(hooks_.frameReady))
        readyPending_.store(false);
}

void CCameraSession::StreamFailed() {
    if (poster_ != nullptr)
        poster_->PostTask(hooks_.lost);
}
