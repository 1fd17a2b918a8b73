#include "core/MessageLog.h"

#include <cstdio>

#include "base/ProgramDir.h"

namespace {

bool SystemLocalTime(std::tm* out) {
    std::time_t now = std::time(nullptr);
    return now != static_cast<std::time_t>(-1) && ::localtime_r(&now, out) != nullptr;
}

}  // namespace

CMessageLog::CMessageLog(std::string programDir, Clock clock)
    : path_(JoinPath(programDir, kLogFileName)),
      clock_(clock ? std::move(clock) : SystemLocalTime) {}

std::string CMessageLog::FormatLine(std::string_view text) const {
    std::tm t{};
    std::string line;
    if (clock_(&t)) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%.2d.%.2d.%.4d %.2d:%.2d:%.2d: ", t.tm_mday,
                      t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        line = stamp;
    } else {
        line = "date unknown: ";
    }
    line.append(text);
    return line;
}

void CMessageLog::AppendToLogFile(const std::string& line) const {
    // The journal of a service manager picks this up.
    std::fprintf(stderr, "%s\n", line.c_str());
    FILE* f = std::fopen(path_.c_str(), "a");
    if (f == nullptr)
        return;
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
}
