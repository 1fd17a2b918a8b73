#include "web/WebStatus.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `s`, 0 when it is not one.
size_t Utf8Length(const unsigned char* s, size_t left) {
    if (s[0] < 0x80)
        return 1;
    size_t n = 0;
    uint32_t min = 0, cp = 0;
    if ((s[0] & 0xE0) == 0xC0) {
        n = 2, min = 0x80, cp = s[0] & 0x1F;
    } else if ((s[0] & 0xF0) == 0xE0) {
        n = 3, min = 0x800, cp = s[0] & 0x0F;
    } else if ((s[0] & 0xF8) == 0xF0) {
        n = 4, min = 0x10000, cp = s[0] & 0x07;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string Number(double v) {
    if (!std::isfinite(v))
        return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string Channel(const WebStatus::Channel& c) {
    return std::to_string(c.clients);
}

// A Prometheus label value: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string PromNumber(double v) {
    if (std::isnan(v))
        return "NaN";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\', out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            const size_t n = Utf8Length(s + i, text.size() - i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
                continue;
            }
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string RenderStatusJson(const WebStatus& s) {
    std::string j = "{\"state\":" + JsonString(s.state) + ",\"frame\":" + std::to_string(s.frame) +
                    ",\"fps\":" + Number(s.fps) + ",\"width\":" + std::to_string(s.width) +
                    ",\"height\":" + std::to_string(s.height) +
                    ",\"orientation\":" + JsonString(s.orientation) +
                    ",\"scale\":" + Number(s.scale) + ",\"spot\":";
    if (s.hasSpot)
        j += "{\"x\":" + Number(s.spotX) + ",\"y\":" + Number(s.spotY) +
             ",\"sx\":" + Number(s.spotSx) + ",\"sy\":" + Number(s.spotSy) + "}";
    else
        j += "null";
    j += ",\"camera\":{\"name\":" + JsonString(s.cameraName) + ",\"id\":" + JsonString(s.cameraId) +
         ",\"device\":" + JsonString(s.device) + "}";
    j += ",\"clients\":{\"lossless\":" + Channel(s.lossless) + ",\"lossy\":" + Channel(s.lossy) +
         ",\"web\":" + Channel(s.web) + ",\"zeft\":" + std::to_string(s.zeftClients) + "}";
    j += ",\"health\":{";
    for (size_t i = 0; i < s.health.size(); ++i)
        j += (i ? "," : "") + JsonString(s.health[i].first) + ":" +
             std::to_string(s.health[i].second);
    return j + "},\"beam\":" + (s.beam.empty() ? "null" : s.beam) + "}";
}

std::string RenderMetrics(const WebStatus& s, const std::string& version) {
    std::string m;
    auto family = [&](const char* name, const char* type, const char* help) {
        m += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto sample = [&](const char* name, const std::string& labels, const std::string& value) {
        m += name;
        if (!labels.empty())
            m += "{" + labels + "}";
        m += " " + value + "\n";
    };
    auto one = [&](const char* name, const char* type, const char* help, double value) {
        family(name, type, help);
        sample(name, "", PromNumber(value));
    };
    auto counter = [&](const char* name, const char* help, uint64_t value) {
        family(name, "counter", help);
        sample(name, "", std::to_string(value));
    };
    counter("lumerix2_frames_processed_total", "Frames handed to the lossless channel.",
            s.processed);
    counter("lumerix2_capture_drops_total", "Frames discarded or damaged before processing.",
            s.captureDrops);
    counter("lumerix2_camera_lost_total", "Times the camera went away while grabbing.",
            s.cameraLosses);
    counter("lumerix2_camera_stalled_total",
            "Times the camera sent no frame for StallSeconds while grabbing.", s.cameraStalls);
    one("lumerix2_grabbing", "gauge", "1 while grabbing, else 0.", s.state == "grabbing");
    one("lumerix2_frame_rate_hz", "gauge", "Frame rate of the newest frame.", s.fps);
    const double nan = std::nan("");
    one("lumerix2_spot_x_pixels", "gauge", "Spot centre x of the newest frame.",
        s.hasSpot ? s.spotX : nan);
    one("lumerix2_spot_y_pixels", "gauge", "Spot centre y of the newest frame.",
        s.hasSpot ? s.spotY : nan);
    one("lumerix2_spot_sigma_x_pixels", "gauge", "Spot rms width in x of the newest frame.",
        s.hasSpot ? s.spotSx : nan);
    one("lumerix2_spot_sigma_y_pixels", "gauge", "Spot rms width in y of the newest frame.",
        s.hasSpot ? s.spotSy : nan);
    const std::pair<const char*, const WebStatus::Channel*> channels[] = {
        {"lossless", &s.lossless}, {"lossy", &s.lossy}, {"web", &s.web}};
    family("lumerix2_clients", "gauge", "Clients connected now, by channel.");
    for (const auto& [name, c] : channels)
        sample("lumerix2_clients", std::string("channel=\"") + name + "\"",
               std::to_string(c->clients));
    sample("lumerix2_clients", "channel=\"zeft\"", std::to_string(s.zeftClients));
    family("lumerix2_sent_total", "counter", "Frames sent to clients, by channel.");
    for (const auto& [name, c] : channels)
        sample("lumerix2_sent_total", std::string("channel=\"") + name + "\"",
               std::to_string(c->sent));
    family("lumerix2_dropped_total", "counter", "Frames a slow client skipped, by channel.");
    for (const auto& [name, c] : channels)
        sample("lumerix2_dropped_total", std::string("channel=\"") + name + "\"",
               std::to_string(c->dropped));
    counter("lumerix2_zeft_calls_total", "Control-system calls and monitor requests.", s.zeftCalls);
    counter("lumerix2_zeft_refused_total", "Control-system calls refused.", s.zeftRefused);
    counter("lumerix2_access_refused_total",
            "Frame-channel connections refused: the host is not in ViewHosts.", s.accessRefused);
    family("lumerix2_info", "gauge", "The camera and the program version.");
    sample("lumerix2_info",
           "camera=\"" + LabelValue(s.cameraName) + "\",id=\"" + LabelValue(s.cameraId) +
               "\",version=\"" + LabelValue(version) + "\"",
           "1");
    return m;
}
