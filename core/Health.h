#pragma once

#include <cstdint>
#include <string>

// What the server has done since it started, stage by stage: the health line of the log
// and of X_HEALTH, and whatever else reports on the server's health, read this one value.
struct HealthCounters {
    struct Channel {
        int clients = 0;    // connected now
        uint64_t sent = 0;  // since the start, departed clients included
        uint64_t dropped = 0;
    };
    uint64_t processed = 0;       // frames handed to the lossless channel
    uint64_t captureDrops = 0;    // discarded or damaged before the hand-off
    uint64_t cameraLosses = 0;    // times the camera went away while grabbing
    uint64_t cameraStalls = 0;    // times it sent no frame for StallSeconds while grabbing
    uint64_t pipelineDrains = 0;  // records cut from the Capture queue before processing
    uint64_t withoutCodecs = 0;   // frames that arrived while no codec was up
    uint64_t jpegFailed = 0;      // frames whose JPEG was not sent
    Channel lossless;
    Channel lossy;
    Channel web;  // MJPEG viewers
    uint64_t zeftCalls = 0;
    uint64_t zeftRefused = 0;
    uint64_t accessRefused = 0;  // frame-channel connections from hosts not in ViewHosts
};

// "Health: frames N processed, ..." for the log and X_HEALTH.
std::string RenderHealthLine(const HealthCounters& h);
