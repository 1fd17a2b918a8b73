// lumerix2-soak --minutes N [--starve CPU] [--exe PATH] [--selvex PATH]
// Runs the real program on the synthetic camera for N minutes under steady readers and a
// mix of hostile and careless peers, samples its memory, threads and descriptors every
// minute, and fails when it leaks, stalls, slows its readers or does not end cleanly.
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/Version.h"
#include "net/FrameClient.h"
#include "tools/soak/Soak.h"
#include "zeft/Zeft.h"

namespace {

using namespace soak;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
}

constexpr int kReadersPerChannel = 3;
constexpr int kIdlersPerChannel = 2;
constexpr auto kWarmUp = 20s;
constexpr auto kQuietBeforeSample = 11s;
constexpr char kCamId[] = "0x0A";
constexpr char kHardware[] =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=0\n";

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return bool(out);
}

std::string SelfDir() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

struct Options {
    double minutes = 0;
    int starveCpu = -1;  // the core the server shares with a busy loop, or -1
    std::string exe, selvex;
};

const char kUsage[] =
    "usage: lumerix2-soak --minutes N [--starve CPU] [--exe PATH] [--selvex PATH]\n"
    "       lumerix2-soak --help | --version\n"
    "Runs the server for N minutes under readers and hostile peers, then checks it.\n"
    "--starve pins the server and a busy loop to core CPU, leaving it half of one core.\n";

// The first program of `candidates` that exists, else the last one (named in the failure).
std::string FirstExisting(std::initializer_list<std::string> candidates) {
    for (const std::string& c : candidates)
        if (std::filesystem::exists(c))
            return c;
    return *(candidates.end() - 1);
}

constexpr int kRun = -1;

// kRun, or the exit status: 0 after --help or --version, 2 for a bad command line.
int ParseOptions(int argc, char** argv, Options& o) {
    const std::string self = SelfDir();
    // An installed tool finds the programs beside it; the build's tool those of the build;
    // a copied build those of its bin/ folder.
    o.exe = FirstExisting({self + "/lumerix2", LUMERIX2_EXE, self + "/../../bin/lumerix2"});
    o.selvex = FirstExisting({self + "/selvex-sim", SELVEX_EXE, self + "/../../bin/selvex-sim"});
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = i + 1 < argc;
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("lumerix2-soak %s\n", kLumerixVersion);
            return 0;
        } else if (a == "--minutes" && valued) {
            o.minutes = std::atof(argv[++i]);
        } else if (a == "--starve" && valued) {
            char* end = nullptr;
            o.starveCpu = int(std::strtol(argv[++i], &end, 10));
            cpu_set_t allowed;
            if (*end != '\0' || end == argv[i] || o.starveCpu < 0 || o.starveCpu >= CPU_SETSIZE ||
                ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
                !CPU_ISSET(o.starveCpu, &allowed)) {
                std::fprintf(stderr, "lumerix2-soak: no core %s to run on\n", argv[i]);
                return 2;
            }
        } else if (a == "--exe" && valued) {
            o.exe = argv[++i];
        } else if (a == "--selvex" && valued) {
            o.selvex = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (o.minutes > 0 && o.minutes <= 24 * 60)
        return kRun;
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int status = ParseOptions(argc, argv, opt); status != kRun)
        return status;
    ::signal(SIGPIPE, SIG_IGN);
    // An interrupted run still stops the server and removes its directory.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    char dirTemplate[] = "/tmp/lumerix2-soak-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr)
        return 1;
    const std::string dir = dirTemplate;
    const std::string exe = dir + "/lumerix2";
    Shared s;
    s.lossless = FreePort();
    s.lossy = FreePort();
    int offset = -1;
    for (int k = 30; k >= 0 && offset < 0; --k)
        offset = PortFree(static_cast<uint16_t>(kZeftBasePort + k)) ? k : -1;
    Selvex selvex;
    selvex.exe = opt.selvex;
    selvex.dir = dir + "/hw";
    selvex.port = FreePort();
    std::filesystem::create_directory(selvex.dir);
    const bool ready =
        offset >= 0 && ::symlink(opt.exe.c_str(), exe.c_str()) == 0 &&
        WriteText(dir + "/Lumerix2.cfg",
                  "[DEFAULT]\nMAXCLIENTS=255\nLISTENPORTNUMBER=" + std::to_string(s.lossless) +
                      "\nMAXCLIENTSLOSSY=255\nLISTENPORTNUMBERLOSSY=" + std::to_string(s.lossy) +
                      "\nLOSSYENABLED=1\nJPEGQuality=60\nZEFTFRAMEEQPNAME=SOAKF\n"
                      "ZEFTCONTROLEQPNAME=SOAK\nZEFTPORTNUMBER=" +
                      std::to_string(offset) + "\nZEFTCONTEXT=" + kContext +
                      "\n[CameraSettings]\nCAMID=" + kCamId + "\n[SELVEX]\nContext=" +
                      kSelvexContext + "\nServerName=SELVEX\nMandatorySELVEX=0\n") &&
        WriteText(dir + "/curhardware.cfg", kHardware) &&
        WriteText(selvex.dir + "/" + kCamId + ".cfg", kHardware) &&
        WriteText(dir + "/zeftnames.cfg", std::string("[") + kSelvexContext +
                                              "]\nSELVEX=127.0.0.1:" + std::to_string(selvex.port) +
                                              "\n");
    if (!ready) {
        std::fprintf(stderr, "lumerix2-soak: cannot prepare %s (ZEFT offset %d)\n", dir.c_str(),
                     offset);
        std::filesystem::remove_all(dir);
        return 1;
    }
    s.zeftPort = static_cast<uint16_t>(kZeftBasePort + offset);
    const std::string zeft =
        "/" + std::string(kContext) + "/127.0.0.1:" + std::to_string(s.zeftPort);
    s.control = zeft + "/LUMERIX";
    s.frames = zeft + "/device_0";
    std::printf("lumerix2-soak: %s, %g min; lossless %u, lossy %u, ZEFT %u, SELVEX %u\n",
                opt.exe.c_str(), opt.minutes, s.lossless, s.lossy, s.zeftPort, selvex.port);
    const pid_t spinner = opt.starveCpu >= 0 ? StartSpinner(opt.starveCpu) : -1;
    if (opt.starveCpu >= 0)
        std::printf("starved: the server shares core %d with a busy loop (pid %d)\n", opt.starveCpu,
                    int(spinner));

    selvex.Start();
    SpawnOptions serverOptions;
    serverOptions.output = dir + "/stderr.txt";
    serverOptions.cpu = opt.starveCpu;
    serverOptions.dieWithParent = true;
    const pid_t server = Spawn(exe, {"/a"}, serverOptions);
    std::vector<std::string> failed;
    auto check = [&](bool ok, const std::string& name, const std::string& detail) {
        std::printf("%s %s: %s\n", ok ? "PASS" : "FAIL", name.c_str(), detail.c_str());
        if (!ok)
            failed.push_back(name);
    };

    // Up once it answers and a frame arrives.
    bool up = false;
    for (int i = 0; i < 300 && !up && Alive(server); ++i) {
        std::this_thread::sleep_for(100ms);
        uint32_t width = 0;
        if (Call(s, "C_WIDTH", kZeftRead, {}, &width) != 0)
            continue;
        CFrameClient c;
        std::string error;
        FrameMessage m;
        if (c.Connect("127.0.0.1", s.lossless, error)) {
            c.SetReceiveTimeout(3000);
            up = c.ReadMessage(m, error) == kReadMessage;
        }
    }
    if (!up) {
        check(false, "start", "no frames or no ZEFT answer within 30 s");
        Terminate(server, 0ms);
        selvex.Stop();
        StopSpinner(spinner);
        std::filesystem::remove_all(dir);
        return 1;
    }
    s.outcomes.clear();

    std::atomic<double> windowStart{0};
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < 2 * kReadersPerChannel; ++i) {
        auto r = std::make_unique<Reader>();
        const bool lossy = i >= kReadersPerChannel;
        r->channel = lossy ? "lossy" : "lossless";
        r->port = lossy ? s.lossy : s.lossless;
        readers.push_back(std::move(r));
    }
    std::vector<CFrameClient> idlers(2 * kIdlersPerChannel);
    int idlersConnected = 0;
    for (size_t i = 0; i < idlers.size(); ++i) {
        std::string error;
        idlersConnected += idlers[i].Connect("127.0.0.1", i % 2 ? s.lossy : s.lossless, error);
    }
    MonitorCounts monitor;
    std::vector<std::thread> threads;
    for (auto& r : readers)
        threads.emplace_back([&, rp = r.get()] { ReadAll(s, *rp, windowStart); });
    threads.emplace_back([&] { FrameMonitor(s, monitor); });
    // These park while samples are taken.
    std::vector<std::function<void()>> parking = {
        [&] { Storms(s); },
        [&] { Malformed(s); },
        [&] { NonReaders(s); },
        [&] { Control(s, selvex.up); },
        [&] { SelvexCycle(s, selvex); },
    };
    for (auto& f : parking)
        threads.emplace_back(f);

    const std::map<unsigned, std::string> portNames = {{s.lossless, "lossless"},
                                                       {s.lossy, "lossy"},
                                                       {s.zeftPort, "zeft"},
                                                       {selvex.port, "selvex"}};
    auto sample = [&](const char* label) {
        s.pause = true;
        for (int i = 0; i < 400 && s.parked < int(parking.size()); ++i)
            std::this_thread::sleep_for(100ms);
        const bool quiet = s.parked == int(parking.size());
        // The server notices the closed connections, and its frame pool gives back what the
        // last burst left idle (two of its idle windows), so that every sample sees the floor.
        std::this_thread::sleep_for(kQuietBeforeSample);
        Sample x = Measure(server, s.Now(), portNames);
        s.pause = false;
        std::printf("%-9s t=%6.1f s  RSS %6ld kB  threads %3ld  fds %4ld%s\n", label, x.at, x.rssKb,
                    x.threads, x.fds, quiet ? "" : "  (not quiet)");
        return x;
    };

    for (auto warm = Clock::now() + kWarmUp; Clock::now() < warm && !g_interrupted;)
        std::this_thread::sleep_for(100ms);
    std::vector<Sample> samples{sample("start")};
    windowStart = s.Now();
    const int minutes = std::max(1, int(opt.minutes + 0.999));
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(opt.minutes * 60));
    const auto t0 = Clock::now();
    for (int m = 1; m <= minutes && Alive(server) && !g_interrupted; ++m) {
        // A sample takes a few seconds; it ends near the minute.
        const auto next = std::min(end, t0 + std::chrono::minutes(m)) - kQuietBeforeSample - 1s;
        while (Clock::now() < next && Alive(server) && !g_interrupted)
            std::this_thread::sleep_for(200ms);
        samples.push_back(sample(("minute " + std::to_string(m)).c_str()));
    }
    const double windowEnd = s.Now();
    s.stop = true;
    for (auto& t : threads)
        t.join();
    selvex.Stop();
    StopSpinner(spinner);

    // Results.
    std::printf("\nZEFT outcomes:\n");
    for (const auto& [what, n] : s.outcomes)
        std::printf("  %-48s %llu\n", what.c_str(), (unsigned long long)n);
    double excluded = 0;
    for (auto [a, b] : s.stopped)
        excluded += std::max(0.0, std::min(b, windowEnd) - std::max(a, windowStart.load()));
    const double measured = windowEnd - windowStart - excluded;
    std::printf(
        "\nmeasured %.1f s (%.1f s with grabbing stopped by the tool excluded, %zu stops)\n",
        measured, excluded, s.stopped.size());
    std::printf("SELVEX started %d times, %d unclean exits; non-reading frame clients held: %d\n",
                selvex.starts, selvex.failures, idlersConnected);
    std::printf("FRAME.GET monitor: %llu delivered, %llu missed, %llu refusals, %llu reopened\n",
                (unsigned long long)monitor.delivered, (unsigned long long)monitor.missed,
                (unsigned long long)monitor.refused, (unsigned long long)monitor.reopened);
    bool rateOk = true, orderOk = true;
    for (size_t i = 0; i < readers.size(); ++i) {
        const Reader& r = *readers[i];
        const double rate = measured >= 1 ? double(r.frames) / measured : 0;
        std::printf(
            "reader %zu (%s): %llu frames in window, %llu in all, %.2f frames/s, "
            "%llu reconnects, %llu restarts of the count, %llu out of order\n",
            i, r.channel, (unsigned long long)r.frames, (unsigned long long)r.total, rate,
            (unsigned long long)r.reconnects, (unsigned long long)r.renumbered,
            (unsigned long long)r.backwards);
        rateOk = rateOk && rate >= 0.9 * kFrameRate;
        orderOk = orderOk && r.backwards == 0 && r.renumbered <= uint64_t(s.grabStarts.load());
    }
    std::printf("\n");

    const bool alive = Alive(server);
    uint32_t width = 0;
    const int16_t widthRc = alive ? Call(s, "C_WIDTH", kZeftRead, {}, &width) : -1;
    check(alive && widthRc == 0 && width == 768, "alive",
          alive ? "final C_WIDTH " + StatusText(widthRc) + ", " + std::to_string(width)
                : "the server died");
    const Sample& first = samples.size() > 1 ? samples[1] : samples[0];
    const Sample& last = samples.back();
    std::printf("RSS MB by minute:");
    for (size_t i = 1; i < samples.size(); ++i)
        std::printf(" %.1f", double(samples[i].rssKb) / 1024);
    std::printf("\n");
    // The heap rises in steps to plateaus and may fall back, so two samples say little. A
    // leak is a trend: the slope over the second half of the run, where the warm-up's steps
    // are behind. Held over the run's length it must add under 5 %.
    const Trend trend = SecondHalfTrend(samples);
    const double runMinutes = std::max(1.0, (last.at - samples[0].at) / 60);
    const double bound = 0.05 * double(first.rssKb) / 1024 / runMinutes;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%+.3f MB/min over the last %zu samples (from %.0f s), bound %.3f; "
                  "first minute %.1f MB, peak %.1f, last %.1f",
                  trend.mbPerMinute, trend.points, trend.fromS, bound, double(first.rssKb) / 1024,
                  double(trend.peakKb) / 1024, double(last.rssKb) / 1024);
    if (trend.points < 2)
        check(true, "rss", "too short a run for a trend");
    else
        check(trend.mbPerMinute < bound, "rss", text);
    bool threadsFlat = true, fdsFlat = true;
    for (size_t i = 1; i < samples.size(); ++i) {
        threadsFlat = threadsFlat && samples[i].threads == first.threads;
        fdsFlat = fdsFlat && samples[i].fds == first.fds;
        if (i > 1 && samples[i].fds != first.fds) {
            std::printf("descriptors at %.0f s against the first minute:\n", samples[i].at);
            std::map<std::string, int> diff = samples[i].kinds;
            for (const auto& [kind, n] : first.kinds)
                diff[kind] -= n;
            for (const auto& [kind, n] : diff)
                if (n != 0)
                    std::printf("  %+d %s\n", n, kind.c_str());
        }
    }
    check(
        threadsFlat, "threads",
        "first minute " + std::to_string(first.threads) + ", last " + std::to_string(last.threads));
    check(fdsFlat, "fds",
          "first minute " + std::to_string(first.fds) + ", last " + std::to_string(last.fds));
    check(rateOk, "frame rate", "every reader at >= 90 % of 25 frames/s");
    check(orderOk, "frame order",
          "frame numbers increase on every connection, from 1 again only after one of the " +
              std::to_string(s.grabStarts) + " grab restarts asked by the tool");
    uint64_t controlFailures = 0;
    for (const auto& [what, n] : s.outcomes) {
        const bool control = what.rfind("malformed", 0) != 0 && what.rfind("non-reader", 0) != 0 &&
                             what.rfind("storm", 0) != 0;
        if (control && what.find(": ok") == std::string::npos &&
            what.find(": yes") == std::string::npos)
            controlFailures += n;
    }
    check(controlFailures == 0, "control calls",
          std::to_string(controlFailures) + " valid calls not answered with 0");

    for (auto& c : idlers)
        c.Close();
    int status = -1;
    if (Alive(server)) {
        const int exit = Terminate(server, 30s);
        status = exit < 0 ? -2 : exit;
    }
    check(!g_interrupted, "not interrupted", g_interrupted ? "SIGINT or SIGTERM" : "ran its time");
    check(status == 0, "clean exit",
          status == -2 ? "still running 30 s after SIGTERM"
                       : "exit status " + std::to_string(status));
    std::filesystem::remove_all(dir);

    if (failed.empty()) {
        std::printf("lumerix2-soak: all checks passed\n");
        return 0;
    }
    std::string names;
    for (const auto& f : failed)
        names += " " + f;
    std::printf("lumerix2-soak: FAILED:%s\n", names.c_str());
    return 1;
}
