// The lossless channel's fan-out with its tee into the control system's frame transfer, as
// the server wires them: 768 x 574 raw messages at 25 frames/s to one loopback client,
// with 0 and 10 FRAME.GET subscribers. main_cpu_us is the main thread's own CPU time per
// frame (the distribute, the tee, and the replies it builds when subscribers ask);
// process_cpu_us includes the send threads and the in-process clients.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "base/MessageQueue.h"
#include "control/FrameTransfer.h"
#include "frame/FrameHeader.h"
#include "frame/SharedMessage.h"
#include "net/FrameServer.h"
#include "net/TcpSocket.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 768, kHeight = 574;

double Seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class NullLog : public ILogSink {
  public:
    void Log(std::string_view) override {}
};

void BM_LosslessWithFrameTransfer(benchmark::State& state) {
    const int subscribers = static_cast<int>(state.range(0));
    ZeftShutdown();
    ZeftSetBasePort(0);
    RegisterFecInformation("BENCHFRAMES", "TEST", "TAVO", "bench", "TAVO", "none", "b", 0);
    const std::string address =
        "/TAVO/127.0.0.1:" + std::to_string(ZeftGetRegistration().port) + "/device_0";

    NullLog log;
    CMessageQueue queue;
    CFrameServer lossless(&queue, &log);
    CFrameTransfer transfer(&queue, &log, {});
    lossless.SetMessageSink([&](const CSharedMessageRef& m) { transfer.SendFrame(m); });
    if (!lossless.Start(0, 255, "127.0.0.1") ||
        !transfer.StartTransfer("BENCHFRAMES", kWidth * kHeight)) {
        state.SkipWithError("channel or frame transfer did not start");
        return;
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::vector<std::thread> clients;
    clients.emplace_back([&] {
        CTcpSocket s;
        if (!s.Connect("127.0.0.1", lossless.GetPort()))
            return;
        // Reads until the channel closes the connection at its stop.
        std::vector<uint8_t> buffer(1 << 20);
        while (::recv(s.GetHandle(), buffer.data(), buffer.size(), 0) > 0) {
        }
    });
    for (int i = 0; i < subscribers; ++i) {
        clients.emplace_back([&] {
            CZeftMonitor m;
            if (m.Open(address.c_str(), "FRAME.GET", {}, kZeftRead, 0, 3000) != 0)
                return;
            ZeftWireReply r;
            while (!stop) {
                if (m.Next(200, &r) == kZeftOk && r.status == 0)
                    received.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    // Let the clients connect.
    const auto joinEnd = Clock::now() + std::chrono::seconds(2);
    while (lossless.GetClientCount() < 1 && Clock::now() < joinEnd)
        queue.WaitAndPump({}, std::chrono::milliseconds(5));
    queue.WaitAndPump({}, std::chrono::milliseconds(300));

    FrameHeader h;
    h.totalLength = kFrameHeaderSize + kWidth * kHeight;
    h.dataLength = kWidth * kHeight;
    h.width = kWidth;
    h.height = kHeight;
    std::vector<uint8_t> message(h.totalLength, 0x40);

    uint64_t frames = 0;
    double mainCpu = 0, processCpu = 0;
    for (auto _ : state) {
        const auto next = Clock::now() + std::chrono::milliseconds(40);
        const double m0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
        const double p0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
        h.frameNumber = static_cast<uint32_t>(++frames);
        WriteHeader(message.data(), h);
        lossless.Distribute(message.data(), h.totalLength);
        while (Clock::now() < next)
            queue.WaitAndPump({}, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      next - Clock::now() + std::chrono::microseconds(999)));
        mainCpu += Seconds(CLOCK_THREAD_CPUTIME_ID) - m0;
        processCpu += Seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
    }
    stop = true;
    lossless.Stop();
    for (auto& t : clients)
        t.join();
    transfer.StopTransfer();
    ZeftShutdown();
    state.counters["main_cpu_us"] = mainCpu / static_cast<double>(frames) * 1e6;
    state.counters["process_cpu_us"] = processCpu / static_cast<double>(frames) * 1e6;
    state.counters["frames_per_subscriber"] =
        subscribers ? static_cast<double>(received.load()) / subscribers : 0.0;
}

}  // namespace

BENCHMARK(BM_LosslessWithFrameTransfer)
    ->Arg(0)
    ->Arg(10)
    ->Iterations(150)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
