#include "capture/V4l2Device.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/LogSink.h"
#include "base/ThreadName.h"
#include "capture/SamplerFilter.h"
#include "processing/PixelConversion.h"

namespace {

constexpr uint32_t kBufferCount = 4;
constexpr int kPollTimeoutMs = 100;  // how soon the streaming thread sees a stop
// Bounds on what a driver may make us enumerate.
constexpr uint32_t kMaxEnumIndex = 256;
constexpr size_t kMaxCapabilities = 1024;

class CV4l2Device : public ICaptureDevice {
  public:
    CV4l2Device(IV4l2Io& io, int fd, std::string path)
        : io_(io), fd_(io, fd), path_(std::move(path)) {}
    ~CV4l2Device() override {
        (void)Stop();  // nobody is left to tell
        ReleaseBuffers();
    }

    CResult<std::vector<VideoCapability>> GetCapabilities() override;
    CResult<MediaType> SetFormat(const VideoCapability& cap) override;
    CResult<> Connect() override;
    CResult<> Start(SampleCallback callback, FailureCallback onFailure) override;
    CResult<> Stop() override;
    bool StreamFailed() const override { return streamFailed_.load(); }
    uint64_t DroppedCount() const override { return damaged_.load(std::memory_order_relaxed); }
    std::vector<DeviceControl> GetControls() override;
    bool SetControl(uint32_t id, int32_t value) override;
    std::string LastErrorText() const override;

  private:
    struct Buffer {
        void* address = nullptr;
        size_t length = 0;
    };

    // Keeps the step's failure as the last error text.
    CError Fail(int code, const char* step, int error);
    int Ioctl(unsigned long request, void* arg) { return XIoctl(io_, fd_.get(), request, arg); }
    bool AddSizes(uint32_t pixelFormat, std::vector<VideoCapability>* caps);
    bool AddIntervals(uint32_t pixelFormat, uint32_t width, uint32_t height,
                      std::vector<VideoCapability>* caps);
    void ReleaseBuffers();
    void StreamLoop();

    IV4l2Io& io_;
    CIoFd fd_;
    const std::string path_;
    std::string lastError_;  // main thread

    // Set up on the main thread before the streaming thread starts, read-only while it runs.
    std::vector<Buffer> buffers_;
    SampleCallback callback_;
    FailureCallback onFailure_;

    std::thread thread_;
    bool streaming_ = false;  // main thread: STREAMON is in effect
    std::atomic<bool> stop_{false};
    std::atomic<bool> streamFailed_{false};
    std::atomic<int> streamErrno_{0};
    std::atomic<uint64_t> damaged_{0};
};

CError CV4l2Device::Fail(int code, const char* step, int error) {
    lastError_ = FormatLogText("V4L2: %s on %s failed: %s", step, path_.c_str(),
                               error != 0 ? ErrnoText(error).c_str() : "unexpected answer");
    return CError{code, lastError_};
}

std::string CV4l2Device::LastErrorText() const {
    int error = streamErrno_.load();
    if (streamFailed_.load())
        return FormatLogText("V4L2: streaming on %s ended: %s", path_.c_str(),
                             ErrnoText(error).c_str());
    return lastError_;
}

bool CV4l2Device::AddIntervals(uint32_t pixelFormat, uint32_t width, uint32_t height,
                               std::vector<VideoCapability>* caps) {
    VideoCapability cap{pixelFormat, width, height, 0, 0, 0};
    for (uint32_t k = 0; k < kMaxEnumIndex && caps->size() < kMaxCapabilities; ++k) {
        v4l2_frmivalenum ival{};
        ival.index = k;
        ival.pixel_format = pixelFormat;
        ival.width = width;
        ival.height = height;
        if (Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &ival) != 0) {
            if (errno != EINVAL && errno != ENOTTY)
                return false;
            if (k == 0)  // the driver does not say: rate unknown
                caps->push_back(cap);
            return true;
        }
        if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            cap.intervalNumerator = ival.discrete.numerator;
            cap.intervalDenominator = ival.discrete.denominator;
            caps->push_back(cap);
            continue;
        }
        // A range: offer its fastest rate.
        cap.intervalNumerator = ival.stepwise.min.numerator;
        cap.intervalDenominator = ival.stepwise.min.denominator;
        caps->push_back(cap);
        return true;
    }
    return true;
}

bool CV4l2Device::AddSizes(uint32_t pixelFormat, std::vector<VideoCapability>* caps) {
    for (uint32_t j = 0; j < kMaxEnumIndex && caps->size() < kMaxCapabilities; ++j) {
        v4l2_frmsizeenum size{};
        size.index = j;
        size.pixel_format = pixelFormat;
        if (Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
            if (errno != EINVAL && errno != ENOTTY)
                return false;
            if (j == 0) {
                // No size list: the size the device is set to now.
                v4l2_format fmt{};
                fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                if (Ioctl(VIDIOC_G_FMT, &fmt) == 0 && fmt.fmt.pix.width != 0 &&
                    fmt.fmt.pix.height != 0)
                    return AddIntervals(pixelFormat, fmt.fmt.pix.width, fmt.fmt.pix.height, caps);
            }
            return true;
        }
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (!AddIntervals(pixelFormat, size.discrete.width, size.discrete.height, caps))
                return false;
            continue;
        }
        // A range: offer its largest and smallest size.
        const v4l2_frmsize_stepwise& s = size.stepwise;
        if (!AddIntervals(pixelFormat, s.max_width, s.max_height, caps))
            return false;
        if ((s.min_width != s.max_width || s.min_height != s.max_height) &&
            !AddIntervals(pixelFormat, s.min_width, s.min_height, caps))
            return false;
        return true;
    }
    return true;
}

CResult<std::vector<VideoCapability>> CV4l2Device::GetCapabilities() {
    std::vector<VideoCapability> found;
    std::vector<VideoCapability>* caps = &found;
    for (uint32_t i = 0; i < kMaxEnumIndex && caps->size() < kMaxCapabilities; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(VIDIOC_ENUM_FMT, &desc) != 0) {
            if (errno == EINVAL)
                break;
            return Fail(kGrabberNoCapabilities, "VIDIOC_ENUM_FMT", errno);
        }
        if (!AddSizes(desc.pixelformat, caps))
            return Fail(kGrabberNoCapabilities, "VIDIOC_ENUM_FRAMESIZES", errno);
    }
    return found;
}

CResult<MediaType> CV4l2Device::SetFormat(const VideoCapability& cap) {
    if (!buffers_.empty())
        return Fail(kGrabberSetFormat, "VIDIOC_S_FMT (buffers in use)", EBUSY);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = cap.width;
    fmt.fmt.pix.height = cap.height;
    fmt.fmt.pix.pixelformat = cap.pixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (Ioctl(VIDIOC_S_FMT, &fmt) != 0)
        return Fail(kGrabberSetFormat, "VIDIOC_S_FMT", errno);
    // Drivers answer an unsupported format with one of their own instead of failing.
    const v4l2_pix_format& pix = fmt.fmt.pix;
    if (pix.pixelformat != cap.pixelFormat)
        return Fail(kGrabberSetFormat, "VIDIOC_S_FMT (format replaced)", 0);

    int conversion = ConversionForSubtype(pix.pixelformat);
    uint32_t rowBytes = pix.width * SourceBytesPerPixel(conversion);
    uint32_t stride = pix.bytesperline != 0 ? pix.bytesperline : rowBytes;
    if (pix.width == 0 || pix.height == 0 || pix.width > kMaxFrameSide ||
        pix.height > kMaxFrameSide || stride < rowBytes)
        return Fail(kGrabberSetFormat, "VIDIOC_S_FMT (unusable size)", 0);

    if (cap.intervalNumerator != 0 && cap.intervalDenominator != 0) {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe.numerator = cap.intervalNumerator;
        parm.parm.capture.timeperframe.denominator = cap.intervalDenominator;
        // Many drivers have no rate control; they deliver at their own rate.
        if (Ioctl(VIDIOC_S_PARM, &parm) != 0 && errno != ENOTTY && errno != EINVAL)
            return Fail(kGrabberSetFormat, "VIDIOC_S_PARM", errno);
    }

    MediaType type;
    type.subtype = pix.pixelformat;
    type.hasFormat = true;
    type.header.biWidth = static_cast<int32_t>(pix.width);
    type.header.biHeight = -static_cast<int32_t>(pix.height);  // V4L2 rows are top-down
    type.header.biBitCount = static_cast<uint16_t>(SourceBytesPerPixel(conversion) * 8);
    type.header.biSizeImage = pix.sizeimage;
    type.stride = stride;
    return type;
}

void CV4l2Device::ReleaseBuffers() {
    for (Buffer& b : buffers_) {
        if (b.address != nullptr)
            io_.Munmap(b.address, b.length);
    }
    if (!buffers_.empty()) {
        v4l2_requestbuffers req{};
        req.count = 0;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        Ioctl(VIDIOC_REQBUFS, &req);
    }
    buffers_.clear();
}

CResult<> CV4l2Device::Connect() {
    if (!buffers_.empty())
        return Success();
    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(VIDIOC_REQBUFS, &req) != 0)
        return Fail(kGrabberConnect, "VIDIOC_REQBUFS", errno);
    if (req.count < 2) {
        buffers_.resize(req.count);  // so that ReleaseBuffers hands them back
        ReleaseBuffers();
        return Fail(kGrabberConnect, "VIDIOC_REQBUFS (too few buffers)", 0);
    }
    buffers_.resize(req.count);
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (Ioctl(VIDIOC_QUERYBUF, &buf) != 0) {
            int error = errno;
            ReleaseBuffers();
            return Fail(kGrabberConnect, "VIDIOC_QUERYBUF", error);
        }
        void* address = io_.Mmap(buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(),
                                 static_cast<off_t>(buf.m.offset));
        if (address == MAP_FAILED) {
            int error = errno;
            ReleaseBuffers();
            return Fail(kGrabberConnect, "mmap", error);
        }
        buffers_[i] = Buffer{address, buf.length};
    }
    return Success();
}

CResult<> CV4l2Device::Start(SampleCallback callback, FailureCallback onFailure) {
    if (thread_.joinable())
        return Success();
    if (buffers_.empty())
        return Fail(kGrabberStream, "start without buffers", 0);
    for (uint32_t i = 0; i < buffers_.size(); ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (Ioctl(VIDIOC_QBUF, &buf) != 0) {
            int error = errno;
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            Ioctl(VIDIOC_STREAMOFF, &type);  // takes back the buffers queued so far
            return Fail(kGrabberStream, "VIDIOC_QBUF", error);
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(VIDIOC_STREAMON, &type) != 0) {
        int error = errno;
        Ioctl(VIDIOC_STREAMOFF, &type);
        return Fail(kGrabberStream, "VIDIOC_STREAMON", error);
    }
    streaming_ = true;
    callback_ = std::move(callback);
    onFailure_ = std::move(onFailure);
    stop_.store(false);
    streamFailed_.store(false);
    streamErrno_.store(0);
    thread_ = std::thread([this] { StreamLoop(); });
    return Success();
}

void CV4l2Device::StreamLoop() {
    NameThisThread("lx-v4l2");
    auto fail = [this](int error) {
        streamErrno_.store(error);
        streamFailed_.store(true);
        if (onFailure_)
            onFailure_();
    };
    while (!stop_.load()) {
        pollfd p{fd_.get(), POLLIN, 0};
        int r = io_.Poll(&p, 1, kPollTimeoutMs);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
            return;
        }
        if (r == 0)
            continue;
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (Ioctl(VIDIOC_DQBUF, &buf) != 0) {
            if (errno == EAGAIN)
                continue;
            fail(errno);
            return;
        }
        if (buf.index >= buffers_.size()) {
            fail(EIO);
            return;
        }
        const Buffer& b = buffers_[buf.index];
        // A frame the driver marks as damaged is handed back unseen.
        if (!(buf.flags & V4L2_BUF_FLAG_ERROR)) {
            MediaSample sample;
            sample.data = static_cast<const uint8_t*>(b.address);
            sample.length =
                buf.bytesused != 0 && buf.bytesused <= b.length ? buf.bytesused : b.length;
            if (buf.timestamp.tv_sec != 0 || buf.timestamp.tv_usec != 0) {
                sample.hasTime = true;
                sample.startTime =
                    static_cast<int64_t>(buf.timestamp.tv_sec) * kTimeUnitsPerSecond +
                    static_cast<int64_t>(buf.timestamp.tv_usec) * (kTimeUnitsPerSecond / 1000000);
            }
            callback_(sample);
        } else {
            damaged_.fetch_add(1, std::memory_order_relaxed);
        }
        if (Ioctl(VIDIOC_QBUF, &buf) != 0) {
            fail(errno);
            return;
        }
    }
}

CResult<> CV4l2Device::Stop() {
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    callback_ = nullptr;
    onFailure_ = nullptr;
    if (!streaming_)
        return Success();
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // An unplugged device refuses STREAMOFF too; its buffers are released all the same.
    if (Ioctl(VIDIOC_STREAMOFF, &type) != 0 && !streamFailed_.load())
        return Fail(kGrabberStopFailed, "VIDIOC_STREAMOFF", errno);
    streaming_ = false;
    return Success();
}

std::vector<DeviceControl> CV4l2Device::GetControls() {
    std::vector<DeviceControl> controls;
    uint32_t previous = 0;
    for (uint32_t n = 0; n < kMaxEnumIndex; ++n) {
        v4l2_queryctrl q{};
        q.id = previous | V4L2_CTRL_FLAG_NEXT_CTRL;
        if (Ioctl(VIDIOC_QUERYCTRL, &q) != 0)
            break;
        if (q.id <= previous)  // a driver that does not advance would loop
            break;
        previous = q.id;
        if (q.flags & V4L2_CTRL_FLAG_DISABLED)
            continue;
        if (q.type != V4L2_CTRL_TYPE_INTEGER && q.type != V4L2_CTRL_TYPE_BOOLEAN &&
            q.type != V4L2_CTRL_TYPE_MENU)
            continue;
        DeviceControl c;
        c.id = q.id;
        c.name = FieldText(q.name, sizeof q.name);
        c.minimum = q.minimum;
        c.maximum = q.maximum;
        c.step = q.step;
        c.defaultValue = q.default_value;
        v4l2_control value{};
        value.id = q.id;
        c.value = Ioctl(VIDIOC_G_CTRL, &value) == 0 ? value.value : q.default_value;
        if (q.type == V4L2_CTRL_TYPE_BOOLEAN)
            c.kind = ControlKind::kBoolean;
        if (q.type == V4L2_CTRL_TYPE_MENU) {
            c.kind = ControlKind::kMenu;
            // A driver may leave holes in a menu: those indices are not offered.
            for (int64_t i = q.minimum; i <= q.maximum && i - q.minimum < int64_t{kMaxEnumIndex};
                 ++i) {
                v4l2_querymenu m{};
                m.id = q.id;
                m.index = static_cast<uint32_t>(i);
                if (Ioctl(VIDIOC_QUERYMENU, &m) == 0)
                    c.menu.push_back(
                        MenuItem{static_cast<int32_t>(i), FieldText(m.name, sizeof m.name)});
            }
        }
        controls.push_back(c);
    }
    return controls;
}

bool CV4l2Device::SetControl(uint32_t id, int32_t value) {
    v4l2_control c{};
    c.id = id;
    c.value = value;
    if (Ioctl(VIDIOC_S_CTRL, &c) != 0) {
        Fail(0, "VIDIOC_S_CTRL", errno);  // for LastErrorText
        return false;
    }
    return true;
}
}  // namespace

std::unique_ptr<ICaptureDevice> MakeV4l2Device(IV4l2Io& io, int fd, std::string path) {
    return std::make_unique<CV4l2Device>(io, fd, std::move(path));
}
