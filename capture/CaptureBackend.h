#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Result.h"
#include "capture/MediaType.h"

// The seam between CGrabber and the ways frames reach the system (V4L2 devices, the
// synthetic camera). A backend lists its devices and opens one; an opened device lists
// its capabilities, takes one as its format and streams samples on its own thread.

struct DeviceInfo {
    std::string identity;      // the DevicePath of the hardware description
    std::string friendlyName;  // shown to the user
};

// One (pixel format × frame size × frame interval) the device offers, in driver order.
struct VideoCapability {
    uint32_t pixelFormat = 0;  // V4L2 pixel format code
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t intervalNumerator = 0;  // frame interval in seconds; 0/0 when unknown
    uint32_t intervalDenominator = 0;
    uint32_t deviceFormat = 0;  // the device's own format code, when it is not pixelFormat
};

// A device setting the operator may change (brightness, exposure, gain ...).
enum class ControlKind { kInteger, kBoolean, kMenu };
struct MenuItem {
    int32_t value = 0;
    std::string name;
};
struct DeviceControl {
    uint32_t id = 0;
    std::string name;
    int32_t minimum = 0;
    int32_t maximum = 0;
    int32_t step = 1;
    int32_t defaultValue = 0;
    int32_t value = 0;
    int decimals = 0;  // the setting is value / 10^decimals (a fractional setting)
    ControlKind kind = ControlKind::kInteger;
    std::vector<MenuItem> menu;  // the named values of a menu control
};

// Codes of the capture side's failures (CError::code), reported in decimal in the log.
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
    kGrabberStream = -123,     // streaming could not be started
};

// Called on the device's streaming thread for every sample.
using SampleCallback = std::function<void(const MediaSample&)>;
// Called once when a running stream ends on its own (the camera went away), on whichever
// thread noticed it.
using FailureCallback = std::function<void()>;

// An opened device. Owned by CGrabber, used from the main thread; only the sample
// callback runs on the streaming thread. The destructor stops streaming and releases
// everything.
class ICaptureDevice {
  public:
    virtual ~ICaptureDevice() = default;

    // A failed step's message is one line for the message log (empty: nothing to add).
    virtual CResult<std::vector<VideoCapability>> GetCapabilities() = 0;
    // Sets the capability as the device's format; the value is what the device will
    // really deliver (a driver may adjust the size).
    virtual CResult<MediaType> SetFormat(const VideoCapability& cap) = 0;
    // Sets up what streaming needs (buffers) for the format set last.
    virtual CResult<> Connect() = 0;
    // Starts the streaming thread; `callback` is called for every sample until Stop, and
    // `onFailure` (may be empty) when streaming ends on its own.
    virtual CResult<> Start(SampleCallback callback, FailureCallback onFailure) = 0;
    // Returns after the streaming thread has ended. After a stream failure it releases
    // what it can and succeeds: the device is gone anyway.
    virtual CResult<> Stop() = 0;
    // True after streaming ended on its own (a device error); cleared by Start.
    virtual bool StreamFailed() const = 0;
    // The device is known to be gone (no longer listed): Stop and the destructor need not
    // wait for its answers.
    virtual void SetGone() {}
    // Frames the device delivered damaged or incomplete and were dropped; any thread.
    virtual uint64_t DroppedCount() const { return 0; }

    virtual std::vector<DeviceControl> GetControls() = 0;
    virtual bool SetControl(uint32_t id, int32_t value) = 0;

    // One line that says why a running stream ended, for the message log.
    virtual std::string LastErrorText() const = 0;
};

class ICaptureBackend {
  public:
    virtual ~ICaptureBackend() = default;

    // Appends the devices present now (none when the backend cannot look).
    virtual void EnumerateDevices(std::vector<DeviceInfo>* devices) = 0;

    // Whether `devicePath` names the listed device `identity`. Exact by default; a backend
    // may allow parameters after the identity.
    virtual bool Matches(const std::string& identity, const std::string& devicePath) const {
        return identity == devicePath;
    }

    // A device the backend opens without listing it (one named by its path, like a file to
    // replay): true with `info` for the device list when `devicePath` is one.
    virtual bool DescribeUnlisted(const std::string&, DeviceInfo*) const { return false; }

    // Opens the device that `devicePath` names; on failure kGrabberOpenFailed or
    // kGrabberNoCapture, with one line saying why.
    virtual CResult<std::unique_ptr<ICaptureDevice>> Open(const std::string& devicePath) = 0;
};

// The backends CGrabber looks at by default: the synthetic camera, V4L2 devices, GenICam
// cameras, then replayed recordings.
// Process-wide, created on first use.
std::vector<ICaptureBackend*> DefaultBackends();
