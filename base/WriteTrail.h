#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The trail of every write that reaches the server (control-system writes, web POSTs):
// one line each, accepted or refused, at most kLinesPerSecond lines a second; what goes
// beyond is counted per peer and summed up once a second, so a storm cannot flood the
// log. Any thread may record; lines leave through `emit`, never under the trail's lock.
// Owned by the main controller.
class CWriteTrail {
  public:
    static constexpr int kLinesPerSecond = 20;
    static constexpr size_t kValueMax = 64;  // characters of a value that are shown

    using Emit = std::function<void(std::string line)>;
    explicit CWriteTrail(Emit sink) : emit_(std::move(sink)) {}

    // `target` is the property or path, `value` the written data as text; `code` the
    // outcome (0 accepted, else the refusal). `nowMs` as NowMs gives it (tests: any clock).
    void Record(std::string_view peer, std::string_view target, std::string_view value, int code,
                int64_t nowMs);
    // Emits the summaries of seconds that have passed; call about once a second.
    void Tick(int64_t nowMs);

    // Milliseconds since 1970.
    static int64_t NowMs();

  private:
    // Takes the summaries of a finished second; caller holds mutex_.
    std::vector<std::string> TakeSummaries(int64_t second);

    const Emit emit_;
    std::mutex mutex_;  // guards second_, lines_, held_
    int64_t second_ = -1;
    int lines_ = 0;
    std::map<std::string, uint64_t> held_;  // peer -> writes not logged this second
};

// `value` cut at `max` bytes, each byte outside printable ASCII (and '\\', '"') as \xNN,
// "..." appended when cut.
std::string EscapeForLog(std::string_view value, size_t max);
