#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "base/Result.h"
#include "capture/CaptureBackend.h"
#include "capture/CaptureEvents.h"
#include "capture/SamplerFilter.h"
#include "capture/VideoMode.h"

// One capture device feeding the renderer filter: finds the configured device among all
// backends, chooses one of its compatible modes, sets it up, starts and stops streaming,
// and answers questions about the device. Server mode feeds the Capture queue; preview
// mode hands samples to a preview renderer. Owned by its user (the main controller or a
// dialog); every method runs on the main thread. Samples arrive on the device's
// streaming thread, which Stop and Deinit end before they return.
class CGrabber {
  public:
    // `log` and `events` are borrowed (either may be null: nothing is logged, frames are
    // not announced); so are the backends, which must outlive the grabber.
    explicit CGrabber(ILogSink* log, ICaptureEvents* events,
                      std::vector<ICaptureBackend*> backends = DefaultBackends());
    ~CGrabber();
    CGrabber(const CGrabber&) = delete;
    CGrabber& operator=(const CGrabber&) = delete;

    // Server mode: frames go to `queue` (borrowed, must outlive the running graph). A
    // failure is logged here, with its code (GrabberError), and its code is returned.
    CResult<> Init(const std::string& devicePath, int modeIndex, double rateLimit,
                   CCaptureQueue* queue);
    // Preview mode: samples go to `renderer` on the streaming thread.
    CResult<> InitPreview(const std::string& devicePath, int modeIndex, PreviewRenderer renderer);

    // Fails before a build or when the device will not stream.
    CResult<> Start();
    // A failure is logged here (kGrabberStopFailed).
    CResult<> Stop();
    void Deinit();
    bool IsRunning() const { return running_; }
    // True once the device ended streaming on its own (it stays marked running); the
    // events are told (StreamFailed).
    bool StreamFailed() const;
    // Frames lost before the hand-off: dropped by the filter or delivered damaged.
    uint64_t DroppedCount() const;
    // What the device says failed last.
    std::string DeviceErrorText() const;
    // Whether the built device is still listed by its backend; when not, `absence` is one
    // line saying so. Searches the bus or network: not for the streaming thread.
    bool IsDevicePresent(std::string* absence) const;
    // The device is known to be gone: closing it asks nothing of it.
    void DeviceGone();
    // Where later reports go (null: nowhere).
    void SetLog(ILogSink* log) { log_ = log; }

    uint16_t GetWidth() const { return width_; }
    uint16_t GetHeight() const { return height_; }
    int GetBitsPerPixel() const { return 8; }
    // The modes of the built device (none before a build), in list order.
    int ModeCount() const { return static_cast<int>(modes_.size()); }
    CResult<VideoModeEntry> ModeInfo(int index) const;
    // The index of the mode the build chose.
    CResult<int> CurrentMode() const;

    // The device's settings stand in for a capture filter's property pages.
    bool HasPropertyPages();
    // Opens the dialog that lists the controls (see SetPropertyPagesHandler); true after it
    // closes, false when not built, the device has no controls or no dialog is available.
    bool ShowPropertyPages();
    void SetPropertyPagesHandler(std::function<void(CGrabber&)> handler) {
        propertyPages_ = std::move(handler);
    }
    // None before a build.
    std::vector<DeviceControl> Controls();
    // False when not built or the device refuses the value.
    bool SetControl(uint32_t id, int32_t value);

    // Empty before a build.
    std::string FriendlyName() const { return built_ ? friendlyName_ : std::string(); }
    // False in server mode or before a build.
    bool SetGrayscalePreview(bool on);

    // For the frame hand-off's own state (frame counter); null while not built.
    const CSamplerFilter* GetSampler() const { return sampler_.get(); }

  private:
    CResult<> BuildGraph(const std::string& devicePath, int modeIndex, double rateLimit,
                         CCaptureQueue* queue, PreviewRenderer renderer, bool serverMode);
    // Logs `detail` (when there is one) and the code, and drops what was built.
    CError FailBuild(int code, const std::string& detail);

    ILogSink* log_;
    ICaptureEvents* const events_;
    const std::vector<ICaptureBackend*> backends_;
    std::function<void(CGrabber&)> propertyPages_;

    bool built_ = false;
    bool running_ = false;
    uint16_t width_ = 0;
    uint16_t height_ = 0;
    // The device is declared after the filter so that it is destroyed first: its
    // streaming thread calls into the filter.
    std::unique_ptr<CSamplerFilter> sampler_;
    std::unique_ptr<ICaptureDevice> device_;
    std::string friendlyName_;
    std::string devicePath_;
    std::vector<VideoModeEntry> modes_;
    int currentMode_ = 0;
};
