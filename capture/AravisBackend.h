#pragma once

#include <functional>
#include <string>

#include "capture/CaptureBackend.h"

typedef struct _ArvCamera ArvCamera;
typedef struct _GError GError;

// Which GenICam transport layers are searched for cameras. GigE Vision discovery
// broadcasts on every network interface of the machine, so it stays off unless the
// configuration turns it on. `fake` is the library's in-process test camera.
struct GenicamInterfaces {
    bool gigEVision = false;
    bool usb3Vision = true;
    bool fake = false;
};

// Process-wide, as the library's list of interfaces is. Main thread.
void SetGenicamInterfaces(const GenicamInterfaces& interfaces);

// The parameters a device path may carry after "?": the region (x, y, width, height) and
// frame rate set on the camera before its modes are read. A value left at its default here
// (-1 for an offset, 0 otherwise) keeps the camera's own.
struct GenicamPathParameters {
    std::string deviceId;
    int x = -1, y = -1;
    int width = 0, height = 0;
    double rate = 0;
};

// Parses "aravis:<device id>" with an optional query "?width=768&height=574&x=0&y=0&rate=25"
// (each key at most once, plain decimal numbers, sizes 1..32767, rate up to 10000); the
// message says what is wrong with anything else.
CResult<GenicamPathParameters> ParseGenicamPath(const std::string& devicePath);

// GigE Vision and USB3 Vision cameras through Aravis. A camera is listed as
// "aravis:<device id>" (stable across restarts) with its vendor, model and serial number;
// its modes are the pixel formats the system can use (Mono8, BGR8, RGB8, YUV 4:2:2) at its
// current region and frame rate. Frames arrive on the library's stream thread from a fixed
// set of buffers; incomplete ones are counted and dropped. A camera whose control
// connection is lost (cable pulled, camera rebooted) ends its stream as failed. Main thread.
class CAravisBackend : public ICaptureBackend {
  public:
    // How a camera is opened by device id; returns a new reference or null with `error`
    // set. The default asks the library. Tests wrap it to hold on to the device.
    using Opener = std::function<ArvCamera*(const std::string& deviceId, GError** error)>;

    explicit CAravisBackend(Opener opener = {});

    void EnumerateDevices(std::vector<DeviceInfo>* devices) override;
    bool Matches(const std::string& identity, const std::string& devicePath) const override;
    CResult<std::unique_ptr<ICaptureDevice>> Open(const std::string& devicePath) override;

  private:
    Opener opener_;
};
