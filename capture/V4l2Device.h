#pragma once

#include <memory>
#include <string>

#include "capture/CaptureBackend.h"
#include "capture/V4l2Io.h"

// The opened V4L2 device at `fd` (owned from now on): its formats, mmap streaming on its
// own thread, and its controls.
std::unique_ptr<ICaptureDevice> MakeV4l2Device(IV4l2Io& io, int fd, std::string path);
