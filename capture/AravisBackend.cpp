#include "capture/AravisBackend.h"

#include <arv.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>

#include "base/LogSink.h"
#include "capture/SamplerFilter.h"
#include "processing/PixelConversion.h"

namespace {

constexpr const char* kPrefix = "aravis:";
constexpr uint32_t kBufferCount = 8;
constexpr double kMaxRate = 10000;
// Bounds on what a camera's feature tree may make us walk.
constexpr int kMaxCategoryDepth = 8;
constexpr size_t kMaxControls = 256;

GenicamInterfaces& Interfaces() {
    static GenicamInterfaces interfaces;
    return interfaces;
}

void ApplyInterfaces(const GenicamInterfaces& i) {
    auto set = [](const char* id, bool on) {
        on ? arv_enable_interface(id) : arv_disable_interface(id);
    };
    set("GigEVision", i.gigEVision);
    set("USB3Vision", i.usb3Vision);
    set("Fake", i.fake);
}

std::string TakeError(GError* error, const char* fallback) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : fallback;
    g_clear_error(&error);
    return text;
}

// The camera's pixel formats the system takes, as the V4L2 code of what the device hands
// over. RGB8 is handed over with red and blue exchanged.
struct FormatMap {
    ArvPixelFormat camera;
    uint32_t delivered;
};
constexpr FormatMap kFormats[] = {
    {ARV_PIXEL_FORMAT_MONO_8, V4L2_PIX_FMT_GREY},
    {ARV_PIXEL_FORMAT_BGR_8_PACKED, V4L2_PIX_FMT_BGR24},
    {ARV_PIXEL_FORMAT_RGB_8_PACKED, V4L2_PIX_FMT_BGR24},
    {ARV_PIXEL_FORMAT_YUV_422_PACKED, V4L2_PIX_FMT_UYVY},
    {ARV_PIXEL_FORMAT_YUV_422_YUYV_PACKED, V4L2_PIX_FMT_YUYV},
};

// Features that would change the frame geometry or the stream under a running grab.
bool IsStreamFeature(const char* name) {
    static const std::set<std::string> kNames = {"Width",
                                                 "Height",
                                                 "OffsetX",
                                                 "OffsetY",
                                                 "PixelFormat",
                                                 "BinningHorizontal",
                                                 "BinningVertical",
                                                 "DecimationHorizontal",
                                                 "DecimationVertical",
                                                 "AcquisitionMode",
                                                 "TLParamsLocked",
                                                 "PayloadSize",
                                                 "SensorWidth",
                                                 "SensorHeight",
                                                 "RegionSelector",
                                                 "RegionMode"};
    return kNames.count(name) != 0;
}

// The features operators are usually after, wherever (or whether) the camera files them.
constexpr const char* kWellKnownFeatures[] = {"ExposureTime", "ExposureTimeAbs", "Gain",
                                              "GainRaw",      "BlackLevel",      "BlackLevelRaw"};

int32_t ClampToInt32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

int32_t ScaleToInt32(double v, int decimals) {
    const double scaled = std::round(v * std::pow(10.0, decimals));
    if (!(scaled > std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (!(scaled < std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(scaled);
}

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
        Stop();
        notice_->Set(nullptr);
        g_signal_handler_disconnect(arv_camera_get_device(camera_), lostHandler_);
        g_object_unref(camera_);
    }

    DeviceError GetCapabilities(std::vector<VideoCapability>* caps) override;
    DeviceError SetFormat(const VideoCapability& cap, MediaType* negotiated) override;
    DeviceError Connect() override;
    DeviceError Start(SampleCallback callback, FailureCallback onFailure) override;
    DeviceError Stop() override;
    bool StreamFailed() const override { return notice_->failed.load(); }
    void SetGone() override { notice_->gone = true; }
    uint64_t DroppedCount() const override { return incomplete_.load(std::memory_order_relaxed); }
    std::vector<DeviceControl> GetControls() override;
    bool SetControl(uint32_t id, int32_t value) override;
    std::string LastErrorText() const override;

    // Region and frame rate from the device path, before the modes are read.
    bool Prepare(const GenicamPathParameters& p, std::string* error);

  private:
    enum class FeatureKind { kInteger, kFloat, kBoolean, kEnumeration };
    struct Feature {
        std::string name;
        FeatureKind kind;
        int decimals = 0;
        int32_t initial = 0;  // the "default" the dialog offers: the value found at open
    };

    DeviceError Fail(DeviceError code, const std::string& step, GError* error);
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

DeviceError CAravisDevice::Fail(DeviceError code, const std::string& step, GError* error) {
    lastError_ = FormatLogText("GenICam: %s on %s failed: %s", step.c_str(), deviceId_.c_str(),
                               TakeError(error, "unexpected answer").c_str());
    return code;
}

std::string CAravisDevice::LastErrorText() const {
    if (notice_->failed.load())
        return FormatLogText("GenICam: the control connection to %s was lost", deviceId_.c_str());
    return lastError_;
}

bool CAravisDevice::Prepare(const GenicamPathParameters& p, std::string* error) {
    GError* e = nullptr;
    if (p.width > 0 || p.height > 0 || p.x >= 0 || p.y >= 0) {
        gint x = 0, y = 0, w = 0, h = 0;
        arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
        const gint want[4] = {p.x >= 0 ? p.x : x, p.y >= 0 ? p.y : y, p.width > 0 ? p.width : w,
                              p.height > 0 ? p.height : h};
        if (e == nullptr)
            arv_camera_set_region(camera_, want[0], want[1], want[2], want[3], &e);
        if (e == nullptr)
            arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
        if (e != nullptr) {
            *error = FormatLogText("GenICam: the region of %s could not be set: %s",
                                   deviceId_.c_str(), TakeError(e, "").c_str());
            return false;
        }
        // A camera rounds or clamps what it cannot do; the operator asked for this region.
        if (x != want[0] || y != want[1] || w != want[2] || h != want[3]) {
            *error = FormatLogText(
                "GenICam: %s took the region %dx%d at %d,%d instead of %dx%d at %d,%d",
                deviceId_.c_str(), w, h, x, y, want[2], want[3], want[0], want[1]);
            return false;
        }
    }
    if (p.rate > 0) {
        if (!arv_camera_is_frame_rate_available(camera_, &e) && e == nullptr) {
            *error = FormatLogText("GenICam: %s has no frame rate setting", deviceId_.c_str());
            return false;
        }
        if (e == nullptr)
            arv_camera_set_frame_rate(camera_, p.rate, &e);
        if (e != nullptr) {
            *error = FormatLogText("GenICam: the frame rate of %s could not be set: %s",
                                   deviceId_.c_str(), TakeError(e, "").c_str());
            return false;
        }
    }
    return true;
}

DeviceError CAravisDevice::GetCapabilities(std::vector<VideoCapability>* caps) {
    caps->clear();
    GError* e = nullptr;
    guint count = 0;
    gint64* formats = arv_camera_dup_available_pixel_formats(camera_, &count, &e);
    if (e != nullptr)
        return Fail(DeviceError::kEnumerate, "reading the pixel formats", e);
    gint x = 0, y = 0, w = 0, h = 0;
    arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
    if (e != nullptr) {
        g_free(formats);
        return Fail(DeviceError::kEnumerate, "reading the region", e);
    }
    uint32_t numerator = 0, denominator = 0;
    if (arv_camera_is_frame_rate_available(camera_, nullptr)) {
        const double rate = arv_camera_get_frame_rate(camera_, nullptr);
        if (rate > 0 && rate <= kMaxRate) {
            numerator = 1000;
            denominator = static_cast<uint32_t>(std::lround(rate * 1000));
        }
    }
    for (guint i = 0; i < count; ++i) {
        for (const FormatMap& f : kFormats) {
            if (static_cast<ArvPixelFormat>(formats[i]) != f.camera || w <= 0 || h <= 0)
                continue;
            caps->push_back(VideoCapability{f.delivered, static_cast<uint32_t>(w),
                                            static_cast<uint32_t>(h), numerator, denominator,
                                            f.camera});
        }
    }
    g_free(formats);
    return DeviceError::kNone;
}

DeviceError CAravisDevice::SetFormat(const VideoCapability& cap, MediaType* negotiated) {
    if (stream_ != nullptr)
        return Fail(DeviceError::kSetFormat, "setting the format while streaming", nullptr);
    const ArvPixelFormat format = cap.deviceFormat;
    GError* e = nullptr;
    arv_camera_set_pixel_format(camera_, format, &e);
    if (e != nullptr)
        return Fail(DeviceError::kSetFormat, "setting the pixel format", e);
    gint x = 0, y = 0, w = 0, h = 0;
    arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
    if (e != nullptr)
        return Fail(DeviceError::kSetFormat, "reading the region", e);
    const int conversion = ConversionForSubtype(cap.pixelFormat);
    if (conversion < 0 || w <= 0 || h <= 0 || uint32_t(w) > kMaxFrameSide ||
        uint32_t(h) > kMaxFrameSide)
        return Fail(DeviceError::kSetFormat, "taking the region", nullptr);
    cameraFormat_ = format;
    swapRedBlue_ = format == ARV_PIXEL_FORMAT_RGB_8_PACKED;
    width_ = static_cast<uint32_t>(w);
    height_ = static_cast<uint32_t>(h);
    frameBytes_ = SourceFrameBytes(conversion, width_, -static_cast<int32_t>(height_));

    MediaType type;
    type.subtype = cap.pixelFormat;
    type.hasFormat = true;
    type.header.biWidth = w;
    type.header.biHeight = -h;  // GenICam rows are top-down
    type.header.biBitCount = static_cast<uint16_t>(SourceBytesPerPixel(conversion) * 8);
    type.header.biSizeImage = static_cast<uint32_t>(frameBytes_);
    *negotiated = type;
    return DeviceError::kNone;
}

DeviceError CAravisDevice::Connect() {
    GError* e = nullptr;
    const guint payload = arv_camera_get_payload(camera_, &e);
    if (e != nullptr)
        return Fail(DeviceError::kBuffers, "reading the payload size", e);
    if (payload < frameBytes_)
        return Fail(DeviceError::kBuffers, "a payload smaller than a frame", nullptr);
    payload_ = payload;
    return DeviceError::kNone;
}

DeviceError CAravisDevice::Start(SampleCallback callback, FailureCallback onFailure) {
    if (stream_ != nullptr)
        return DeviceError::kNone;
    if (payload_ == 0)
        return Fail(DeviceError::kStream, "starting without buffers", nullptr);
    // Before the stream (and with it its thread) exists: the thread sees these as set.
    callback_ = std::move(callback);
    swapped_.assign(swapRedBlue_ ? frameBytes_ : 0, 0);
    notice_->failed.store(false);
    notice_->Set(std::move(onFailure));

    GError* e = nullptr;
    stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &e);
    if (stream_ == nullptr) {
        callback_ = nullptr;
        return Fail(DeviceError::kStream, "creating the stream", e);
    }
    for (uint32_t i = 0; i < kBufferCount; ++i)
        arv_stream_push_buffer(stream_, arv_buffer_new(payload_, nullptr));
    g_signal_connect(stream_, "new-buffer", G_CALLBACK(&OnNewBuffer), this);
    arv_stream_set_emit_signals(stream_, TRUE);
    arv_camera_set_acquisition_mode(camera_, ARV_ACQUISITION_MODE_CONTINUOUS, nullptr);
    arv_camera_start_acquisition(camera_, &e);
    if (e != nullptr) {
        EndStream();
        return Fail(DeviceError::kStream, "starting the acquisition", e);
    }
    return DeviceError::kNone;
}

void CAravisDevice::EndStream() {
    arv_stream_set_emit_signals(stream_, FALSE);
    g_object_unref(stream_);  // joins the stream thread; the buffers go with it
    stream_ = nullptr;
    callback_ = nullptr;
}

DeviceError CAravisDevice::Stop() {
    if (stream_ == nullptr)
        return DeviceError::kNone;
    GError* e = nullptr;
    if (!notice_->gone)
        arv_camera_stop_acquisition(camera_, &e);
    EndStream();
    // A camera that is gone cannot be told to stop; its stream ends all the same.
    if (e != nullptr && !notice_->failed.load())
        return Fail(DeviceError::kStream, "stopping the acquisition", e);
    g_clear_error(&e);
    return DeviceError::kNone;
}

void CAravisDevice::HandBuffer(ArvStream* stream) {
    ArvBuffer* buffer = arv_stream_try_pop_buffer(stream);
    if (buffer == nullptr)
        return;
    size_t size = 0;
    const auto* data = static_cast<const uint8_t*>(arv_buffer_get_data(buffer, &size));
    const bool complete = arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS &&
                          data != nullptr && size >= frameBytes_ &&
                          arv_buffer_get_image_width(buffer) == int(width_) &&
                          arv_buffer_get_image_height(buffer) == int(height_) &&
                          arv_buffer_get_image_pixel_format(buffer) == cameraFormat_;
    if (!complete) {
        incomplete_.fetch_add(1, std::memory_order_relaxed);
    } else {
        if (swapRedBlue_) {
            for (size_t i = 0; i + 2 < frameBytes_; i += 3) {
                swapped_[i] = data[i + 2];
                swapped_[i + 1] = data[i + 1];
                swapped_[i + 2] = data[i];
            }
            data = swapped_.data();
        }
        MediaSample sample;
        sample.data = data;
        sample.length = frameBytes_;
        const guint64 ns = arv_buffer_get_system_timestamp(buffer);
        if (ns != 0) {
            sample.hasTime = true;
            sample.startTime = static_cast<int64_t>(ns / 100);
        }
        callback_(sample);
    }
    arv_stream_push_buffer(stream, buffer);
}

void CAravisDevice::CollectControls() {
    ArvGc* gc = arv_device_get_genicam(arv_camera_get_device(camera_));
    if (gc == nullptr)
        return;
    std::set<std::string> seen;
    // Categories first, in the camera's order, then the well-known features it does not
    // file under one.
    struct Walk {
        CAravisDevice* self;
        ArvGc* gc;
        std::set<std::string>* seen;
        void operator()(const char* name, int depth) {
            ArvGcNode* node = arv_gc_get_node(gc, name);
            if (node == nullptr || self->features_.size() >= kMaxControls)
                return;
            if (ARV_IS_GC_CATEGORY(node)) {
                // The transport layer's settings belong to the link, not the picture.
                if (depth >= kMaxCategoryDepth || std::strcmp(name, "TransportLayerControl") == 0 ||
                    !seen->insert(name).second)
                    return;
                for (const GSList* f = arv_gc_category_get_features(ARV_GC_CATEGORY(node));
                     f != nullptr; f = f->next)
                    (*this)(static_cast<const char*>(f->data), depth + 1);
                return;
            }
            self->AddFeature(gc, name, seen);
        }
    };
    Walk{this, gc, &seen}("Root", 0);
    for (const char* name : kWellKnownFeatures)
        AddFeature(gc, name, &seen);
}

void CAravisDevice::AddFeature(ArvGc* gc, const char* name, std::set<std::string>* seen) {
    ArvGcNode* node = arv_gc_get_node(gc, name);
    if (node == nullptr || !ARV_IS_GC_FEATURE_NODE(node) || IsStreamFeature(name) ||
        features_.size() >= kMaxControls || !seen->insert(name).second)
        return;
    ArvGcFeatureNode* f = ARV_GC_FEATURE_NODE(node);
    // What an operator at the expert level sees and may change.
    if (arv_gc_feature_node_get_visibility(f) < ARV_GC_VISIBILITY_EXPERT ||
        !arv_gc_feature_node_is_implemented(f, nullptr) ||
        !arv_gc_feature_node_is_available(f, nullptr) ||
        arv_gc_feature_node_get_actual_access_mode(f) != ARV_GC_ACCESS_MODE_RW)
        return;
    Feature feature{name, FeatureKind::kInteger};
    if (ARV_IS_GC_ENUMERATION(node))
        feature.kind = FeatureKind::kEnumeration;
    else if (ARV_IS_GC_BOOLEAN(node))
        feature.kind = FeatureKind::kBoolean;
    else if (ARV_IS_GC_FLOAT(node))
        feature.kind = FeatureKind::kFloat;
    else if (!ARV_IS_GC_INTEGER(node))
        return;
    if (feature.kind == FeatureKind::kFloat) {
        // As many decimals (at most three) as keep the range within a slider's integers.
        GError* e = nullptr;
        const double extent = std::max(std::fabs(arv_gc_float_get_min(ARV_GC_FLOAT(node), &e)),
                                       std::fabs(arv_gc_float_get_max(ARV_GC_FLOAT(node), &e)));
        g_clear_error(&e);
        feature.decimals = 3;
        while (feature.decimals > 0 && extent * std::pow(10.0, feature.decimals) > 1e9)
            --feature.decimals;
    }
    DeviceControl c;
    if (!ReadControl(feature, &c))
        return;
    feature.initial = c.value;
    features_.push_back(std::move(feature));
}

bool CAravisDevice::ReadControl(const Feature& f, DeviceControl* c) {
    ArvGc* gc = arv_device_get_genicam(arv_camera_get_device(camera_));
    ArvGcNode* node = gc != nullptr ? arv_gc_get_node(gc, f.name.c_str()) : nullptr;
    if (node == nullptr)
        return false;
    GError* e = nullptr;
    c->name = f.name;
    c->decimals = f.decimals;
    switch (f.kind) {
        case FeatureKind::kInteger: {
            ArvGcInteger* n = ARV_GC_INTEGER(node);
            const int64_t value = arv_gc_integer_get_value(n, &e);
            if (value != ClampToInt32(value)) {  // a value a slider cannot show
                g_clear_error(&e);
                return false;
            }
            c->kind = ControlKind::kInteger;
            c->value = static_cast<int32_t>(value);
            c->minimum = ClampToInt32(arv_gc_integer_get_min(n, &e));
            c->maximum = ClampToInt32(arv_gc_integer_get_max(n, &e));
            c->step = std::max<int32_t>(1, ClampToInt32(arv_gc_integer_get_inc(n, &e)));
            break;
        }
        case FeatureKind::kFloat: {
            ArvGcFloat* n = ARV_GC_FLOAT(node);
            c->kind = ControlKind::kInteger;
            c->value = ScaleToInt32(arv_gc_float_get_value(n, &e), f.decimals);
            c->minimum = ScaleToInt32(arv_gc_float_get_min(n, &e), f.decimals);
            c->maximum = ScaleToInt32(arv_gc_float_get_max(n, &e), f.decimals);
            c->step = 1;
            break;
        }
        case FeatureKind::kBoolean:
            c->kind = ControlKind::kBoolean;
            c->value = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &e) ? 1 : 0;
            c->minimum = 0;
            c->maximum = 1;
            break;
        case FeatureKind::kEnumeration: {
            ArvGcEnumeration* n = ARV_GC_ENUMERATION(node);
            c->kind = ControlKind::kMenu;
            const int64_t value = arv_gc_enumeration_get_int_value(n, &e);
            c->value = ClampToInt32(value);
            for (const GSList* l = arv_gc_enumeration_get_entries(n); l != nullptr && e == nullptr;
                 l = l->next) {
                auto* entry = ARV_GC_ENUM_ENTRY(l->data);
                ArvGcFeatureNode* fe = ARV_GC_FEATURE_NODE(entry);
                if (!arv_gc_feature_node_is_available(fe, nullptr) ||
                    !arv_gc_feature_node_is_implemented(fe, nullptr))
                    continue;
                GError* ee = nullptr;
                const int64_t v = arv_gc_enum_entry_get_value(entry, &ee);
                if (ee == nullptr && v == ClampToInt32(v))
                    c->menu.push_back(
                        MenuItem{static_cast<int32_t>(v), arv_gc_feature_node_get_name(fe)});
                g_clear_error(&ee);
            }
            if (c->menu.empty())
                g_set_error_literal(&e, g_quark_from_static_string("lumerix2"), 0, "no entries");
            break;
        }
    }
    if (e != nullptr) {
        g_clear_error(&e);
        return false;
    }
    c->defaultValue = c->value;
    return !(f.kind == FeatureKind::kInteger && c->maximum < c->minimum);
}

std::vector<DeviceControl> CAravisDevice::GetControls() {
    std::vector<DeviceControl> controls;
    for (size_t i = 0; i < features_.size(); ++i) {
        DeviceControl c;
        if (!ReadControl(features_[i], &c))
            continue;
        c.id = static_cast<uint32_t>(i + 1);
        c.defaultValue = features_[i].initial;
        controls.push_back(std::move(c));
    }
    return controls;
}

bool CAravisDevice::SetControl(uint32_t id, int32_t value) {
    if (id == 0 || id > features_.size())
        return false;
    const Feature& f = features_[id - 1];
    ArvDevice* device = arv_camera_get_device(camera_);
    GError* e = nullptr;
    switch (f.kind) {
        case FeatureKind::kInteger:
            arv_device_set_integer_feature_value(device, f.name.c_str(), value, &e);
            break;
        case FeatureKind::kFloat:
            arv_device_set_float_feature_value(device, f.name.c_str(),
                                               value / std::pow(10.0, f.decimals), &e);
            break;
        case FeatureKind::kBoolean:
            arv_device_set_boolean_feature_value(device, f.name.c_str(), value != 0, &e);
            break;
        case FeatureKind::kEnumeration: {
            ArvGc* gc = arv_device_get_genicam(device);
            ArvGcNode* node = arv_gc_get_node(gc, f.name.c_str());
            if (node == nullptr || !ARV_IS_GC_ENUMERATION(node))
                return false;
            arv_gc_enumeration_set_int_value(ARV_GC_ENUMERATION(node), value, &e);
            break;
        }
    }
    if (e != nullptr) {
        Fail(DeviceError::kNone, "setting " + f.name, e);
        return false;
    }
    return true;
}

}  // namespace

void SetGenicamInterfaces(const GenicamInterfaces& interfaces) {
    Interfaces() = interfaces;
    ApplyInterfaces(interfaces);
}

bool ParseGenicamPath(const std::string& devicePath, GenicamPathParameters* out,
                      std::string* error) {
    const std::string prefix = kPrefix;
    *out = GenicamPathParameters{};
    if (devicePath.compare(0, prefix.size(), prefix) != 0) {
        *error = "not a GenICam device path";
        return false;
    }
    const size_t query = devicePath.find('?', prefix.size());
    out->deviceId = devicePath.substr(
        prefix.size(), query == std::string::npos ? std::string::npos : query - prefix.size());
    if (out->deviceId.empty()) {
        *error = "no device id after \"aravis:\"";
        return false;
    }
    if (query == std::string::npos)
        return true;
    std::set<std::string> keys;
    std::string rest = devicePath.substr(query + 1);
    while (true) {
        const size_t amp = rest.find('&');
        const std::string item = rest.substr(0, amp);
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string text = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* end = nullptr;
        const double v = text.empty() || text.find_first_not_of("0123456789.") != std::string::npos
                             ? -1
                             : std::strtod(text.c_str(), &end);
        const bool whole = v >= 0 && v == std::floor(v);
        const bool ok =
            !keys.count(key) && v >= 0 && end != nullptr && *end == '\0' &&
            ((key == "rate" && v > 0 && v <= kMaxRate) ||
             ((key == "width" || key == "height") && whole && v >= 1 && v <= kMaxFrameSide) ||
             ((key == "x" || key == "y") && whole && v <= kMaxFrameSide));
        if (!ok) {
            *error = "bad parameter \"" + item + "\" in " + devicePath;
            return false;
        }
        keys.insert(key);
        if (key == "rate")
            out->rate = v;
        else if (key == "width")
            out->width = static_cast<int>(v);
        else if (key == "height")
            out->height = static_cast<int>(v);
        else if (key == "x")
            out->x = static_cast<int>(v);
        else
            out->y = static_cast<int>(v);
        if (amp == std::string::npos)
            return true;
        rest = rest.substr(amp + 1);
    }
}

CAravisBackend::CAravisBackend(Opener opener) : opener_(std::move(opener)) {
    if (!opener_) {
        opener_ = [](const std::string& id, GError** error) {
            return arv_camera_new(id.c_str(), error);
        };
    }
    // The library searches GigE Vision by default; this system does not unless told to.
    ApplyInterfaces(Interfaces());
}

bool CAravisBackend::EnumerateDevices(std::vector<DeviceInfo>* devices) {
    devices->clear();
    arv_update_device_list();
    const unsigned count = arv_get_n_devices();
    for (unsigned i = 0; i < count; ++i) {
        const char* id = arv_get_device_id(i);
        if (id == nullptr || *id == '\0')
            continue;
        auto text = [](const char* s) { return std::string(s != nullptr ? s : ""); };
        std::string name = text(arv_get_device_vendor(i));
        const std::string model = text(arv_get_device_model(i));
        const std::string serial = text(arv_get_device_serial_nbr(i));
        name += (name.empty() || model.empty() ? "" : " ") + model;
        if (!serial.empty())
            name += " (" + serial + ")";  // two cameras of one model are told apart
        devices->push_back(DeviceInfo{kPrefix + std::string(id), name.empty() ? id : name});
    }
    return true;
}

bool CAravisBackend::Matches(const std::string& identity, const std::string& devicePath) const {
    return devicePath.substr(0, devicePath.find('?')) == identity;
}

std::unique_ptr<ICaptureDevice> CAravisBackend::Open(const std::string& devicePath,
                                                     DeviceError* code, std::string* error) {
    *code = DeviceError::kOpen;
    GenicamPathParameters p;
    if (!ParseGenicamPath(devicePath, &p, error)) {
        *error = "GenICam: " + *error;
        return nullptr;
    }
    GError* e = nullptr;
    ArvCamera* camera = opener_(p.deviceId, &e);
    if (camera == nullptr) {
        *error = FormatLogText("GenICam: %s could not be opened: %s", p.deviceId.c_str(),
                               TakeError(e, "not found").c_str());
        return nullptr;
    }
    g_clear_error(&e);
    auto device = std::make_unique<CAravisDevice>(camera, p.deviceId);
    if (!device->Prepare(p, error))
        return nullptr;
    *code = DeviceError::kNone;
    return device;
}
