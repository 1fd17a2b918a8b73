#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

// Every counter the server reports, declared once: the health line of the log and of
// X_HEALTH, the "health" object of /api/status and /events, and /metrics are rendered from
// kStatusFields, so a new counter is one id and one row.
enum StatusId : size_t {
    kFramesProcessed,
    kCaptureDrops,
    kCameraLost,
    kCameraStalled,
    kPipelineDrains,
    kNoCodec,
    kJpegFailed,
    kLosslessClients,
    kLosslessSent,
    kLosslessDropped,
    kLossyClients,
    kLossySent,
    kLossyDropped,
    kWebClients,
    kWebSent,
    kWebDropped,
    kStreamSent,
    kStreamDropped,
    kZeftCalls,
    kZeftRefused,
    kAccessRefused,
    kWebRefused,
    kStatusFieldCount
};

enum class StatusKind { kCounter, kGauge };

struct StatusField {
    StatusId id;
    const char* key;      // in the "health" object
    const char* metric;   // the Prometheus family; its rows share help, kind and unit
    const char* channel;  // the family's channel label, nullptr for none
    StatusKind kind;
    const char* unit;  // of the value, for the reader; the metric name carries it already
    const char* help;
    const char* line;  // its part of the health line, %s for the value; nullptr: not there
};

extern const std::array<StatusField, kStatusFieldCount> kStatusFields;

// The values, by StatusId.
struct StatusCounters {
    std::array<uint64_t, kStatusFieldCount> values{};
    uint64_t& operator[](StatusId id) { return values[id]; }
    uint64_t operator[](StatusId id) const { return values[id]; }
};

// "Health: frames N processed, ..." for the log and X_HEALTH.
std::string RenderHealthLine(const StatusCounters& c);
// The members of the "health" JSON object, braces excluded.
std::string RenderHealthJsonMembers(const StatusCounters& c);
// Every family of the table in the Prometheus text format; `extra(metric)` may add samples
// to a family after its rows.
std::string RenderStatusMetrics(const StatusCounters& c,
                                std::string (*extra)(const char* metric, const void* arg) = nullptr,
                                const void* arg = nullptr);

// The beam's gauges, declared once like the counters: fractional values, NaN while unknown
// (before the first result, or with no valid beam). Only /metrics renders them; the JSON
// has the beam and the stability objects.
enum GaugeId : size_t {
    kBeamCentroidX,
    kBeamCentroidY,
    kBeamWidthMajor,
    kBeamWidthMinor,
    kBeamAngle,
    kBeamValid,
    kStabilityDeltaX,
    kStabilityDeltaY,
    kStabilityLineXHz,
    kStabilityLineYHz,
    kStabilityLineXAmplitude,
    kStabilityLineYAmplitude,
    kGaugeCount
};

struct GaugeField {
    GaugeId id;
    const char* metric;  // the Prometheus family; its rows share help and unit
    const char* axis;    // the family's axis label, nullptr for none
    const char* unit;
    const char* help;
};

extern const std::array<GaugeField, kGaugeCount> kGaugeFields;

struct StatusGauges {
    StatusGauges() { values.fill(std::numeric_limits<double>::quiet_NaN()); }
    std::array<double, kGaugeCount> values;
    double& operator[](GaugeId id) { return values[id]; }
    double operator[](GaugeId id) const { return values[id]; }
};

// Every gauge family in the Prometheus text format.
std::string RenderGaugeMetrics(const StatusGauges& g);
// A sample value as the Prometheus text format writes it ("NaN" for unknown).
std::string MetricNumber(double v);
