#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

// Formats log lines with their local time stamp and appends them to "Lumerix2.log" in
// the program directory (opened and closed per line, so every line is on disk when the
// call returns) and to standard error. Main thread only.
class CMessageLog {
  public:
    // Fills `out` with the local time; false when it cannot be determined.
    using Clock = std::function<bool(std::tm* out)>;

    explicit CMessageLog(std::string programDir, Clock clock = {});

    // "dd.mm.yyyy hh:mm:ss: text", or "date unknown: text".
    std::string FormatLine(std::string_view text) const;

    // Appends one finished line; a file that cannot be opened loses the line silently.
    void AppendToLogFile(const std::string& line) const;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    Clock clock_;
};

constexpr const char* kLogFileName = "Lumerix2.log";
