#include "capture/V4l2Backend.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>

#include "base/LogSink.h"
#include "capture/V4l2Device.h"

namespace {

uint32_t DeviceCaps(const v4l2_capability& cap) {
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}

bool CanStreamCapture(const v4l2_capability& cap) {
    uint32_t caps = DeviceCaps(cap);
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

}  // namespace

void CV4l2Backend::EnumerateDevices(std::vector<DeviceInfo>* devices) {
    for (const std::string& identity : io_.ListDeviceNodes()) {
        int fd = io_.Open(identity.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;  // busy or not ours: not listed
        CIoFd owner(io_, fd);
        v4l2_capability cap{};
        if (XIoctl(io_, fd, VIDIOC_QUERYCAP, &cap) != 0 || !CanStreamCapture(cap))
            continue;
        devices->push_back(DeviceInfo{identity, FieldText(cap.card, sizeof cap.card)});
    }
}

CResult<std::unique_ptr<ICaptureDevice>> CV4l2Backend::Open(const std::string& devicePath) {
    int fd = io_.Open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return CError{kGrabberOpenFailed,
                      FormatLogText("V4L2: opening %s failed: %s", devicePath.c_str(),
                                    ErrnoText(errno).c_str())};
    auto device = MakeV4l2Device(io_, fd, devicePath);
    v4l2_capability cap{};
    if (XIoctl(io_, fd, VIDIOC_QUERYCAP, &cap) != 0)
        return CError{kGrabberOpenFailed,
                      FormatLogText("V4L2: VIDIOC_QUERYCAP on %s failed: %s", devicePath.c_str(),
                                    ErrnoText(errno).c_str())};
    if (!CanStreamCapture(cap))
        return CError{kGrabberNoCapture,
                      FormatLogText("V4L2: %s cannot stream video capture", devicePath.c_str())};
    return device;
}
