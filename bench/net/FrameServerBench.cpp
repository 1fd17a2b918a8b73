// Fan-out of 768 x 574 raw messages (441,032 bytes) to loopback clients that read as fast
// as they can.
//   BM_DistributePaced/N: 25 frames/s for 4 s; the time is the wall time of one Distribute
//     (it includes preemption by the send threads), distribute_cpu_us the main thread's
//     own CPU time for it; the other counters give what each client received.
//   BM_DistributeFlood/N: Distribute as fast as the main thread can; counters give what
//     the clients could take (the limit of this machine).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/MessageQueue.h"
#include "frame/BufferPool.h"
#include "frame/FrameHeader.h"
#include "net/FrameServer.h"
#include "net/TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: the main thread's own cost, whatever else runs.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

constexpr uint32_t kWidth = 768, kHeight = 574;
constexpr int kReaderThreads = 2;

std::vector<uint8_t> MakeMessage(uint32_t frame) {
    FrameHeader h;
    h.totalLength = kFrameHeaderSize + kWidth * kHeight;
    h.dataLength = kWidth * kHeight;
    h.width = kWidth;
    h.height = kHeight;
    h.frameNumber = frame;
    std::vector<uint8_t> m(h.totalLength, 0x40);
    WriteHeader(m.data(), h);
    return m;
}

// One loopback client: counts whole messages as the stream goes by.
struct Client {
    CTcpSocket socket;
    uint8_t header[kFrameHeaderSize];
    uint32_t headerGot = 0;
    uint64_t bodyLeft = 0;
    std::atomic<uint64_t> messages{0};

    void Consume(const uint8_t* p, size_t n) {
        while (n > 0) {
            if (bodyLeft > 0) {
                size_t k = std::min<uint64_t>(bodyLeft, n);
                bodyLeft -= k;
                p += k;
                n -= k;
                if (bodyLeft == 0)
                    messages.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            size_t k = std::min<size_t>(kFrameHeaderSize - headerGot, n);
            std::memcpy(header + headerGot, p, k);
            headerGot += static_cast<uint32_t>(k);
            p += k;
            n -= k;
            if (headerGot == kFrameHeaderSize) {
                headerGot = 0;
                bodyLeft = ReadHeader<FrameHeader>(header).totalLength - kFrameHeaderSize;
                if (bodyLeft == 0)
                    messages.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
};

// N clients of one server, read by a few epoll threads.
class Rig {
  public:
    explicit Rig(int n) : server_(&queue_, nullptr) {
        server_.Start(0, 1000, "127.0.0.1");
        for (int i = 0; i < n; ++i) {
            auto c = std::make_unique<Client>();
            c->socket.Connect("127.0.0.1", server_.GetPort());
            fcntl(c->socket.GetHandle(), F_SETFL, O_NONBLOCK);
            clients_.push_back(std::move(c));
        }
        auto end = Clock::now() + std::chrono::seconds(30);
        while (server_.GetClientCount() < n && Clock::now() < end)
            queue_.WaitAndPump({}, std::chrono::milliseconds(10));
        for (int t = 0; t < kReaderThreads; ++t)
            readers_.emplace_back(&Rig::Read, this, t);
    }

    ~Rig() {
        stop_ = true;
        for (auto& t : readers_)
            t.join();
        server_.Stop();
    }

    CFrameServer& Server() { return server_; }
    void Pump() { queue_.Pump({}); }

    uint64_t MinMessages() const {
        uint64_t m = UINT64_MAX;
        for (const auto& c : clients_)
            m = std::min<uint64_t>(m, c->messages);
        return clients_.empty() ? 0 : m;
    }
    uint64_t TotalMessages() const {
        uint64_t m = 0;
        for (const auto& c : clients_)
            m += c->messages;
        return m;
    }
    uint64_t Dropped() const {
        uint64_t d = 0;
        for (const auto& s : server_.GetSessionStats())
            d += s.dropped;
        return d;
    }
    int Count() const { return static_cast<int>(clients_.size()); }

  private:
    void Read(int index) {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = index; i < clients_.size(); i += kReaderThreads) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = clients_[i].get();
            epoll_ctl(ep, EPOLL_CTL_ADD, clients_[i]->socket.GetHandle(), &ev);
        }
        std::vector<uint8_t> buf(256 * 1024);
        epoll_event events[64];
        while (!stop_) {
            int n = epoll_wait(ep, events, 64, 50);
            for (int e = 0; e < n; ++e) {
                auto* c = static_cast<Client*>(events[e].data.ptr);
                for (;;) {
                    ssize_t k = recv(c->socket.GetHandle(), buf.data(), buf.size(), 0);
                    if (k <= 0)
                        break;
                    c->Consume(buf.data(), static_cast<size_t>(k));
                }
            }
        }
        close(ep);
    }

    CMessageQueue queue_;
    CFrameServer server_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::thread> readers_;
    std::atomic<bool> stop_{false};
};

void BM_DistributePaced(benchmark::State& state) {
    Rig rig(static_cast<int>(state.range(0)));
    auto message = MakeMessage(0);
    const auto period = std::chrono::microseconds(40000);  // 25 frames/s
    auto start = Clock::now();
    uint64_t frames = 0;
    double cpu = 0;
    auto pool0 = g_BufferPool.GetStats();
    for (auto _ : state) {
        std::this_thread::sleep_until(start + frames * period);
        auto t0 = Clock::now();
        double c0 = ThreadCpuSeconds();
        rig.Server().Distribute(message.data(), static_cast<uint32_t>(message.size()));
        cpu += ThreadCpuSeconds() - c0;
        auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        ++frames;
        rig.Pump();
    }
    // Let the last frames arrive, then count.
    auto end = Clock::now() + std::chrono::seconds(5);
    while (rig.MinMessages() < frames && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double seconds = static_cast<double>(frames) * 0.040;
    state.counters["distribute_cpu_us"] = cpu / static_cast<double>(frames) * 1e6;
    // Messages that needed a fresh heap block rather than a cached one.
    state.counters["pool_fresh"] = static_cast<double>(g_BufferPool.GetStats().fresh - pool0.fresh);
    state.counters["client_fps_min"] = static_cast<double>(rig.MinMessages()) / seconds;
    state.counters["client_fps_avg"] =
        static_cast<double>(rig.TotalMessages()) / rig.Count() / seconds;
    state.counters["dropped"] = static_cast<double>(rig.Dropped());
}

void BM_DistributeFlood(benchmark::State& state) {
    Rig rig(static_cast<int>(state.range(0)));
    auto message = MakeMessage(0);
    uint64_t before = rig.TotalMessages();
    auto t0 = Clock::now();
    for (auto _ : state) {
        rig.Server().Distribute(message.data(), static_cast<uint32_t>(message.size()));
        // Yield a little so the senders run; otherwise this measures only the trims.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        rig.Pump();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    double got = static_cast<double>(rig.TotalMessages() - before);
    state.counters["client_fps_avg"] = got / rig.Count() / seconds;
    state.counters["delivered_MBps"] = got * static_cast<double>(message.size()) / seconds / 1e6;
    state.counters["dropped"] = static_cast<double>(rig.Dropped());
}

}  // namespace

BENCHMARK(BM_DistributePaced)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(255)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistributeFlood)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(255)
    ->MinTime(3.0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_MAIN();
