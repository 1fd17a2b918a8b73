#include "tools/record/ServerBeam.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "base/HostPort.h"
#include "base/UniqueFd.h"
#include "web/WebJson.h"

namespace {

// The largest dark frame (16384² samples of 2 bytes) and its header; nothing else we ask
// for comes near it.
constexpr size_t kMaxReply = 2ull * 16384 * 16384 + 4096;

// One HTTP/1.0 GET (the server then closes after its reply): the status and the body.
bool HttpGet(const std::string& web, const std::string& path, int timeoutMs, int* status,
             std::string* body, std::string* error) {
    std::string host;
    uint16_t port = 0;
    if (!ParseHostPort(web, host, port)) {
        *error = "\"" + web + "\" is not HOST:PORT";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        *error = "cannot look up " + host;
        return false;
    }
    UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const bool connected = fd &&
                           setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
                           setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
                           ::connect(fd.get(), found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + web + "\r\n\r\n";
    if (!connected ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        *error = "cannot reach the web server at " + web + ": " + std::strerror(errno);
        return false;
    }
    std::string reply;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = "no whole reply from " + web + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        if (reply.size() + size_t(n) > kMaxReply) {
            *error = "the reply of " + web + path + " is too large";
            return false;
        }
        reply.append(buffer, size_t(n));
    }
    const size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos || std::sscanf(reply.c_str(), "HTTP/1.%*d %d", status) != 1) {
        *error = web + path + " did not answer in HTTP";
        return false;
    }
    *body = reply.substr(end + 4);
    return true;
}

// The object that follows `"name":` in `json`, braces included; "" when there is none.
std::string Member(const std::string& json, const char* name) {
    const std::string key = std::string("\"") + name + "\":{";
    const size_t at = json.find(key);
    const size_t end = at == std::string::npos ? at : json.find('}', at);
    return end == std::string::npos ? ""
                                    : json.substr(at + key.size() - 1, end - at - key.size() + 2);
}

std::vector<double> Pair(double a, double b) {
    return {a, b};
}

}  // namespace

bool FetchBeamSetup(const std::string& web, int timeoutMs, BeamSetup* setup, std::string* error) {
    int status = 0;
    std::string body;
    // Before its first measured frame the server answers 503; it comes within a frame or two.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (!HttpGet(web, "/api/beam", timeoutMs, &status, &body, error))
            return false;
        if (status == 503)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (status == 503 && std::chrono::steady_clock::now() < end);
    static constexpr const char* kNames[] = {"x", "y", "width", "height"};
    int32_t v[4] = {};
    if (status != 200 || !ParseIntObject(Member(body, "roi"), kNames, v)) {
        *error = web + "/api/beam gave no region (HTTP " + std::to_string(status) + ")";
        return false;
    }
    setup->web = web;
    setup->roi = BeamRoi{v[0], v[1], v[2], v[3]};
    setup->dark = DarkFrame{};
    if (!HttpGet(web, "/api/dark", timeoutMs, &status, &body, error))
        return false;
    if (status == 404)
        return true;  // no dark frame in use
    if (status != 200 || !ParseDarkFrame(body, &setup->dark, error)) {
        *error = web + "/api/dark: " + (status != 200 ? "HTTP " + std::to_string(status) : *error);
        return false;
    }
    return true;
}

void MeasureBeam(CBeamAnalyzer& analyzer, const uint8_t* gray, uint32_t width, uint32_t height,
                 const BeamSetup& setup, FrameRow* row) {
    BeamResult b;
    b.frame = row->frameNumber;
    analyzer.Measure(gray, width, height, setup.roi, setup.dark.frames ? &setup.dark : nullptr, &b);
    row->beamValid = b.valid ? 1 : 0;
    if (b.reason == kBeamNone)
        return;  // nothing measured: the columns stay NaN
    row->centroid[0] = b.centroidX;
    row->centroid[1] = b.centroidY;
    row->sigma[0] = b.sigmaX;
    row->sigma[1] = b.sigmaY;
    row->sigma[2] = b.sigmaXY;
    row->d4sigma[0] = b.widthMajor;
    row->d4sigma[1] = b.widthMinor;
    row->angle = b.angle;
    row->total = b.total;
}

std::vector<Hdf5Attribute> SetupAttributes(const BeamSetup& s) {
    const BeamRoi& r = s.roi;
    return {
        {"region_source", {}, s.web.empty() ? "whole frame" : "server " + s.web},
        {"region", {double(r.x), double(r.y), double(r.width), double(r.height)}, "", true},
        {"background", {}, s.dark.frames ? "dark frame of the server" : "estimated"},
        {"dark_frames", {double(s.dark.frames)}, "", true},
    };
}

std::vector<Hdf5Attribute> StabilityAttributes(const StabilityResult& s) {
    std::vector<Hdf5Attribute> a = {
        {"stability_frames", {double(s.frames)}, "", true},
        {"stability_seconds", {s.seconds}, ""},
        {"stability_rate_hz", {s.rateHz}, ""},
        {"stability_mean", Pair(s.mean.x, s.mean.y), ""},
        {"stability_std", Pair(s.std.x, s.std.y), ""},
        {"stability_delta", Pair(s.delta.x, s.delta.y), ""},
        {"stability_azimuth", {s.delta.azimuth}, ""},
        {"stability_width_std", Pair(s.widthStd.major, s.widthStd.minor), ""},
        {"stability_intensity_rsd", {s.intensityRsd}, ""},
    };
    // The strongest jitter lines per axis: frequency (Hz) and amplitude (px) in turn.
    for (const char axis : {'x', 'y'}) {
        std::vector<double> lines;
        for (const StabilityPeak& p : s.peaks) {
            if (p.axis == axis) {
                lines.push_back(p.frequency);
                lines.push_back(p.amplitude);
            }
        }
        if (!lines.empty())
            a.push_back({std::string("stability_lines_") + axis, lines, ""});
    }
    return a;
}
