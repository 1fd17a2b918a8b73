// Control-system layer over loopback: single-call round trips from one client, and a
// frame-sized monitor delivered to ten subscribers at 25 Hz (the frame-transfer case:
// 768 x 574 pixels + 88-byte header = 440,920 bytes).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/MessageQueue.h"
#include "zeft/Srv.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

constexpr uint32_t kFrameBytes = 768 * 574 + 88;

// A registered server with one control; a thread of its own plays the main thread.
class Server {
  public:
    Server() {
        ZeftShutdown();
        ZeftSetBasePort(0);
        RegisterFecInformation("BENCH", "TEST", "TAVO", "bench", "TAVO", "none", "b", 0);
        port_ = ZeftGetRegistration().port;
        srv_ = std::make_unique<CSrv>(&queue_);
        srv_->SetEquipmentName("BENCH");
        srv_->RegisterDeviceName("DEV", 0);
        srv_->AddProperty("C_WIDTH", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", 1, "w");
        srv_->AddProperty("FRAME.GET", 1, kZeftFormatByte, "", kFrameBytes, kZeftFormatByte, "", 1,
                          "read single frame");
        frame_.assign(kFrameBytes, 0x42);
        srv_->SetPropertyCallHandler(
            [this](const std::string&, const std::string& p, int32_t, int32_t, int16_t) {
                if (p == "C_WIDTH") {
                    srv_->PutReplyData(768u);
                } else {
                    uint32_t seq = sequence_.load();
                    std::memcpy(frame_.data(), &seq, sizeof seq);
                    srv_->PutReplyArray(frame_, kFrameBytes);
                }
            });
        srv_->SetEnabled(true);
    }
    ~Server() {
        srv_.reset();
        ZeftShutdown();
    }

    // Pumps the queue on this thread until `stop`, calling `tick` between pumps.
    void Pump(const std::atomic<bool>& stop, const std::function<void()>& tick = {}) {
        while (!stop) {
            queue_.WaitAndPump({}, std::chrono::milliseconds(2));
            if (tick)
                tick();
        }
    }

    std::string Address() const { return "/TAVO/127.0.0.1:" + std::to_string(port_) + "/DEV"; }

    std::atomic<uint32_t> sequence_{0};

  private:
    CMessageQueue queue_;
    std::unique_ptr<CSrv> srv_;
    std::vector<uint8_t> frame_;
    uint16_t port_ = 0;
};

void BM_SingleCallRoundTrip(benchmark::State& state) {
    Server server;
    std::atomic<bool> stop{false};
    std::thread main([&] { server.Pump(stop); });
    std::string addr = server.Address();
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    int failures = 0;
    for (auto _ : state) {
        int32_t width = 0;
        ZeftData reply{&width, kZeftFormatInt, 1, 0};
        auto t0 = std::chrono::steady_clock::now();
        if (ExecLinkEx(addr.c_str(), "C_WIDTH", &reply, nullptr, 1, 1100) != 0 || width != 768)
            ++failures;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    stop = true;
    main.join();
    std::sort(latencies.begin(), latencies.end());
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["failures"] = failures;
}
BENCHMARK(BM_SingleCallRoundTrip)->UseRealTime()->MinTime(2.0);

// Ten subscribers of one FRAME.GET contract (interval 0: served when scheduled). The main
// thread schedules a new frame every `period`, or, with period 0, as soon as every
// subscriber has the previous one. Counts frames each subscriber missed.
void MonitorFrames(benchmark::State& state, int periodMs, uint32_t frames) {
    constexpr int kSubscribers = 10;
    Server server;
    std::string addr = server.Address();
    std::atomic<uint32_t> got[kSubscribers];
    std::atomic<uint64_t> missed{0}, bad{0};
    for (auto& g : got)
        g = UINT32_MAX;
    for (auto _ : state) {
        server.sequence_ = 0;
        std::atomic<bool> stop{false};
        std::vector<std::thread> subs;
        for (int i = 0; i < kSubscribers; ++i) {
            got[i] = UINT32_MAX;
            subs.emplace_back([&, i] {
                CZeftMonitor m;
                if (m.Open(addr.c_str(), "FRAME.GET", {}, 1, 0, 3000) != 0) {
                    ++bad;
                    return;
                }
                ZeftWireReply r;
                uint32_t last = 0;
                bool first = true;
                while (!stop) {
                    int16_t rc = m.Next(200, &r);
                    if (rc == kZeftTimeout)
                        continue;
                    if (rc != 0 || r.data.size() != kFrameBytes) {
                        ++bad;
                        return;
                    }
                    uint32_t seq;
                    std::memcpy(&seq, r.data.data(), sizeof seq);
                    if (!first && seq > last + 1)
                        missed += seq - last - 1;
                    first = false;
                    last = seq;
                    got[i] = seq;
                }
            });
        }
        auto allHave = [&](uint32_t seq) {
            for (auto& g : got) {
                if (g.load() == UINT32_MAX || g.load() < seq)
                    return false;
            }
            return true;
        };
        auto start = std::chrono::steady_clock::now();
        auto next = start;
        uint32_t sent = 0;
        std::atomic<bool> done{false};
        server.Pump(done, [&] {
            if (sent == 0 && !allHave(0))
                return;  // subscribers still joining
            if (sent == frames) {
                if (allHave(frames) ||
                    std::chrono::steady_clock::now() - next > std::chrono::seconds(5))
                    done = true;
                return;
            }
            auto now = std::chrono::steady_clock::now();
            if (periodMs > 0 ? now < next : !allHave(sent))
                return;
            if (sent == 0)
                start = now;
            server.sequence_ = ++sent;
            _SystemScheduleProperty("BENCH", "FRAME.GET");
            next =
                (periodMs > 0 ? std::max(next, start) : now) + std::chrono::milliseconds(periodMs);
        });
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stop = true;
        for (auto& t : subs)
            t.join();
        state.SetIterationTime(seconds);
        state.counters["frames"] = frames;
        state.counters["frames_per_s"] = frames / seconds;
        state.counters["MB_per_s_all_subscribers"] =
            frames * double(kFrameBytes) * kSubscribers / seconds / 1e6;
    }
    state.counters["missed"] = static_cast<double>(missed.load());
    state.counters["failed_subscribers"] = static_cast<double>(bad.load());
    state.counters["dropped_by_server"] =
        static_cast<double>(ZeftGetServerStats().monitorRepliesDropped);
}

void BM_MonitorFrames25Hz(benchmark::State& state) {
    MonitorFrames(state, 40, 250);  // 10 s of frames
}
BENCHMARK(BM_MonitorFrames25Hz)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MonitorFramesAsFastAsTaken(benchmark::State& state) {
    MonitorFrames(state, 0, 500);
}
BENCHMARK(BM_MonitorFramesAsFastAsTaken)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
