#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/StatusModel.h"

// What the web server tells about the server: published by the controller, rendered as
// the status JSON, the page's events and the metrics.
struct WebStatus {
    struct Channel {
        int clients = 0;
        uint64_t sent = 0;  // totals since the start, departed clients included
        uint64_t dropped = 0;
    };
    std::string state = "down";  // "grabbing", "stopped" or "down"
    uint64_t frame = 0;
    double fps = 0;
    int width = 0;
    int height = 0;
    std::string orientation;
    double scale = 1.0;
    bool hasSpot = false;
    double spotX = 0, spotY = 0, spotSx = 0, spotSy = 0;
    std::string cameraName, cameraId, device;
    int zeftClients = 0;
    StatusCounters counters;    // the web server fills in its own
    StatusGauges gauges;        // the beam's
    std::string beam = "null";  // the beam without its profiles: a JSON value, as rendered
};

// The status as one JSON object (UTF-8; invalid bytes of a text become U+FFFD).
std::string RenderStatusJson(const WebStatus& s);
// The Prometheus text exposition (format 0.0.4).
std::string RenderMetrics(const WebStatus& s, const std::string& version);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
