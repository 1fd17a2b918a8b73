#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// Why a device step failed; CGrabber turns these into its error codes.
enum class DeviceError {
    kNone = 0,
    kOpen,        // the device could not be opened or identified
    kNotCapture,  // it has no streaming video capture
    kEnumerate,   // its capabilities could not be read
    kSetFormat,   // the format or frame interval was refused
    kBuffers,     // streaming buffers could not be set up
    kStream,      // streaming could not be started or stopped
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

    virtual DeviceError GetCapabilities(std::vector<VideoCapability>* caps) = 0;
    // Sets the capability as the device's format; `negotiated` is what the device will
    // really deliver (a driver may adjust the size).
    virtual DeviceError SetFormat(const VideoCapability& cap, MediaType* negotiated) = 0;
    // Sets up what streaming needs (buffers) for the format set last.
    virtual DeviceError Connect() = 0;
    // Starts the streaming thread; `callback` is called for every sample until Stop, and
    // `onFailure` (may be empty) when streaming ends on its own.
    virtual DeviceError Start(SampleCallback callback, FailureCallback onFailure) = 0;
    // Returns after the streaming thread has ended. After a stream failure it releases
    // what it can and succeeds: the device is gone anyway.
    virtual DeviceError Stop() = 0;
    // True after streaming ended on its own (a device error); cleared by Start.
    virtual bool StreamFailed() const = 0;
    // The device is known to be gone (no longer listed): Stop and the destructor need not
    // wait for its answers.
    virtual void SetGone() {}
    // Frames the device delivered damaged or incomplete and were dropped; any thread.
    virtual uint64_t DroppedCount() const { return 0; }

    virtual std::vector<DeviceControl> GetControls() = 0;
    virtual bool SetControl(uint32_t id, int32_t value) = 0;

    // One line that says what failed last, for the message log.
    virtual std::string LastErrorText() const = 0;
};

class ICaptureBackend {
  public:
    virtual ~ICaptureBackend() = default;

    // The devices present now; false when the backend could not look.
    virtual bool EnumerateDevices(std::vector<DeviceInfo>* devices) = 0;

    // Whether `devicePath` names the listed device `identity`. Exact by default; a backend
    // may allow parameters after the identity.
    virtual bool Matches(const std::string& identity, const std::string& devicePath) const {
        return identity == devicePath;
    }

    // A device the backend opens without listing it (one named by its path, like a file to
    // replay): true with `info` for the device list when `devicePath` is one.
    virtual bool DescribeUnlisted(const std::string&, DeviceInfo*) const { return false; }

    // Opens the device that `devicePath` names. Null on failure, with `error` set to one
    // line saying why.
    virtual std::unique_ptr<ICaptureDevice> Open(const std::string& devicePath, DeviceError* code,
                                                 std::string* error) = 0;
};

// The backends CGrabber looks at by default: the synthetic camera, V4L2 devices, GenICam
// cameras, then replayed recordings.
// Process-wide, created on first use.
std::vector<ICaptureBackend*> DefaultBackends();
