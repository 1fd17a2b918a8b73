#include "base/LogSink.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <thread>

namespace {

const std::thread::id g_mainThread = std::this_thread::get_id();

std::string FormatV(const char* format, va_list args) {
    char buffer[kLogTextMax + 1];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0)
        return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), kLogTextMax));
}

}  // namespace

bool IsMainThread() {
    return std::this_thread::get_id() == g_mainThread;
}

std::string FormatLogText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

void LogMessage(ILogSink* sink, const char* format, ...) {
    // The log is main-thread state (message box, shared buffers); a worker must post.
    assert(IsMainThread() && "LogMessage called off the main thread");
    if (sink == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    sink->Log(text);
}
