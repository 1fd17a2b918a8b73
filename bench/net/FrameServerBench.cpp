// Fan-out of 768 x 574 frames to loopback clients that read as fast as they can.
//   BM_Channels/N: both channels, N clients on each, 25 frames/s for 4 s: a raw lossless
//     message (441,032 bytes) and a 60 kB lossy one per frame. Counters:
//       server_threads   threads the two servers run, with every client connected
//       cpu_ms_per_MB    CPU of the whole process (getrusage) per delivered megabyte
//       server_ms_per_MB the same without the reading clients' own threads
//       p50_ms, p99_ms   from the Distribute call to the client holding the whole message
//       dropped          messages the servers' drop rule removed
//   BM_DistributeFlood/N: the lossless channel alone, Distribute as fast as the main thread
//     can; counters give what the clients could take (the limit of this machine).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "base/MessageQueue.h"
#include "frame/FrameHeader.h"
#include "net/FrameServer.h"
#include "net/TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWidth = 768, kHeight = 574;
constexpr uint32_t kLossyData = 60'000;
constexpr int kReaderThreads = 2;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

int64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int CountThreads() {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// A message of the given body size; the first 8 body bytes carry the send time.
std::vector<uint8_t> MakeMessage(uint32_t dataLength, bool lossy) {
    std::vector<uint8_t> m(kFrameHeaderSize + dataLength, 0x40);
    if (lossy) {
        JpegFrameHeader h;
        h.totalLength = static_cast<uint32_t>(m.size());
        h.dataLength = dataLength;
        h.width = kWidth;
        h.height = kHeight;
        WriteHeader(m.data(), h);
    } else {
        FrameHeader h;
        h.totalLength = static_cast<uint32_t>(m.size());
        h.dataLength = dataLength;
        h.width = kWidth;
        h.height = kHeight;
        WriteHeader(m.data(), h);
    }
    return m;
}

void Stamp(std::vector<uint8_t>& m) {
    int64_t now = NowNs();
    std::memcpy(m.data() + kFrameHeaderSize, &now, sizeof now);
}

// One loopback client: splits the stream into messages and notes each one's latency.
struct Client {
    CTcpSocket socket;
    uint8_t header[kFrameHeaderSize];
    uint32_t headerGot = 0;
    uint64_t bodyGot = 0;
    uint64_t bodyLength = 0;
    uint8_t stamp[8];
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> bytes{0};

    void Consume(const uint8_t* p, size_t n, std::vector<int64_t>& latencies) {
        bytes.fetch_add(n, std::memory_order_relaxed);
        while (n > 0) {
            if (headerGot < kFrameHeaderSize) {
                size_t k = std::min<size_t>(kFrameHeaderSize - headerGot, n);
                std::memcpy(header + headerGot, p, k);
                headerGot += static_cast<uint32_t>(k);
                p += k;
                n -= k;
                if (headerGot == kFrameHeaderSize) {
                    bodyGot = 0;
                    bodyLength = ReadHeader<FrameHeader>(header).totalLength - kFrameHeaderSize;
                }
                continue;
            }
            size_t k = std::min<uint64_t>(bodyLength - bodyGot, n);
            for (size_t i = 0; i < k && bodyGot + i < sizeof stamp; ++i)
                stamp[bodyGot + i] = p[i];
            bodyGot += k;
            p += k;
            n -= k;
            if (bodyGot == bodyLength) {
                int64_t sent;
                std::memcpy(&sent, stamp, sizeof sent);
                latencies.push_back(NowNs() - sent);
                headerGot = 0;
                messages.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
};

// N clients on each of the given servers, read by a few epoll threads.
class Rig {
  public:
    Rig(CMessageQueue& queue, int n, std::vector<CFrameServerBase*> servers)
        : queue_(queue), servers_(std::move(servers)) {
        for (CFrameServerBase* s : servers_) {
            s->Start(0, 1000, "127.0.0.1");
            for (int i = 0; i < n; ++i) {
                auto c = std::make_unique<Client>();
                c->socket.Connect("127.0.0.1", s->GetPort());
                fcntl(c->socket.GetHandle(), F_SETFL, O_NONBLOCK);
                clients_.push_back(std::move(c));
            }
        }
        auto end = Clock::now() + std::chrono::seconds(30);
        auto all = [&] {
            for (CFrameServerBase* s : servers_)
                if (static_cast<int>(s->GetSessionStats().size()) < n)
                    return false;
            return true;
        };
        while (!all() && Clock::now() < end)
            queue_.WaitAndPump({}, std::chrono::milliseconds(10));
        for (int t = 0; t < kReaderThreads; ++t)
            readers_.push_back(std::make_unique<Reader>());
        for (int t = 0; t < kReaderThreads; ++t)
            readers_[t]->thread = std::thread(&Rig::Read, this, t);
    }

    ~Rig() {
        StopReaders();
        for (CFrameServerBase* s : servers_)
            s->Stop();
    }

    void Pump() { queue_.Pump({}); }

    uint64_t TotalMessages() const {
        uint64_t m = 0;
        for (const auto& c : clients_)
            m += c->messages;
        return m;
    }
    uint64_t TotalBytes() const {
        uint64_t b = 0;
        for (const auto& c : clients_)
            b += c->bytes;
        return b;
    }
    uint64_t Dropped() const {
        uint64_t d = 0;
        for (CFrameServerBase* s : servers_)
            for (const auto& st : s->GetSessionStats())
                d += st.dropped;
        return d;
    }
    int64_t ReaderCpuNs() const {
        int64_t ns = 0;
        for (const auto& r : readers_)
            ns += r->cpuNs.load();
        return ns;
    }
    int Count() const { return static_cast<int>(clients_.size()); }

    // Waits until nothing has arrived for 200 ms (at most 5 s).
    void Settle() {
        auto end = Clock::now() + std::chrono::seconds(5);
        uint64_t last = TotalBytes();
        while (Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            Pump();
            uint64_t now = TotalBytes();
            if (now == last)
                break;
            last = now;
        }
    }

    // Stops the readers and hands back every latency they noted.
    std::vector<int64_t> StopReaders() {
        std::vector<int64_t> all;
        stop_ = true;
        for (auto& r : readers_) {
            if (r->thread.joinable())
                r->thread.join();
            all.insert(all.end(), r->latencies.begin(), r->latencies.end());
        }
        return all;
    }

  private:
    struct Reader {
        std::thread thread;
        std::vector<int64_t> latencies;  // the reader's own until joined
        std::atomic<int64_t> cpuNs{0};
    };

    void Read(int index) {
        Reader& self = *readers_[index];
        self.latencies.reserve(1 << 20);
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
                    c->Consume(buf.data(), static_cast<size_t>(k), self.latencies);
                }
            }
            self.cpuNs.store(ThreadCpuNs());
        }
        close(ep);
    }

    CMessageQueue& queue_;
    std::vector<CFrameServerBase*> servers_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::unique_ptr<Reader>> readers_;
    std::atomic<bool> stop_{false};
};

double Percentile(std::vector<int64_t>& v, double p) {
    if (v.empty())
        return 0;
    size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]) * 1e-6;
}

void BM_Channels(benchmark::State& state) {
    const int base = CountThreads();
    CMessageQueue queue;
    CFrameServer lossless(&queue, nullptr);
    CLossyFrameServer lossy(&queue, nullptr);
    auto rig = std::make_unique<Rig>(queue, static_cast<int>(state.range(0)),
                                     std::vector<CFrameServerBase*>{&lossless, &lossy});
    auto raw = MakeMessage(kWidth * kHeight, false);
    auto jpeg = MakeMessage(kLossyData, true);
    const auto period = std::chrono::microseconds(40000);  // 25 frames/s
    int threads = 0;
    double cpu0 = ProcessCpuSeconds();
    int64_t readers0 = rig->ReaderCpuNs();
    uint64_t bytes0 = rig->TotalBytes();
    auto start = Clock::now();
    uint64_t frames = 0;
    for (auto _ : state) {
        std::this_thread::sleep_until(start + frames * period);
        auto t0 = Clock::now();
        Stamp(raw);
        lossless.Distribute(raw.data(), static_cast<uint32_t>(raw.size()));
        Stamp(jpeg);
        lossy.Distribute(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (frames == 50)
            threads = CountThreads() - base - kReaderThreads;
        ++frames;
        rig->Pump();
    }
    rig->Settle();
    double cpu = ProcessCpuSeconds() - cpu0;
    double readerCpu = static_cast<double>(rig->ReaderCpuNs() - readers0) * 1e-9;
    double mb = static_cast<double>(rig->TotalBytes() - bytes0) / 1e6;
    uint64_t dropped = rig->Dropped();
    auto latencies = rig->StopReaders();
    state.counters["server_threads"] = threads;
    state.counters["delivered_MB"] = mb;
    state.counters["cpu_ms_per_MB"] = cpu * 1e3 / mb;
    state.counters["server_ms_per_MB"] = (cpu - readerCpu) * 1e3 / mb;
    state.counters["p50_ms"] = Percentile(latencies, 0.50);
    state.counters["p99_ms"] = Percentile(latencies, 0.99);
    state.counters["dropped"] = static_cast<double>(dropped);
    rig.reset();
}

void BM_DistributeFlood(benchmark::State& state) {
    CMessageQueue queue;
    CFrameServer server(&queue, nullptr);
    Rig rig(queue, static_cast<int>(state.range(0)), {&server});
    auto message = MakeMessage(kWidth * kHeight, false);
    uint64_t before = rig.TotalMessages();
    auto t0 = Clock::now();
    for (auto _ : state) {
        server.Distribute(message.data(), static_cast<uint32_t>(message.size()));
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

BENCHMARK(BM_Channels)
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
