#include "base/StatusModel.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
constexpr StatusKind C = StatusKind::kCounter;
constexpr StatusKind G = StatusKind::kGauge;
constexpr const char* kClientsHelp = "Clients connected now, by channel.";
constexpr const char* kSentHelp = "Frames sent to clients, by channel.";
constexpr const char* kDroppedHelp = "Frames a slow client skipped, by channel.";
}  // namespace

// clang-format off
constexpr std::array<StatusField, kStatusFieldCount> kStatusFields = {{
 // id                key                 metric                             channel     kind unit      help                                                                line
 {kFramesProcessed, "frames_processed", "lumerix2_frames_processed_total", nullptr,    C, "frames",  "Frames handed to the lossless channel.",                           "frames %s processed"},
 {kCaptureDrops,    "capture_drops",    "lumerix2_capture_drops_total",    nullptr,    C, "frames",  "Frames discarded or damaged before processing.",                   ", capture drops %s"},
 {kCameraLost,      "camera_lost",      "lumerix2_camera_lost_total",      nullptr,    C, "events",  "Times the camera went away while grabbing.",                       ", camera lost %s"},
 {kCameraStalled,   "camera_stalled",   "lumerix2_camera_stalled_total",   nullptr,    C, "events",  "Times the camera sent no frame for StallSeconds while grabbing.",  ", camera stalled %s"},
 {kPipelineDrains,  "pipeline_drains",  "lumerix2_pipeline_drains_total",  nullptr,    C, "records", "Records cut from the capture queue before processing.",            ", pipeline drains %s"},
 {kNoCodec,         "no_codec",         "lumerix2_no_codec_total",         nullptr,    C, "frames",  "Frames that arrived while no codec was up.",                       ", no codec %s"},
 {kJpegFailed,      "jpeg_failed",      "lumerix2_jpeg_failed_total",      nullptr,    C, "frames",  "Frames whose JPEG was not sent.",                                  ", jpeg failed %s"},
 {kLosslessClients, "lossless_clients", "lumerix2_clients",                "lossless", G, "clients", kClientsHelp,                                                       "; lossless %s clients"},
 {kLosslessSent,    "lossless_sent",    "lumerix2_sent_total",             "lossless", C, "frames",  kSentHelp,                                                          ", %s sent"},
 {kLosslessDropped, "lossless_dropped", "lumerix2_dropped_total",          "lossless", C, "frames",  kDroppedHelp,                                                       ", %s dropped"},
 {kLossyClients,    "lossy_clients",    "lumerix2_clients",                "lossy",    G, "clients", kClientsHelp,                                                       "; lossy %s clients"},
 {kLossySent,       "lossy_sent",       "lumerix2_sent_total",             "lossy",    C, "frames",  kSentHelp,                                                          ", %s sent"},
 {kLossyDropped,    "lossy_dropped",    "lumerix2_dropped_total",          "lossy",    C, "frames",  kDroppedHelp,                                                       ", %s dropped"},
 {kWebClients,      "web_clients",      "lumerix2_clients",                "web",      G, "clients", kClientsHelp,                                                       "; web %s clients"},
 {kWebSent,         "web_sent",         "lumerix2_sent_total",             "web",      C, "frames",  kSentHelp,                                                          ", %s sent"},
 {kWebDropped,      "web_dropped",      "lumerix2_dropped_total",          "web",      C, "frames",  kDroppedHelp,                                                       ", %s dropped"},
 {kStreamSent,      "stream_sent",      "lumerix2_sent_total",             "stream",   C, "frames",  kSentHelp,                                                          "; stream %s sent"},
 {kStreamDropped,   "stream_dropped",   "lumerix2_dropped_total",          "stream",   C, "frames",  kDroppedHelp,                                                       ", %s dropped"},
 {kZeftCalls,       "zeft_calls",       "lumerix2_zeft_calls_total",       nullptr,    C, "calls",   "Control-system calls and monitor requests.",                       "; zeft %s calls"},
 {kZeftRefused,     "zeft_refused",     "lumerix2_zeft_refused_total",     nullptr,    C, "calls",   "Control-system calls refused.",                                    ", %s refused"},
 {kAccessRefused,   "access_refused",   "lumerix2_access_refused_total",   nullptr,    C, "connections", "Frame-channel connections refused: the host is not in ViewHosts.", "; access refused %s"},
 {kWebRefused,      "web_refused",      "lumerix2_web_refused_total",      nullptr,    C, "requests", "Web requests refused by ViewHosts or, for a write, ControlHosts.", nullptr},
}};
// clang-format on

namespace {
constexpr const char* kCentroid = "lumerix2_beam_centroid_pixels";
constexpr const char* kCentroidHelp = "Beam centroid of the newest frame, in the frame's axes.";
constexpr const char* kWidth = "lumerix2_beam_d4sigma_pixels";
constexpr const char* kWidthHelp =
    "Beam D4sigma width of the newest frame along its principal axes.";
constexpr const char* kDelta = "lumerix2_beam_stability_delta_pixels";
constexpr const char* kDeltaHelp =
    "Positional stability over the window: 4 standard deviations along each principal axis of the "
    "centroid scatter.";
constexpr const char* kLineHz = "lumerix2_beam_stability_line_hz";
constexpr const char* kLineHzHelp =
    "Frequency of the strongest line of the centroid jitter spectrum, by frame axis.";
constexpr const char* kLineAmp = "lumerix2_beam_stability_line_amplitude_pixels";
constexpr const char* kLineAmpHelp =
    "Amplitude of the strongest line of the centroid jitter spectrum, by frame axis.";
}  // namespace

// clang-format off
constexpr std::array<GaugeField, kGaugeCount> kGaugeFields = {{
 // id                        metric                          axis     unit       help
 {kBeamCentroidX,           kCentroid,                      "x",     "pixels",  kCentroidHelp},
 {kBeamCentroidY,           kCentroid,                      "y",     "pixels",  kCentroidHelp},
 {kBeamWidthMajor,          kWidth,                         "major", "pixels",  kWidthHelp},
 {kBeamWidthMinor,          kWidth,                         "minor", "pixels",  kWidthHelp},
 {kBeamAngle,               "lumerix2_beam_angle_degrees",  nullptr, "degrees", "Angle of the beam's major axis from +x towards +y (down the image)."},
 {kBeamValid,               "lumerix2_beam_valid",          nullptr, "",        "1 when the newest frame's beam measurement is valid, else 0."},
 {kStabilityDeltaX,         kDelta,                         "x",     "pixels",  kDeltaHelp},
 {kStabilityDeltaY,         kDelta,                         "y",     "pixels",  kDeltaHelp},
 {kStabilityLineXHz,        kLineHz,                        "x",     "hertz",   kLineHzHelp},
 {kStabilityLineYHz,        kLineHz,                        "y",     "hertz",   kLineHzHelp},
 {kStabilityLineXAmplitude, kLineAmp,                       "x",     "pixels",  kLineAmpHelp},
 {kStabilityLineYAmplitude, kLineAmp,                       "y",     "pixels",  kLineAmpHelp},
}};
// clang-format on

namespace {
template <class Table>
constexpr bool InIdOrder(const Table& table) {
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].id != i)
            return false;
    return true;
}
static_assert(InIdOrder(kStatusFields), "kStatusFields lists the ids in their order");
static_assert(InIdOrder(kGaugeFields), "kGaugeFields lists the ids in their order");

}  // namespace

std::string MetricNumber(double v) {
    if (std::isnan(v))
        return "NaN";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

std::string RenderHealthLine(const StatusCounters& c) {
    std::string out = "Health: ";
    for (const StatusField& f : kStatusFields) {
        if (f.line == nullptr)
            continue;
        const char* mark = std::strstr(f.line, "%s");
        out.append(f.line, mark - f.line);
        out += std::to_string(c[f.id]);
        out += mark + 2;
    }
    return out;
}

std::string RenderHealthJsonMembers(const StatusCounters& c) {
    std::string out;
    for (const StatusField& f : kStatusFields) {
        if (!out.empty())
            out += ',';
        out += std::string("\"") + f.key + "\":" + std::to_string(c[f.id]);
    }
    return out;
}

std::string RenderStatusMetrics(const StatusCounters& c,
                                std::string (*extra)(const char* metric, const void* arg),
                                const void* arg) {
    std::string m;
    // A family's samples stand together, in the order of its first row.
    for (size_t i = 0; i < kStatusFieldCount; ++i) {
        const StatusField& f = kStatusFields[i];
        bool seen = false;
        for (size_t j = 0; j < i && !seen; ++j)
            seen = std::strcmp(kStatusFields[j].metric, f.metric) == 0;
        if (seen)
            continue;
        m += std::string("# HELP ") + f.metric + " " + f.help + "\n# TYPE " + f.metric + " " +
             (f.kind == StatusKind::kCounter ? "counter" : "gauge") + "\n";
        for (size_t j = i; j < kStatusFieldCount; ++j) {
            const StatusField& row = kStatusFields[j];
            if (std::strcmp(row.metric, f.metric) != 0)
                continue;
            m += row.metric;
            if (row.channel != nullptr)
                m += std::string("{channel=\"") + row.channel + "\"}";
            m += " " + std::to_string(c[row.id]) + "\n";
        }
        if (extra != nullptr)
            m += extra(f.metric, arg);
    }
    return m;
}

std::string RenderGaugeMetrics(const StatusGauges& g) {
    std::string m;
    for (size_t i = 0; i < kGaugeCount; ++i) {
        const GaugeField& f = kGaugeFields[i];
        if (i > 0 && std::strcmp(kGaugeFields[i - 1].metric, f.metric) == 0)
            continue;  // a family's rows stand together in the table
        m += std::string("# HELP ") + f.metric + " " + f.help + "\n# TYPE " + f.metric + " gauge\n";
        for (size_t j = i; j < kGaugeCount && std::strcmp(kGaugeFields[j].metric, f.metric) == 0;
             ++j) {
            const GaugeField& row = kGaugeFields[j];
            m += row.metric;
            if (row.axis != nullptr)
                m += std::string("{axis=\"") + row.axis + "\"}";
            m += " " + MetricNumber(g[row.id]) + "\n";
        }
    }
    return m;
}
