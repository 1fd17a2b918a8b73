#include "base/WriteTrail.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

std::string EscapeForLog(std::string_view value, size_t max) {
    std::string out;
    const size_t n = std::min(value.size(), max);
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (value.size() > max)
        out += "...";
    return out;
}

int64_t CWriteTrail::NowMs() {
    using namespace std::chrono;
    // The wall clock, so that the trail's seconds are the log's seconds.
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> CWriteTrail::TakeSummaries(int64_t second) {
    std::vector<std::string> lines;
    if (second == second_)
        return lines;
    for (const auto& [peer, count] : held_)
        lines.push_back(std::to_string(count) + " more writes from " + peer + " not logged");
    held_.clear();
    second_ = second;
    lines_ = 0;
    return lines;
}

void CWriteTrail::Record(std::string_view peer, std::string_view target, std::string_view value,
                         int code, int64_t nowMs) {
    std::vector<std::string> summaries;
    std::string line;
    {
        std::lock_guard lock(mutex_);
        summaries = TakeSummaries(nowMs / 1000);
        if (lines_ < kLinesPerSecond) {
            ++lines_;
            line = "Write from " + std::string(peer) + ": " + std::string(target) + " \"" +
                   EscapeForLog(value, kValueMax) + "\", status " + std::to_string(code);
        } else {
            ++held_[std::string(peer)];
        }
    }
    for (std::string& s : summaries)
        emit_(std::move(s));
    if (!line.empty())
        emit_(std::move(line));
}

void CWriteTrail::Tick(int64_t nowMs) {
    std::vector<std::string> summaries;
    {
        std::lock_guard lock(mutex_);
        summaries = TakeSummaries(nowMs / 1000);
    }
    for (std::string& s : summaries)
        emit_(std::move(s));
}
