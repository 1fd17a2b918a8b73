#include "capture/AravisDevice.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/LogSink.h"
#include "capture/SamplerFilter.h"
#include "processing/PixelConversion.h"

namespace {

constexpr uint32_t kBufferCount = 8;
// Bounds on what a camera's feature tree may make us walk.
constexpr int kMaxCategoryDepth = 8;
constexpr size_t kMaxControls = 256;

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

}  // namespace

std::string TakeError(GError* error, const char* fallback) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : fallback;
    g_clear_error(&error);
    return text;
}

CError CAravisDevice::Fail(int code, const std::string& step, GError* error) {
    lastError_ = FormatLogText("GenICam: %s on %s failed: %s", step.c_str(), deviceId_.c_str(),
                               TakeError(error, "unexpected answer").c_str());
    return CError{code, lastError_};
}

std::string CAravisDevice::LastErrorText() const {
    if (notice_->failed.load())
        return FormatLogText("GenICam: the control connection to %s was lost", deviceId_.c_str());
    return lastError_;
}

CResult<> CAravisDevice::Prepare(const GenicamPathParameters& p) {
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
            return CError{kGrabberOpenFailed,
                          FormatLogText("GenICam: the region of %s could not be set: %s",
                                        deviceId_.c_str(), TakeError(e, "").c_str())};
        }
        // A camera rounds or clamps what it cannot do; the operator asked for this region.
        if (x != want[0] || y != want[1] || w != want[2] || h != want[3]) {
            return CError{
                kGrabberOpenFailed,
                FormatLogText(
                    "GenICam: %s took the region %dx%d at %d,%d instead of %dx%d at %d,%d",
                    deviceId_.c_str(), w, h, x, y, want[2], want[3], want[0], want[1])};
        }
    }
    if (p.rate > 0) {
        if (!arv_camera_is_frame_rate_available(camera_, &e) && e == nullptr) {
            return CError{kGrabberOpenFailed, FormatLogText("GenICam: %s has no frame rate setting",
                                                            deviceId_.c_str())};
        }
        if (e == nullptr)
            arv_camera_set_frame_rate(camera_, p.rate, &e);
        if (e != nullptr) {
            return CError{kGrabberOpenFailed,
                          FormatLogText("GenICam: the frame rate of %s could not be set: %s",
                                        deviceId_.c_str(), TakeError(e, "").c_str())};
        }
    }
    return Success();
}

CResult<std::vector<VideoCapability>> CAravisDevice::GetCapabilities() {
    std::vector<VideoCapability> caps;
    GError* e = nullptr;
    guint count = 0;
    gint64* formats = arv_camera_dup_available_pixel_formats(camera_, &count, &e);
    if (e != nullptr)
        return Fail(kGrabberNoCapabilities, "reading the pixel formats", e);
    gint x = 0, y = 0, w = 0, h = 0;
    arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
    if (e != nullptr) {
        g_free(formats);
        return Fail(kGrabberNoCapabilities, "reading the region", e);
    }
    uint32_t numerator = 0, denominator = 0;
    if (arv_camera_is_frame_rate_available(camera_, nullptr)) {
        const double rate = arv_camera_get_frame_rate(camera_, nullptr);
        if (rate > 0 && rate <= kMaxGenicamRate) {
            numerator = 1000;
            denominator = static_cast<uint32_t>(std::lround(rate * 1000));
        }
    }
    for (guint i = 0; i < count; ++i) {
        for (const FormatMap& f : kFormats) {
            if (static_cast<ArvPixelFormat>(formats[i]) != f.camera || w <= 0 || h <= 0)
                continue;
            caps.push_back(VideoCapability{f.delivered, static_cast<uint32_t>(w),
                                           static_cast<uint32_t>(h), numerator, denominator,
                                           f.camera});
        }
    }
    g_free(formats);
    return caps;
}

CResult<MediaType> CAravisDevice::SetFormat(const VideoCapability& cap) {
    if (stream_ != nullptr)
        return Fail(kGrabberSetFormat, "setting the format while streaming", nullptr);
    const ArvPixelFormat format = cap.deviceFormat;
    GError* e = nullptr;
    arv_camera_set_pixel_format(camera_, format, &e);
    if (e != nullptr)
        return Fail(kGrabberSetFormat, "setting the pixel format", e);
    gint x = 0, y = 0, w = 0, h = 0;
    arv_camera_get_region(camera_, &x, &y, &w, &h, &e);
    if (e != nullptr)
        return Fail(kGrabberSetFormat, "reading the region", e);
    const int conversion = ConversionForSubtype(cap.pixelFormat);
    if (conversion < 0 || w <= 0 || h <= 0 || uint32_t(w) > kMaxFrameSide ||
        uint32_t(h) > kMaxFrameSide)
        return Fail(kGrabberSetFormat, "taking the region", nullptr);
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
    return type;
}

CResult<> CAravisDevice::Connect() {
    GError* e = nullptr;
    const guint payload = arv_camera_get_payload(camera_, &e);
    if (e != nullptr)
        return Fail(kGrabberConnect, "reading the payload size", e);
    if (payload < frameBytes_)
        return Fail(kGrabberConnect, "a payload smaller than a frame", nullptr);
    payload_ = payload;
    return Success();
}

CResult<> CAravisDevice::Start(SampleCallback callback, FailureCallback onFailure) {
    if (stream_ != nullptr)
        return Success();
    if (payload_ == 0)
        return Fail(kGrabberStream, "starting without buffers", nullptr);
    // Before the stream (and with it its thread) exists: the thread sees these as set.
    callback_ = std::move(callback);
    swapped_.assign(swapRedBlue_ ? frameBytes_ : 0, 0);
    notice_->failed.store(false);
    notice_->Set(std::move(onFailure));

    GError* e = nullptr;
    stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &e);
    if (stream_ == nullptr) {
        callback_ = nullptr;
        return Fail(kGrabberStream, "creating the stream", e);
    }
    for (uint32_t i = 0; i < kBufferCount; ++i)
        arv_stream_push_buffer(stream_, arv_buffer_new(payload_, nullptr));
    g_signal_connect(stream_, "new-buffer", G_CALLBACK(&OnNewBuffer), this);
    arv_stream_set_emit_signals(stream_, TRUE);
    arv_camera_set_acquisition_mode(camera_, ARV_ACQUISITION_MODE_CONTINUOUS, nullptr);
    arv_camera_start_acquisition(camera_, &e);
    if (e != nullptr) {
        EndStream();
        return Fail(kGrabberStream, "starting the acquisition", e);
    }
    return Success();
}

void CAravisDevice::EndStream() {
    arv_stream_set_emit_signals(stream_, FALSE);
    g_object_unref(stream_);  // joins the stream thread; the buffers go with it
    stream_ = nullptr;
    callback_ = nullptr;
}

CResult<> CAravisDevice::Stop() {
    if (stream_ == nullptr)
        return Success();
    GError* e = nullptr;
    if (!notice_->gone)
        arv_camera_stop_acquisition(camera_, &e);
    EndStream();
    // A camera that is gone cannot be told to stop; its stream ends all the same.
    if (e != nullptr && !notice_->failed.load())
        return Fail(kGrabberStopFailed, "stopping the acquisition", e);
    g_clear_error(&e);
    return Success();
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
        Fail(0, "setting " + f.name, e);  // for LastErrorText
        return false;
    }
    return true;
}
