#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "capture/CaptureBackend.h"
#include "capture/CaptureEvents.h"
#include "capture/SamplerFilter.h"
#include "capture/VideoMode.h"

// Error codes of building the capture graph, reported in decimal.
enum GrabberError : int {
    kGrabberStopFailed = -1,
    kGrabberBadArguments = -10,     // server mode without a queue, or no device path
    kGrabberNoFilter = -105,        // the renderer filter could not be created
    kGrabberNoDevices = -109,       // no capture device at all
    kGrabberNoSuchDevice = -110,    // no device with the given identity
    kGrabberOpenFailed = -111,      // the device could not be opened (or its parameters are bad)
    kGrabberNoCapture = -112,       // the device cannot stream video capture
    kGrabberNoCapabilities = -114,  // its formats could not be enumerated
    kGrabberModeIndex = -115,       // mode index not less than the number of capabilities
    kGrabberNoCompatibleMode = -118,
    kGrabberSetFormat = -121,  // format or frame interval refused
    kGrabberConnect = -122,    // format not accepted by the filter, or no streaming buffers
};

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

    // Server mode: frames go to `queue` (borrowed, must outlive the running graph).
    int Init(const std::string& devicePath, int modeIndex, double rateLimit, CCaptureQueue* queue);
    // Preview mode: samples go to `renderer` on the streaming thread.
    int InitPreview(const std::string& devicePath, int modeIndex, PreviewRenderer renderer);
    int BuildGraph(const std::string& devicePath, int modeIndex, double rateLimit,
                   CCaptureQueue* queue, PreviewRenderer renderer, bool serverMode);

    int Start();
    int Stop();
    int Deinit();
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
    int GetModeInfo(int index, VideoModeEntry* entry) const;
    int GetCurrentMode(VideoModeEntry* entry, int* index) const;
    int GetModeCount(int* count) const;

    // The device's settings stand in for a capture filter's property pages.
    int HasPropertyPages();
    // Opens the dialog that lists the controls (see SetPropertyPagesHandler); 1 after it
    // closes, 0 when not built, the device has no controls or no dialog is available.
    int ShowPropertyPages();
    void SetPropertyPagesHandler(std::function<void(CGrabber&)> handler) {
        propertyPages_ = std::move(handler);
    }
    int GetControls(std::vector<DeviceControl>* controls);
    int SetControl(uint32_t id, int32_t value);

    int GetFriendlyName(std::string* name) const;
    int SetGrayscalePreview(bool on);

    // Formats (at most 510 characters), keeps `code` as the last error, logs the text.
    void ReportError(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int GetLastError() const { return lastError_; }

    // For the frame hand-off's own state (frame counter); null while not built.
    const CSamplerFilter* GetSampler() const { return sampler_.get(); }

  private:
    int FailBuild(int code, const std::string& detail);

    ILogSink* log_;
    ICaptureEvents* const events_;
    const std::vector<ICaptureBackend*> backends_;
    std::function<void(CGrabber&)> propertyPages_;

    int lastError_ = 0;
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
