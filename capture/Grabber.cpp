#include "capture/Grabber.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "capture/DeviceList.h"

namespace {

constexpr size_t kReportTextMax = 510;

}  // namespace

CGrabber::CGrabber(ILogSink* log, ICaptureEvents* events, std::vector<ICaptureBackend*> backends)
    : log_(log), events_(events), backends_(std::move(backends)) {}

CGrabber::~CGrabber() {
    Deinit();
}

int CGrabber::Init(const std::string& devicePath, int modeIndex, double rateLimit,
                   CCaptureQueue* queue) {
    return BuildGraph(devicePath, modeIndex, rateLimit, queue, {}, true);
}

int CGrabber::InitPreview(const std::string& devicePath, int modeIndex, PreviewRenderer renderer) {
    return BuildGraph(devicePath, modeIndex, -1.0, nullptr, std::move(renderer), false);
}

void CGrabber::ReportError(int code, const char* format, ...) {
    char text[kReportTextMax + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lastError_ = code;
    LogMessage(log_, "%s", text);
}

int CGrabber::FailBuild(int code, const std::string& detail) {
    if (!detail.empty())
        LogMessage(log_, "%s", detail.c_str());
    ReportError(code, "Unable to initialize grabber subsystem: Error %d", code);
    device_.reset();  // ends any streaming before the filter goes
    sampler_.reset();
    modes_.clear();
    currentMode_ = 0;
    width_ = height_ = 0;
    return 0;
}

int CGrabber::BuildGraph(const std::string& devicePath, int modeIndex, double rateLimit,
                         CCaptureQueue* queue, PreviewRenderer renderer, bool serverMode) {
    if (built_)
        return 1;
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

    DeviceError code = DeviceError::kNone;
    std::string detail;
    device_ = found->backend->Open(devicePath, &code, &detail);
    if (!device_)
        return FailBuild(code == DeviceError::kNotCapture ? kGrabberNoCapture : kGrabberOpenFailed,
                         detail);
    devicePath_ = devicePath;

    std::vector<VideoCapability> caps;
    if (device_->GetCapabilities(&caps) != DeviceError::kNone)
        return FailBuild(kGrabberNoCapabilities, device_->LastErrorText());
    if (static_cast<int64_t>(modeIndex) >= static_cast<int64_t>(caps.size()))
        return FailBuild(kGrabberModeIndex, {});
    modes_ = BuildModeTable(caps);
    if (modes_.empty())
        return FailBuild(kGrabberNoCompatibleMode, {});

    currentMode_ = ChooseMode(modeIndex, modes_.size());
    const VideoModeEntry& mode = modes_[static_cast<size_t>(currentMode_)];
    MediaType negotiated;
    if (device_->SetFormat(caps[mode.indexAtCapturePin], &negotiated) != DeviceError::kNone)
        return FailBuild(kGrabberSetFormat, device_->LastErrorText());
    if (sampler_->CheckMediaType(negotiated) != S_OK)
        return FailBuild(kGrabberConnect, {});
    if (device_->Connect() != DeviceError::kNone)
        return FailBuild(kGrabberConnect, device_->LastErrorText());
    // A driver may have adjusted the size: the frames are what it negotiated.
    width_ = static_cast<uint16_t>(negotiated.header.biWidth);
    height_ = static_cast<uint16_t>(std::abs(negotiated.header.biHeight));
    built_ = true;
    return 1;
}

int CGrabber::Start() {
    if (!built_)
        return 0;
    if (running_)
        return 1;
    running_ = true;
    CSamplerFilter* sampler = sampler_.get();
    ICaptureEvents* events = events_;
    auto onFailure = [events] {
        if (events != nullptr)
            events->StreamFailed();
    };
    if (device_->Start([sampler](const MediaSample& s) { sampler->DoRenderSample(s); },
                       onFailure) != DeviceError::kNone) {
        running_ = false;
        return 0;
    }
    return 1;
}

int CGrabber::Stop() {
    if (!running_)
        return 1;
    if (device_->Stop() != DeviceError::kNone) {
        LogMessage(log_, "%s", device_->LastErrorText().c_str());
        ReportError(kGrabberStopFailed, "Grabbing could not be stopped.");
        return 0;
    }
    sampler_->ResetTiming();  // streaming has ended: no race with the streaming thread
    running_ = false;
    return 1;
}

int CGrabber::Deinit() {
    if (!built_)
        return 1;
    if (running_)
        Stop();
    device_.reset();
    sampler_.reset();
    modes_.clear();
    currentMode_ = 0;
    running_ = false;
    built_ = false;
    return 1;
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

int CGrabber::GetModeInfo(int index, VideoModeEntry* entry) const {
    if (!built_ || index < 0 || static_cast<size_t>(index) >= modes_.size())
        return 0;
    *entry = modes_[static_cast<size_t>(index)];
    return 1;
}

int CGrabber::GetCurrentMode(VideoModeEntry* entry, int* index) const {
    if (!built_)
        return 0;
    *entry = modes_[static_cast<size_t>(currentMode_)];
    *index = currentMode_;
    return 1;
}

int CGrabber::GetModeCount(int* count) const {
    if (!built_)
        return 0;
    *count = static_cast<int>(modes_.size());
    return 1;
}

int CGrabber::HasPropertyPages() {
    return built_ && !device_->GetControls().empty() ? 1 : 0;
}

int CGrabber::ShowPropertyPages() {
    if (!built_ || !propertyPages_ || device_->GetControls().empty())
        return 0;
    propertyPages_(*this);
    return 1;
}

int CGrabber::GetControls(std::vector<DeviceControl>* controls) {
    if (!built_)
        return 0;
    *controls = device_->GetControls();
    return 1;
}

int CGrabber::SetControl(uint32_t id, int32_t value) {
    return built_ && device_->SetControl(id, value) ? 1 : 0;
}

int CGrabber::GetFriendlyName(std::string* name) const {
    if (!built_)
        return 0;
    *name = friendlyName_;
    return 1;
}

int CGrabber::SetGrayscalePreview(bool on) {
    return built_ && sampler_->SetGrayscale(on) ? 1 : 0;
}
