#include "capture/Grabber.h"

#include <cstdlib>
#include <new>

#include "capture/DeviceList.h"

CGrabber::CGrabber(ILogSink* log, ICaptureEvents* events, std::vector<ICaptureBackend*> backends)
    : log_(log), events_(events), backends_(std::move(backends)) {}

CGrabber::~CGrabber() {
    Deinit();
}

CResult<> CGrabber::Init(const std::string& devicePath, int modeIndex, double rateLimit,
                         CCaptureQueue* queue) {
    return BuildGraph(devicePath, modeIndex, rateLimit, queue, {}, true);
}

CResult<> CGrabber::InitPreview(const std::string& devicePath, int modeIndex,
                                PreviewRenderer renderer) {
    return BuildGraph(devicePath, modeIndex, -1.0, nullptr, std::move(renderer), false);
}

CError CGrabber::FailBuild(int code, const std::string& detail) {
    if (!detail.empty())
        LogMessage(log_, "%s", detail.c_str());
    LogMessage(log_, "Unable to initialize grabber subsystem: Error %d", code);
    device_.reset();  // ends any streaming before the filter goes
    sampler_.reset();
    modes_.clear();
    currentMode_ = 0;
    width_ = height_ = 0;
    return CError{code, detail};
}

CResult<> CGrabber::BuildGraph(const std::string& devicePath, int modeIndex, double rateLimit,
                               CCaptureQueue* queue, PreviewRenderer renderer, bool serverMode) {
    if (built_)
        return Success();
    device_.reset();
    sampler_.reset();
    if ((serverMode && queue == nullptr) || devicePath.empty())
        return FailBuild(kGrabberBadArguments, {});

    sampler_.reset(new (std::nothrow)
                       CSamplerFilter(serverMode ? queue : nullptr, serverMode ? rateLimit : -1.0,
                                      events_, serverMode, std::move(renderer)));
    if (!sampler_)
        return FailBuild(kGrabberNoFilter, {});

    std::vector<EnumeratedDevice> devices;
    EnumerateAllDevices(backends_, &devices);
    AddUnlistedDevice(backends_, devicePath, &devices);
    if (devices.empty())
        return FailBuild(kGrabberNoDevices, {});
    const EnumeratedDevice* found = nullptr;
    for (const EnumeratedDevice& d : devices) {
        friendlyName_ = d.info.friendlyName;
        devicePath_ = d.info.identity;
        if (d.backend->Matches(d.info.identity, devicePath)) {
            found = &d;
            break;
        }
    }
    if (found == nullptr)
        return FailBuild(kGrabberNoSuchDevice, {});

    auto opened = found->backend->Open(devicePath);
    if (!opened)
        return FailBuild(opened.Code(), opened.Message());
    device_ = std::move(opened).Value();
    devicePath_ = devicePath;

    auto listed = device_->GetCapabilities();
    if (!listed)
        return FailBuild(kGrabberNoCapabilities, listed.Message());
    const std::vector<VideoCapability>& caps = listed.Value();
    if (static_cast<int64_t>(modeIndex) >= static_cast<int64_t>(caps.size()))
        return FailBuild(kGrabberModeIndex, {});
    modes_ = BuildModeTable(caps);
    if (modes_.empty())
        return FailBuild(kGrabberNoCompatibleMode, {});

    currentMode_ = ChooseMode(modeIndex, modes_.size());
    const VideoModeEntry& mode = modes_[static_cast<size_t>(currentMode_)];
    auto format = device_->SetFormat(caps[mode.indexAtCapturePin]);
    if (!format)
        return FailBuild(kGrabberSetFormat, format.Message());
    const MediaType& negotiated = format.Value();
    if (!sampler_->CheckMediaType(negotiated))
        return FailBuild(kGrabberConnect, {});
    if (auto connected = device_->Connect(); !connected)
        return FailBuild(kGrabberConnect, connected.Message());
    // A driver may have adjusted the size: the frames are what it negotiated.
    width_ = static_cast<uint16_t>(negotiated.header.biWidth);
    height_ = static_cast<uint16_t>(std::abs(negotiated.header.biHeight));
    built_ = true;
    return Success();
}

CResult<> CGrabber::Start() {
    if (!built_)
        return CError{kGrabberStream, "not built"};
    if (running_)
        return Success();
    running_ = true;
    CSamplerFilter* sampler = sampler_.get();
    ICaptureEvents* events = events_;
    auto onFailure = [events] {
        if (events != nullptr)
            events->StreamFailed();
    };
    auto started =
        device_->Start([sampler](const MediaSample& s) { sampler->DoRenderSample(s); }, onFailure);
    if (!started)
        running_ = false;
    return started;
}

CResult<> CGrabber::Stop() {
    if (!running_)
        return Success();
    if (auto stopped = device_->Stop(); !stopped) {
        LogMessage(log_, "%s", stopped.Message().c_str());
        LogMessage(log_, "Grabbing could not be stopped.");
        return CError{kGrabberStopFailed, stopped.Message()};
    }
    sampler_->ResetTiming();  // streaming has ended: no race with the streaming thread
    running_ = false;
    return Success();
}

void CGrabber::Deinit() {
    if (!built_)
        return;
    if (running_)
        (void)Stop();  // logged there; the device goes either way
    device_.reset();
    sampler_.reset();
    modes_.clear();
    currentMode_ = 0;
    running_ = false;
    built_ = false;
}

bool CGrabber::StreamFailed() const {
    return device_ && device_->StreamFailed();
}

uint64_t CGrabber::DroppedCount() const {
    return (sampler_ ? sampler_->GetDroppedCount() : 0) + (device_ ? device_->DroppedCount() : 0);
}

std::string CGrabber::DeviceErrorText() const {
    return device_ ? device_->LastErrorText() : std::string();
}

bool CGrabber::IsDevicePresent(std::string* absence) const {
    std::vector<EnumeratedDevice> devices;
    EnumerateAllDevices(backends_, &devices);
    for (const EnumeratedDevice& d : devices)
        if (d.backend->Matches(d.info.identity, devicePath_))
            return true;
    *absence = FormatLogText("%s is not among the devices present", devicePath_.c_str());
    return false;
}

void CGrabber::DeviceGone() {
    if (device_)
        device_->SetGone();
}

CResult<VideoModeEntry> CGrabber::ModeInfo(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= modes_.size())
        return CError{kGrabberModeIndex, "no such mode"};
    return modes_[static_cast<size_t>(index)];
}

CResult<int> CGrabber::CurrentMode() const {
    if (!built_)
        return CError{kGrabberModeIndex, "not built"};
    return currentMode_;
}

bool CGrabber::HasPropertyPages() {
    return built_ && !device_->GetControls().empty();
}

bool CGrabber::ShowPropertyPages() {
    if (!built_ || !propertyPages_ || device_->GetControls().empty())
        return false;
    propertyPages_(*this);
    return true;
}

std::vector<DeviceControl> CGrabber::Controls() {
    return built_ ? device_->GetControls() : std::vector<DeviceControl>();
}

bool CGrabber::SetControl(uint32_t id, int32_t value) {
    return built_ && device_->SetControl(id, value);
}

bool CGrabber::SetGrayscalePreview(bool on) {
    return built_ && sampler_->SetGrayscale(on);
}
