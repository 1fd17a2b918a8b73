#include "base/HostPort.h"

bool ParseHostPort(const std::string& text, std::string& host, uint16_t& port) {
    size_t colon = text.rfind(':');
    // Five digits at most, so the value cannot overflow before the range check.
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() ||
        text.size() - colon - 1 > 5)
        return false;
    unsigned value = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    host = text.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}
