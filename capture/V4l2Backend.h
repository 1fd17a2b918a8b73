#pragma once

#include "capture/CaptureBackend.h"
#include "capture/V4l2Io.h"

// Video4Linux2 capture devices with mmap streaming. Lists the nodes that can stream
// video capture; their card name is the friendly name. Main thread.
class CV4l2Backend : public ICaptureBackend {
  public:
    // `io` is borrowed and must outlive the backend and every device it opened.
    explicit CV4l2Backend(IV4l2Io& io = SystemV4l2Io()) : io_(io) {}

    void EnumerateDevices(std::vector<DeviceInfo>* devices) override;
    CResult<std::unique_ptr<ICaptureDevice>> Open(const std::string& devicePath) override;

  private:
    IV4l2Io& io_;
};
