#pragma once
// The pieces of lumerix2-soak: the peers that keep the server busy, and the figures taken
// of its process.
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/support/Launch.h"
#include "zeft/ZeftClient.h"

namespace soak {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kFrameRate = 25;
constexpr char kContext[] = "SOAK";
constexpr char kSelvexContext[] = "TAVO";

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Everything the actors share. Actors that make transient connections park while the
// sampler wants a quiet server.
struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<bool> pause{false};
    std::atomic<int> parked{0};
    std::atomic<int> grabStarts{0};  // restarts of grabbing asked by the tool
    uint16_t lossless = 0, lossy = 0, zeftPort = 0;
    std::string control, frames;  // ZEFT addresses

    std::mutex mutex;
    std::map<std::string, uint64_t> outcomes;  // "what: result" -> count
    // Seconds (since the tool's epoch) in which the tool itself had grabbing stopped.
    std::vector<std::pair<double, double>> stopped;
    Clock::time_point epoch = Clock::now();

    void Count(const std::string& what) {
        std::lock_guard lock(mutex);
        ++outcomes[what];
    }
    double Now() const { return Seconds(Clock::now() - epoch); }
    // Sleeps up to `d` in short steps; false once the run ends.
    bool Sleep(Clock::duration d) {
        for (auto end = Clock::now() + d; Clock::now() < end && !stop;)
            std::this_thread::sleep_for(std::min<Clock::duration>(100ms, end - Clock::now()));
        return !stop;
    }
    // Sleeps up to `d`, less when the sampler wants quiet; true when the whole time passed.
    bool Nap(Clock::duration d) {
        for (auto end = Clock::now() + d; Clock::now() < end && !stop && !pause;)
            std::this_thread::sleep_for(std::min<Clock::duration>(100ms, end - Clock::now()));
        return !stop && !pause;
    }
    // Waits while the sampler wants quiet, running `onPark` first; false once the run ends.
    bool Park(const std::function<void()>& onPark = {}) {
        if (!pause)
            return !stop;
        if (onPark)
            onPark();
        ++parked;
        for (int i = 0; i < 600 && pause && !stop; ++i)
            std::this_thread::sleep_for(100ms);
        --parked;
        return !stop;
    }
};

std::string StatusText(int16_t rc);
ZeftRequest Int(int32_t v);
// One property call; the status is also counted under "property: status".
int16_t Call(Shared& s, const char* property, int16_t access, const ZeftRequest& request = {},
             uint32_t* value = nullptr);

struct Reader {
    const char* channel = "";
    uint16_t port = 0;
    std::atomic<uint64_t> frames{0};  // inside the measured window
    std::atomic<uint64_t> total{0};
    std::atomic<uint64_t> backwards{0};  // frame numbers not above the previous one
    std::atomic<uint64_t> reconnects{0};
    std::atomic<uint64_t> renumbered{0};  // the count starting again after a grab restart
};

// Readers of a frame channel until the run ends; they count only inside the window.
void ReadAll(Shared& s, Reader& r, const std::atomic<double>& windowStart);
// Bursts of connections that are closed without reading.
void Storms(Shared& s);
// Raw ZEFT peers that break the protocol in turn.
void Malformed(Shared& s);
// Peers that send valid calls, frames among them, and never read the replies.
void NonReaders(Shared& s);

struct Selvex {
    std::string exe, dir;
    uint16_t port = 0;
    pid_t pid = -1;
    int starts = 0, failures = 0;
    std::atomic<bool> up{false};

    void Start();
    void Stop();
};

// The multiplexer comes and goes; it is up whenever the sampler wants quiet.
void SelvexCycle(Shared& s, Selvex& x);
// Grab stop and start now and then, camera updates every few seconds, a spot read between.
void Control(Shared& s, const std::atomic<bool>& selvexUp);

struct MonitorCounts {
    std::atomic<uint64_t> delivered{0}, missed{0}, refused{0}, reopened{0};
};

void FrameMonitor(Shared& s, MonitorCounts& m);

// ---- Process figures

struct Sample {
    double at = 0;
    long rssKb = -1;
    long threads = -1;
    long fds = -1;
    std::map<std::string, int> kinds;  // what the descriptors are, by kind
};

Sample Measure(pid_t pid, double at, const std::map<unsigned, std::string>& names);

struct Trend {
    double mbPerMinute = 0;  // slope of RSS (median of the pairwise slopes)
    size_t points = 0;
    double fromS = 0;  // time of the first sample used
    long peakKb = 0;   // over the whole run
};
// The RSS trend of the run's second half, samples[0] being the start. At least three
// samples, all but the start in a short run.
Trend SecondHalfTrend(const std::vector<Sample>& samples);

// A child that spins on core `cpu` until StopSpinner; -1 when it could not start.
pid_t StartSpinner(int cpu);
void StopSpinner(pid_t pid);
// Binds the calling thread (and what it then forks) to core `cpu`.
bool PinTo(int cpu);

}  // namespace soak
