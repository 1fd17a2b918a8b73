#include "capture/ReplayCamera.h"

#include <sys/stat.h>

#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "base/ThreadName.h"
#include "capture/ReplaySource.h"

namespace {

constexpr double kDefaultRate = 25;

bool ParseNumber(const std::string& text, double* value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value, std::chars_format::fixed);
    return ec == std::errc() && ptr == end && std::isfinite(*value);
}

// ---- The device ----

class CReplayDevice : public ICaptureDevice {
  public:
    CReplayDevice(std::unique_ptr<IFrameSource> source, double rate, bool loop)
        : source_(std::move(source)), loop_(loop) {
        // Rates to a thousandth of a frame/s, as the mode's frame interval.
        const uint32_t milli = static_cast<uint32_t>(std::lround(rate * 1000));
        const uint32_t divisor = std::gcd(milli, 1000u);
        mode_ = {V4L2_PIX_FMT_GREY, source_->width, source_->height, 1000 / divisor,
                 milli / divisor};
    }
    ~CReplayDevice() override { (void)Stop(); }

    CResult<std::vector<VideoCapability>> GetCapabilities() override {
        return std::vector<VideoCapability>{mode_};
    }

    CResult<MediaType> SetFormat(const VideoCapability& cap) override {
        if (thread_.joinable() || cap.pixelFormat != mode_.pixelFormat ||
            cap.width != mode_.width || cap.height != mode_.height)
            return CError{kGrabberSetFormat, LastErrorText()};
        MediaType type;
        type.subtype = V4L2_PIX_FMT_GREY;
        type.hasFormat = true;
        type.header.biWidth = static_cast<int32_t>(mode_.width);
        type.header.biHeight = -static_cast<int32_t>(mode_.height);
        return type;
    }

    CResult<> Connect() override { return Success(); }

    CResult<> Start(SampleCallback callback, FailureCallback onFailure) override {
        if (thread_.joinable())
            return Success();
        {
            std::lock_guard lock(mutex_);
            stop_ = false;
        }
        failed_.store(false);
        thread_ = std::thread([this, cb = std::move(callback), fail = std::move(onFailure)] {
            StreamLoop(cb, fail);
        });
        return Success();
    }

    CResult<> Stop() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return Success();
    }

    bool StreamFailed() const override { return failed_.load(); }
    std::vector<DeviceControl> GetControls() override { return {}; }
    bool SetControl(uint32_t, int32_t) override { return false; }
    std::string LastErrorText() const override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }

  private:
    // Waits until `due` or Stop; true when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point due) {
        std::unique_lock lock(mutex_);
        return wake_.wait_until(lock, due, [this] { return stop_; });
    }

    void StreamLoop(const SampleCallback& callback, const FailureCallback& onFailure) {
        NameThisThread("lx-replay");
        SilenceHdf5();
        using Clock = std::chrono::steady_clock;
        const auto interval = std::chrono::nanoseconds(
            int64_t{1000000000} * mode_.intervalNumerator / mode_.intervalDenominator);
        std::vector<uint8_t> gray(size_t{mode_.width} * mode_.height);
        const Clock::time_point begin = Clock::now();
        uint64_t index = 0;
        for (uint64_t slot = 0;; ++slot) {
            // The frame is read before its time comes, so reading does not delay it.
            if (auto read = source_->Read(index, gray.data()); !read) {
                {
                    std::lock_guard lock(mutex_);
                    lastError_ = FormatLogText("Replay camera: %s.", read.Message().c_str());
                }
                failed_.store(true);
                if (onFailure)
                    onFailure();
                return;
            }
            // Every due time counts from the start, so waits never add up to a drift.
            const Clock::time_point due = begin + interval * slot;
            if (WaitUntil(due))
                return;
            // Running late (a loaded machine): the slots already missed are skipped rather
            // than caught up in a burst; every frame is still sent, in order.
            const auto late = Clock::now() - due;
            if (late > interval)
                slot += static_cast<uint64_t>(late / interval);
            MediaSample s;
            s.data = gray.data();
            s.length = gray.size();
            s.hasTime = true;
            s.startTime =
                std::chrono::duration_cast<std::chrono::nanoseconds>(interval * slot).count() / 100;
            callback(s);
            if (++index == source_->frames) {
                if (!loop_) {
                    // At the end the camera stays up and silent, as a hung one would.
                    WaitUntil(Clock::time_point::max());
                    return;
                }
                index = 0;
            }
        }
    }

    const std::unique_ptr<IFrameSource> source_;  // the streaming thread's while it runs
    const bool loop_;
    VideoCapability mode_;
    std::thread thread_;
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;  // guards stop_ and lastError_
    std::condition_variable wake_;
    bool stop_ = false;
    std::string lastError_;
};

}  // namespace

CResult<ReplayRequest> ParseReplayPath(const std::string& devicePath) {
    const std::string prefix = CReplayBackend::kPrefix;
    if (devicePath.rfind(prefix, 0) != 0)
        return CError{kGrabberOpenFailed, "not a replay path"};

    ReplayRequest request;
    const size_t query = devicePath.find('?', prefix.size());
    request.path = devicePath.substr(
        prefix.size(), query == std::string::npos ? std::string::npos : query - prefix.size());
    if (request.path.empty() || request.path[0] != '/')
        return CError{kGrabberOpenFailed, "the path must be absolute"};
    if (query == std::string::npos)
        return request;

    bool seenRate = false, seenLoop = false, seenDataset = false;
    size_t pos = query + 1;
    while (true) {
        const size_t amp = devicePath.find('&', pos);
        const std::string item = devicePath.substr(pos, amp == std::string::npos ? amp : amp - pos);
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            return CError{kGrabberOpenFailed, "parameter \"" + item + "\" has no value"};
        const std::string key = item.substr(0, eq), text = item.substr(eq + 1);
        bool* seen = key == "rate"      ? &seenRate
                     : key == "loop"    ? &seenLoop
                     : key == "dataset" ? &seenDataset
                                        : nullptr;
        if (seen == nullptr)
            return CError{kGrabberOpenFailed, "unknown parameter \"" + key + "\""};
        if (*seen)
            return CError{kGrabberOpenFailed, "parameter \"" + key + "\" given twice"};
        *seen = true;
        double v = 0;
        bool ok = true;
        if (key == "dataset") {
            ok = text.size() > 1 && text[0] == '/' && text.back() != '/';
            request.dataset = text;
        } else if (!ParseNumber(text, &v)) {
            return CError{kGrabberOpenFailed,
                          "parameter \"" + key + "\" is not a number: \"" + text + "\""};
        } else if (key == "rate") {
            ok = v >= kMinReplayRate && v <= kMaxReplayRate;
            request.rate = v;
        } else {
            ok = v == 0 || v == 1;
            request.loop = v == 1;
        }
        if (!ok)
            return CError{kGrabberOpenFailed,
                          "parameter \"" + key + "\" is out of range: \"" + text + "\""};
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }
    return request;
}

void CReplayBackend::EnumerateDevices(std::vector<DeviceInfo>*) {
    // Nothing to discover: replayed paths are opened as configured.
}

bool CReplayBackend::DescribeUnlisted(const std::string& devicePath, DeviceInfo* info) const {
    if (devicePath.rfind(kPrefix, 0) != 0)
        return false;
    *info = DeviceInfo{devicePath,
                       "Replay " + devicePath.substr(std::strlen(kPrefix),
                                                     devicePath.find('?') - std::strlen(kPrefix))};
    return true;
}

CResult<std::unique_ptr<ICaptureDevice>> CReplayBackend::Open(const std::string& devicePath) {
    auto parsed = ParseReplayPath(devicePath);
    const ReplayRequest request = parsed.ValueOr({});
    std::string reason;
    std::unique_ptr<IFrameSource> source;
    struct stat st {};
    if (!parsed) {
        reason = parsed.Message();
    } else if (::stat(request.path.c_str(), &st) != 0) {
        reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode) && !request.dataset.empty()) {
        reason = "a dataset applies to HDF5 files only";
    } else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
        reason = "neither a file nor a folder";
    } else {
        auto opened = S_ISDIR(st.st_mode)
                          ? OpenImageFolderSource(request.path)
                          : OpenHdf5Source(request.path, request.dataset.empty() ? kDefaultDataset
                                                                                 : request.dataset);
        if (opened)
            source = std::move(opened).Value();
        else
            reason = opened.Message();
    }
    // A frame that cannot be read (a filter the library lacks, a file cut short) is
    // better refused now than found by the streaming thread.
    std::vector<uint8_t> first;
    if (source) {
        first.resize(size_t{source->width} * source->height);
        if (auto read = source->Read(0, first.data()); !read) {
            reason = read.Message();
            source.reset();
        }
    }
    if (!source)
        return CError{kGrabberOpenFailed, FormatLogText("Replay camera: \"%s\": %s.",
                                                        devicePath.c_str(), reason.c_str())};
    const double rate = request.rate > 0   ? request.rate
                        : source->rate > 0 ? source->rate
                                           : kDefaultRate;
    return std::unique_ptr<ICaptureDevice>(
        std::make_unique<CReplayDevice>(std::move(source), rate, request.loop));
}
