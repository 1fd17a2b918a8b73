#pragma once
// The opened GenICam camera of CAravisBackend; only its two source files include this.

#include <arv.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/AravisBackend.h"

// The highest frame rate a camera may ask for or be asked for, frames/s.
constexpr double kMaxGenicamRate = 10000;

// The library's error text (or `fallback`), freeing the error.
std::string TakeError(GError* error, const char* fallback);

// A loss of the control connection can be reported on the library's heartbeat thread
// while the device is being closed; the handler's state outlives both.
struct LossNotice {
    std::atomic<bool> failed{false};
    std::atomic<bool> gone{false};  // no longer listed: commands would only time out
    std::mutex mutex;               // guards callback
    FailureCallback callback;

    void Set(FailureCallback cb) {
        std::lock_guard lock(mutex);
        callback = std::move(cb);
    }
    void Fire() {
        if (failed.exchange(true))
            return;
        FailureCallback cb;
        {
            std::lock_guard lock(mutex);
            cb = callback;
        }
        if (cb)
            cb();
    }
};

class CAravisDevice : public ICaptureDevice {
  public:
    CAravisDevice(ArvCamera* camera, std::string deviceId)
        : camera_(camera), deviceId_(std::move(deviceId)), notice_(std::make_shared<LossNotice>()) {
        auto* held = new std::shared_ptr<LossNotice>(notice_);
        lostHandler_ = g_signal_connect_data(
            arv_camera_get_device(camera_), "control-lost", G_CALLBACK(&OnControlLost), held,
            [](gpointer data, GClosure*) {
                delete static_cast<std::shared_ptr<LossNotice>*>(data);
            },
            GConnectFlags(0));
        CollectControls();
    }
    ~CAravisDevice() override {
        (void)Stop();  // nobody is left to tell
        notice_->Set(nullptr);
        g_signal_handler_disconnect(arv_camera_get_device(camera_), lostHandler_);
        g_object_unref(camera_);
    }

    CResult<std::vector<VideoCapability>> GetCapabilities() override;
    CResult<MediaType> SetFormat(const VideoCapability& cap) override;
    CResult<> Connect() override;
    CResult<> Start(SampleCallback callback, FailureCallback onFailure) override;
    CResult<> Stop() override;
    bool StreamFailed() const override { return notice_->failed.load(); }
    void SetGone() override { notice_->gone = true; }
    uint64_t DroppedCount() const override { return incomplete_.load(std::memory_order_relaxed); }
    std::vector<DeviceControl> GetControls() override;
    bool SetControl(uint32_t id, int32_t value) override;
    std::string LastErrorText() const override;

    // Region and frame rate from the device path, before the modes are read.
    CResult<> Prepare(const GenicamPathParameters& p);

  private:
    enum class FeatureKind { kInteger, kFloat, kBoolean, kEnumeration };
    struct Feature {
        std::string name;
        FeatureKind kind;
        int decimals = 0;
        int32_t initial = 0;  // the "default" the dialog offers: the value found at open
    };

    // Keeps the step's failure as the last error text.
    CError Fail(int code, const std::string& step, GError* error);
    static void OnControlLost(ArvDevice*, gpointer data) {
        (*static_cast<std::shared_ptr<LossNotice>*>(data))->Fire();
    }
    static void OnNewBuffer(ArvStream* stream, gpointer self) {
        static_cast<CAravisDevice*>(self)->HandBuffer(stream);
    }
    void HandBuffer(ArvStream* stream);
    void CollectControls();
    void AddFeature(ArvGc* gc, const char* name, std::set<std::string>* seen);
    bool ReadControl(const Feature& f, DeviceControl* c);
    void EndStream();

    ArvCamera* const camera_;
    const std::string deviceId_;
    std::shared_ptr<LossNotice> notice_;
    gulong lostHandler_ = 0;
    std::string lastError_;  // main thread
    std::vector<Feature> features_;

    // Set on the main thread before the stream thread exists (it starts with the stream),
    // read-only while it runs.
    ArvPixelFormat cameraFormat_ = 0;
    bool swapRedBlue_ = false;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    size_t frameBytes_ = 0;
    size_t payload_ = 0;
    SampleCallback callback_;

    std::vector<uint8_t> swapped_;  // stream thread only
    ArvStream* stream_ = nullptr;   // main thread
    std::atomic<uint64_t> incomplete_{0};
};
