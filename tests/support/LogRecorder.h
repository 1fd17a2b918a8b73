#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/LogSink.h"

// Keeps every text, so a test can compare the log lines.
class CLogRecorder : public ILogSink {
  public:
    void Log(std::string_view text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};
