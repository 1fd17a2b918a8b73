#include "capture/SyntheticCamera.h"

#include <pthread.h>
#include <sched.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/LogSink.h"
#include "base/ThreadName.h"

namespace {

constexpr const char* kPrefix = "synthetic:";
constexpr int kDeviceCount = 1;

bool ParseNumber(const std::string& text, double* value) {
    if (text.empty())
        return false;
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, *value, std::chars_format::fixed);
    return ec == std::errc() && ptr == end && std::isfinite(*value);
}

// Deterministic per frame and pixel, cheap: noise must not cost the frame rate.
uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class CSyntheticDevice : public ICaptureDevice {
  public:
    explicit CSyntheticDevice(const SyntheticSpot& spot)
        : spot_(spot),
          brightness_(static_cast<int32_t>(spot.background)),
          gain_(static_cast<int32_t>(spot.amplitude)) {}
    ~CSyntheticDevice() override { (void)Stop(); }

    CResult<std::vector<VideoCapability>> GetCapabilities() override {
        return CSyntheticBackend::Modes();
    }

    CResult<MediaType> SetFormat(const VideoCapability& cap) override {
        if (thread_.joinable())
            return CError{kGrabberSetFormat, {}};
        format_ = cap;
        MediaType type;
        type.subtype = cap.pixelFormat;
        type.hasFormat = true;
        type.header.biWidth = static_cast<int32_t>(cap.width);
        type.header.biHeight = -static_cast<int32_t>(cap.height);
        return type;
    }

    CResult<> Connect() override { return Success(); }

    CResult<> Start(SampleCallback callback, FailureCallback) override {
        if (thread_.joinable())
            return Success();
        if (format_.width == 0)
            return CError{kGrabberStream, {}};
        {
            std::lock_guard lock(mutex_);
            stop_ = false;
        }
        thread_ = std::thread([this, cb = std::move(callback)] { StreamLoop(cb); });
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

    bool StreamFailed() const override { return false; }
    std::vector<DeviceControl> GetControls() override {
        DeviceControl brightness;
        brightness.id = CSyntheticBackend::kBrightnessId;
        brightness.name = "Brightness";
        brightness.maximum = 255;
        brightness.defaultValue = static_cast<int32_t>(spot_.background);
        brightness.value = brightness_.load();
        DeviceControl gain = brightness;
        gain.id = CSyntheticBackend::kGainId;
        gain.name = "Gain";
        gain.defaultValue = static_cast<int32_t>(spot_.amplitude);
        gain.value = gain_.load();
        return {brightness, gain};
    }

    bool SetControl(uint32_t id, int32_t value) override {
        if (value < 0 || value > 255)
            return false;
        if (id == CSyntheticBackend::kBrightnessId)
            brightness_.store(value);
        else if (id == CSyntheticBackend::kGainId)
            gain_.store(value);
        else
            return false;
        return true;
    }
    std::string LastErrorText() const override { return {}; }

  private:
    void StreamLoop(const SampleCallback& callback) {
        NameThisThread("lx-synthetic");
        using Clock = std::chrono::steady_clock;
        const uint32_t w = format_.width, h = format_.height;
        const auto interval = std::chrono::nanoseconds(
            int64_t{1000000000} * format_.intervalNumerator / format_.intervalDenominator);
        const bool paced = spot_.pace != 0;
        if (!paced) {
            // Unpaced, the camera offers frames as fast as it can: only CPU time nobody
            // else wants, so that it measures the server and never competes with it.
            sched_param param{};
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
        }
        // The noise repeats every few frames: enough to look alive, and rendering
        // (milliseconds a frame) is paid once instead of per frame. Large frames get fewer
        // of them, so that the ring stays a small part of the server's memory.
        std::vector<uint8_t> probe;
        PackGraySample(std::vector<uint8_t>(1), 1, 1, format_.pixelFormat, &probe);
        const size_t sampleBytes = size_t{w} * h * probe.size();
        std::vector<std::vector<uint8_t>> ring(
            std::clamp<size_t>(kRingBytes / sampleBytes, kMinRingFrames, kRingFrames));
        int32_t renderedBrightness = -1, renderedGain = -1;
        std::vector<uint8_t> gray;
        const Clock::time_point begin = Clock::now();
        uint64_t sequence = 0;
        for (uint64_t slot = 0;; ++slot) {
            Clock::time_point due = begin + interval * slot;
            {
                std::unique_lock lock(mutex_);
                if (paced ? wake_.wait_until(lock, due, [this] { return stop_; }) : stop_)
                    return;
            }
            // Running late (a loaded machine): skip the slots already missed rather than
            // catching up in a burst, as a real camera would.
            auto late = Clock::now() - due;
            if (paced && late > interval)
                slot += static_cast<uint64_t>(late / interval);

            const int32_t brightness = brightness_.load(), gain = gain_.load();
            if (brightness != renderedBrightness || gain != renderedGain) {
                SyntheticSpot spot = spot_;
                spot.background = brightness;
                spot.amplitude = gain;
                for (size_t i = 0; i < ring.size(); ++i) {
                    // Without noise every frame is the same: rendered once.
                    if (i > 0 && spot.noise == 0) {
                        ring[i] = ring[0];
                        continue;
                    }
                    RenderSyntheticGray(spot, w, h, i, &gray);
                    PackGraySample(gray, w, h, format_.pixelFormat, &ring[i]);
                }
                renderedBrightness = brightness;
                renderedGain = gain;
            }
            const std::vector<uint8_t>& sample = ring[sequence++ % ring.size()];
            MediaSample s;
            s.data = sample.data();
            s.length = sample.size();
            s.hasTime = true;
            s.startTime =
                paced ? std::chrono::duration_cast<std::chrono::nanoseconds>(interval * slot)
                                .count() /
                            100
                      : std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin)
                                .count() /
                            100;
            callback(s);
            if (spot_.stop > 0 && sequence >= spot_.stop) {
                // A camera that hangs: the stream stays up and sends nothing more.
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_; });
                return;
            }
        }
    }

    static constexpr size_t kRingFrames = 8;
    static constexpr size_t kMinRingFrames = 3;
    static constexpr size_t kRingBytes = 64u * 1024 * 1024;
    const SyntheticSpot spot_;
    std::atomic<int32_t> brightness_;  // set by the main thread, read per frame
    std::atomic<int32_t> gain_;
    VideoCapability format_;  // main thread; fixed while streaming
    std::thread thread_;
    std::mutex mutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
};

}  // namespace

bool ParseSyntheticIdentity(const std::string& devicePath, int* number, SyntheticSpot* spot,
                            std::string* error) {
    const std::string prefix = kPrefix;
    if (devicePath.rfind(prefix, 0) != 0) {
        *error = "not a synthetic camera identity";
        return false;
    }
    size_t query = devicePath.find('?');
    std::string digits = devicePath.substr(
        prefix.size(), query == std::string::npos ? std::string::npos : query - prefix.size());
    double n = -1;
    if (!ParseNumber(digits, &n) || n != std::floor(n) || n < 0 || n >= kDeviceCount ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        *error = "no synthetic camera \"" + digits + "\"";
        return false;
    }
    *number = static_cast<int>(n);
    *spot = SyntheticSpot{};
    if (query == std::string::npos)
        return true;

    std::string rest = devicePath.substr(query + 1);
    constexpr int kKeyCount = 7;
    bool seen[kKeyCount] = {};
    size_t pos = 0;
    while (true) {
        size_t amp = rest.find('&', pos);
        std::string item = rest.substr(pos, amp == std::string::npos ? amp : amp - pos);
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "parameter \"" + item + "\" has no value";
            return false;
        }
        std::string key = item.substr(0, eq), text = item.substr(eq + 1);
        static const char* const kKeys[kKeyCount] = {"x", "y", "sx", "sy", "noise", "pace", "stop"};
        int k = 0;
        while (k < kKeyCount && key != kKeys[k])
            ++k;
        if (k == kKeyCount) {
            *error = "unknown parameter \"" + key + "\"";
            return false;
        }
        if (seen[k]) {
            *error = "parameter \"" + key + "\" given twice";
            return false;
        }
        seen[k] = true;
        double v = 0;
        if (!ParseNumber(text, &v)) {
            *error = "parameter \"" + key + "\" is not a number: \"" + text + "\"";
            return false;
        }
        bool ok = k <= 1   ? std::fabs(v) <= 100000.0
                  : k <= 3 ? v > 0 && v <= 100000.0
                  : k == 4 ? v >= 0 && v <= 100.0
                  : k == 5 ? v == 0 || v == 1
                           : v >= 0 && v <= 1e9 && v == std::floor(v);
        if (!ok) {
            *error = "parameter \"" + key + "\" is out of range: \"" + text + "\"";
            return false;
        }
        double* fields[kKeyCount] = {&spot->x,     &spot->y,    &spot->sx,  &spot->sy,
                                     &spot->noise, &spot->pace, &spot->stop};
        *fields[k] = v;
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }
    return true;
}

void RenderSyntheticGray(const SyntheticSpot& spot, uint32_t width, uint32_t height,
                         uint64_t sequence, std::vector<uint8_t>* gray) {
    gray->resize(size_t{width} * height);
    const double x0 = spot.x >= 0 ? spot.x : (width - 1) / 2.0;
    const double y0 = spot.y >= 0 ? spot.y : (height - 1) / 2.0;
    const double sx = spot.sx > 0 ? spot.sx : width / 20.0;
    const double sy = spot.sy > 0 ? spot.sy : height / 20.0;
    // The Gaussian separates into a row and a column factor.
    std::vector<double> fx(width), fy(height);
    for (uint32_t x = 0; x < width; ++x)
        fx[x] = std::exp(-(x - x0) * (x - x0) / (2 * sx * sx));
    for (uint32_t y = 0; y < height; ++y)
        fy[y] = spot.amplitude * std::exp(-(y - y0) * (y - y0) / (2 * sy * sy));
    const int noise = static_cast<int>(spot.noise);
    const uint64_t span = 2 * static_cast<uint64_t>(noise) + 1;
    uint64_t state = sequence * 0x2545F4914F6CDD1Dull + 1;
    uint8_t* out = gray->data();
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            double v = spot.background + fy[y] * fx[x];
            if (noise > 0)
                v += static_cast<double>(SplitMix(state) % span) - noise;
            *out++ = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    }
}

void PackGraySample(const std::vector<uint8_t>& gray, uint32_t width, uint32_t height,
                    uint32_t pixelFormat, std::vector<uint8_t>* sample) {
    const size_t pixels = size_t{width} * height;
    const uint8_t* g = gray.data();
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_UYVY: {
            sample->resize(pixels * 2);
            const size_t y = pixelFormat == V4L2_PIX_FMT_YUYV ? 0 : 1;
            uint8_t* p = sample->data();
            for (size_t i = 0; i < pixels; ++i, p += 2) {
                p[y] = g[i];
                p[1 - y] = 128;
            }
            break;
        }
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_BGR32: {
            const size_t b = pixelFormat == V4L2_PIX_FMT_BGR24 ? 3 : 4;
            sample->resize(pixels * b);
            uint8_t* p = sample->data();
            for (size_t i = 0; i < pixels; ++i, p += b) {
                // Red one step up makes the weighted sum land just above g, so the
                // truncating conversion gives g back (255 is exact).
                p[0] = g[i];
                p[1] = g[i];
                p[2] = g[i] == 255 ? 255 : static_cast<uint8_t>(g[i] + 1);
                if (b == 4)
                    p[3] = 255;
            }
            break;
        }
        default:
            sample->assign(gray.begin(), gray.end());
            break;
    }
}

void CSyntheticBackend::EnumerateDevices(std::vector<DeviceInfo>* devices) {
    for (int i = 0; i < kDeviceCount; ++i)
        devices->push_back(
            DeviceInfo{kPrefix + std::to_string(i), "Synthetic Camera " + std::to_string(i)});
}

bool CSyntheticBackend::Matches(const std::string& identity, const std::string& devicePath) const {
    // The spot parameters ride along after the identity.
    return devicePath == identity || (devicePath.size() > identity.size() &&
                                      devicePath.compare(0, identity.size(), identity) == 0 &&
                                      devicePath[identity.size()] == '?');
}

CResult<std::unique_ptr<ICaptureDevice>> CSyntheticBackend::Open(const std::string& devicePath) {
    int number = 0;
    SyntheticSpot spot;
    std::string reason;
    if (!ParseSyntheticIdentity(devicePath, &number, &spot, &reason)) {
        return CError{kGrabberOpenFailed, FormatLogText("Synthetic camera: \"%s\": %s.",
                                                        devicePath.c_str(), reason.c_str())};
    }
    return std::unique_ptr<ICaptureDevice>(std::make_unique<CSyntheticDevice>(spot));
}

std::vector<VideoCapability> CSyntheticBackend::Modes() {
    return {
        {V4L2_PIX_FMT_YUYV, 768, 574, 1, 25},   {V4L2_PIX_FMT_UYVY, 768, 574, 1, 25},
        {V4L2_PIX_FMT_BGR24, 768, 574, 1, 25},  {V4L2_PIX_FMT_BGR32, 768, 574, 1, 25},
        {V4L2_PIX_FMT_GREY, 768, 574, 1, 25},   {V4L2_PIX_FMT_YUYV, 640, 480, 1, 30},
        {V4L2_PIX_FMT_BGR24, 320, 240, 1, 60},  {V4L2_PIX_FMT_GREY, 160, 120, 1, 100},
        {V4L2_PIX_FMT_GREY, 1920, 1080, 1, 25}, {V4L2_PIX_FMT_GREY, 2448, 2048, 1, 75},
        {V4L2_PIX_FMT_GREY, 4096, 3000, 1, 30},
    };
}
