// lumerix2-control-bench [--seconds N]
// The real program in a temporary program directory, grabbing the synthetic camera at 25
// frames/s with ten lossless clients: the latency of property reads (median, p99), and ten
// FRAME.GET subscribers counting the frames they miss.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/FrameHeader.h"
#include "net/FrameClient.h"
#include "tools/support/Launch.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    if (argc == 3 && std::string(argv[1]) == "--seconds")
        seconds = std::max(1.0, std::atof(argv[2]));
    char dirTemplate[] = "/tmp/lumerix2-control-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string exe = dir + "/lumerix2";
    if (::symlink(LUMERIX2_EXE, exe.c_str()) != 0)
        return 1;
    const uint16_t lossless = FreePort(), lossy = FreePort();
    const int offset = 29;
    WriteText(dir + "/Lumerix2.cfg",
              "[DEFAULT]\nLISTENPORTNUMBER=" + std::to_string(lossless) +
                  "\nLISTENPORTNUMBERLOSSY=" + std::to_string(lossy) +
                  "\nLOSSYENABLED=0\nZEFTFRAMEEQPNAME=BENCHF\nZEFTCONTROLEQPNAME=BENCH\n"
                  "ZEFTPORTNUMBER=" +
                  std::to_string(offset) + "\nZEFTCONTEXT=BENCH\n[HTTP]\nEnabled=0\n");
    WriteText(dir + "/curhardware.cfg",
              "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=4\n");
    const pid_t server = Spawn(exe, {"/a"});
    std::this_thread::sleep_for(std::chrono::seconds(4));  // bring-up and the 2 s start delay

    const std::string port = std::to_string(kZeftBasePort + offset);
    const std::string control = "/BENCH/127.0.0.1:" + port + "/LUMERIX";
    const std::string frames = "/BENCH/127.0.0.1:" + port + "/device_0";

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::atomic<uint64_t> streamed{0};
    for (int i = 0; i < 10; ++i) {
        threads.emplace_back([&] {
            CFrameClient c;
            std::string error;
            if (!c.Connect("127.0.0.1", lossless, error))
                return;
            c.SetReceiveTimeout(2000);
            FrameMessage m;
            while (!stop && c.ReadMessage(m, error) == kReadMessage)
                streamed++;
        });
    }
    std::atomic<uint64_t> delivered{0}, missed{0};
    for (int i = 0; i < 10; ++i) {
        threads.emplace_back([&] {
            CZeftMonitor monitor;
            ZeftRequest request{kZeftFormatByte, 1, {0}};
            if (monitor.Open(frames.c_str(), "FRAME.GET", request, kZeftRead, 0, 5000) != 0)
                return;
            uint32_t last = 0;
            ZeftWireReply r;
            while (!stop) {
                if (monitor.Next(500, &r) != 0 || r.status != 0 || r.data.size() < 88)
                    continue;
                const uint32_t n = ReadHeader<FrameHeader>(r.data.data()).frameNumber;
                if (last != 0 && n > last + 1)
                    missed += n - last - 1;
                last = n;
                delivered++;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::vector<double> latencies;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int failures = 0;
    while (Clock::now() < end) {
        ZeftWireReply r;
        const auto t0 = Clock::now();
        const int16_t rc = ZeftCall(control.c_str(), "C_WIDTH", {}, kZeftRead, 2000, &r);
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        failures += rc != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    Terminate(server, std::chrono::seconds(60));
    std::system(("rm -rf " + dir).c_str());

    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) { return latencies[size_t(p * double(latencies.size() - 1))]; };
    std::printf(
        "%zu C_WIDTH reads while grabbing at 25 frames/s with 10 lossless clients: "
        "median %.3f ms, p99 %.3f ms, max %.3f ms, %d failed\n",
        latencies.size(), pct(0.5), pct(0.99), latencies.back(), failures);
    std::printf(
        "10 FRAME.GET subscribers: %llu frames delivered, %llu missed; lossless clients "
        "read %llu messages\n",
        (unsigned long long)delivered.load(), (unsigned long long)missed.load(),
        (unsigned long long)streamed.load());
    return 0;
}
