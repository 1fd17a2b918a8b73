#pragma once

#include <string>
#include <string_view>
#include <vector>

// Where the system's log lines go. The application's message log implements it (time
// stamp, message box, log file, standard error); tests record the texts.
// Used on the main thread only.
class ILogSink {
  public:
    virtual ~ILogSink() = default;
    // `text` is the formatted text without time stamp, at most kLogTextMax characters.
    virtual void Log(std::string_view text) = 0;
};

constexpr size_t kLogTextMax = 1024;

// The one reporting call: printf-style text, cut after 1024 characters, handed to `sink`
// (nothing happens for a null sink). Main thread only: a call from another thread
// aborts in debug builds.
void LogMessage(ILogSink* sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats like LogMessage without logging; used by the sink implementations and tests.
std::string FormatLogText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True on the thread that ran the program's static initialisation (main).
bool IsMainThread();
