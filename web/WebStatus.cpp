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
    const StatusCounters& c = s.counters;
    j += ",\"clients\":{\"lossless\":" + std::to_string(c[kLosslessClients]) +
         ",\"lossy\":" + std::to_string(c[kLossyClients]) +
         ",\"web\":" + std::to_string(c[kWebClients]) +
         ",\"zeft\":" + std::to_string(s.zeftClients) + "}";
    j += ",\"health\":{" + RenderHealthJsonMembers(c);
    return j + "},\"beam\":" + (s.beam.empty() ? "null" : s.beam) + "}";
}

std::string RenderMetrics(const WebStatus& s, const std::string& version) {
    // The zeft clients are no counter of the health line, but a sample of its family.
    auto zeft = [](const char* metric, const void* arg) -> std::string {
        if (std::string(metric) != "lumerix2_clients")
            return "";
        return "lumerix2_clients{channel=\"zeft\"} " +
               std::to_string(static_cast<const WebStatus*>(arg)->zeftClients) + "\n";
    };
    std::string m = RenderStatusMetrics(s.counters, zeft, &s);
    auto family = [&](const char* name, const char* type, const char* help) {
        m += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto one = [&](const char* name, const char* help, double value) {
        family(name, "gauge", help);
        m += std::string(name) + " " + MetricNumber(value) + "\n";
    };
    one("lumerix2_grabbing", "1 while grabbing, else 0.", s.state == "grabbing");
    one("lumerix2_frame_rate_hz", "Frame rate of the newest frame.", s.fps);
    const double nan = std::nan("");
    one("lumerix2_spot_x_pixels", "Spot centre x of the newest frame.", s.hasSpot ? s.spotX : nan);
    one("lumerix2_spot_y_pixels", "Spot centre y of the newest frame.", s.hasSpot ? s.spotY : nan);
    one("lumerix2_spot_sigma_x_pixels", "Spot rms width in x of the newest frame.",
        s.hasSpot ? s.spotSx : nan);
    one("lumerix2_spot_sigma_y_pixels", "Spot rms width in y of the newest frame.",
        s.hasSpot ? s.spotSy : nan);
    m += RenderGaugeMetrics(s.gauges);
    family("lumerix2_info", "gauge", "The camera and the program version.");
    m += "lumerix2_info{camera=\"" + LabelValue(s.cameraName) + "\",id=\"" +
         LabelValue(s.cameraId) + "\",version=\"" + LabelValue(version) + "\"} 1\n";
    return m;
}
