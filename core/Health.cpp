#include "core/Health.h"

#include "base/LogSink.h"

std::string RenderHealthLine(const HealthCounters& h) {
    using ull = unsigned long long;
    return FormatLogText(
        "Health: frames %llu processed, capture drops %llu, camera lost %llu, "
        "camera stalled %llu, "
        "pipeline drains %llu, no codec %llu, jpeg failed %llu; "
        "lossless %d clients, %llu sent, %llu dropped; "
        "lossy %d clients, %llu sent, %llu dropped; web %d clients, %llu sent, %llu dropped; "
        "zeft %llu calls, %llu refused; access refused %llu",
        ull(h.processed), ull(h.captureDrops), ull(h.cameraLosses), ull(h.cameraStalls),
        ull(h.pipelineDrains), ull(h.withoutCodecs), ull(h.jpegFailed), h.lossless.clients,
        ull(h.lossless.sent), ull(h.lossless.dropped), h.lossy.clients, ull(h.lossy.sent),
        ull(h.lossy.dropped), h.web.clients, ull(h.web.sent), ull(h.web.dropped), ull(h.zeftCalls),
        ull(h.zeftRefused), ull(h.accessRefused));
}
