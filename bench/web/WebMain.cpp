// lumerix2-web-bench [--seconds N]
// The real program in temporary program directories, grabbing the synthetic camera at 25
// frames/s (768 x 574): the server's CPU time per frame with 0, 1, 10 and 50 MJPEG viewers,
// then with as many Lossy channel clients instead; then the latency of /metrics and
// /api/status (median, p99) while grabbing as fast as the server takes frames. CPU time is
// the server process's own (/proc), so the clients here and other load on the machine do
// not count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/support/Launch.h"

namespace {

using Clock = std::chrono::steady_clock;

int Connect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval t{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One GET with "Connection: close"; the whole answer.
std::string Get(uint16_t port, const std::string& path) {
    const int fd = Connect(port);
    if (fd < 0)
        return {};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[65536];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            answer.append(buf, size_t(n));
    }
    ::close(fd);
    return answer;
}

uint64_t Processed(uint16_t web) {
    const std::string s = Get(web, "/api/status");
    const size_t at = s.find("\"frames_processed\":");
    return at == std::string::npos ? 0 : std::strtoull(s.c_str() + at + 19, nullptr, 10);
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

struct Server {
    pid_t pid = -1;
    std::string dir;
    uint16_t web = 0, lossy = 0;
};

Server Start(bool lossy, const char* device) {
    Server s;
    char dirTemplate[] = "/tmp/lumerix2-web-bench-XXXXXX";
    s.dir = ::mkdtemp(dirTemplate);
    s.web = FreePort();
    s.lossy = FreePort();
    const std::string exe = s.dir + "/lumerix2";
    if (::symlink(LUMERIX2_EXE, exe.c_str()) != 0)
        return s;
    std::ofstream(s.dir + "/curhardware.cfg")
        << "[GlobalSettings]\nType=DirectShow\nDevicePath=" << device << "\nDeviceVideoMode=0\n";
    std::ofstream(s.dir + "/Lumerix2.cfg")
        << "[DEFAULT]\nLISTENPORTNUMBER=" << FreePort() << "\nLISTENPORTNUMBERLOSSY=" << s.lossy
        << "\nLOSSYENABLED=" << (lossy ? 1 : 0)
        << "\nJPEGQuality=60\nZEFTFRAMEEQPNAME=WEBBENCHF\nZEFTCONTROLEQPNAME=WEBBENCH\n"
        << "ZEFTPORTNUMBER=28\nZEFTCONTEXT=BENCH\n[HTTP]\nPort=" << s.web
        << "\nBindAddress=127.0.0.1\nMaxConnectionsPerAddress=64\n";
    s.pid = Spawn(exe, {"/a"});
    std::this_thread::sleep_for(std::chrono::seconds(5));  // bring-up, the 2 s start delay
    return s;
}

void Stop(Server& s) {
    Terminate(s.pid, std::chrono::seconds(60));
    std::system(("rm -rf " + s.dir).c_str());
}

// Clients that read everything and throw it away, on one thread.
class Readers {
  public:
    explicit Readers(std::vector<int> fds) : fds_(std::move(fds)), thread_([this] { Run(); }) {}
    ~Readers() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_)
            ::close(fd);
    }

  private:
    void Run() {
        std::vector<pollfd> p;
        for (int fd : fds_)
            p.push_back({fd, POLLIN, 0});
        static char buf[1 << 16];
        while (!stop_) {
            if (::poll(p.data(), p.size(), 100) <= 0)
                continue;
            for (pollfd& x : p) {
                if (x.revents & POLLIN)
                    ::recv(x.fd, buf, sizeof buf, MSG_DONTWAIT);
            }
        }
    }
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Server CPU ms per frame over `seconds` with `n` clients of one kind.
void Measure(const Server& s, bool mjpeg, int n, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = Connect(mjpeg ? s.web : s.lossy);
        if (fd >= 0 && mjpeg) {
            const char request[] = "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n";
            ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        }
        fds.push_back(fd);
    }
    Readers readers(fds);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu0 = CpuSeconds(s.pid);
    const uint64_t frames0 = Processed(s.web);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu1 = CpuSeconds(s.pid);
    const uint64_t frames1 = Processed(s.web);
    const double frames = double(frames1 - frames0);
    std::printf("%-6s %3d clients: %6.0f frames, %6.2f ms CPU per frame (%5.1f %% of a core)\n",
                mjpeg ? "MJPEG" : "Lossy", n, frames,
                frames > 0 ? (cpu1 - cpu0) * 1000 / frames : 0.0, (cpu1 - cpu0) * 100 / seconds);
}

void Latency(const Server& s, const char* path, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const std::string answer = Get(s.web, path);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (answer.compare(0, 12, "HTTP/1.1 200") != 0)
            std::printf("%s: no answer\n", path);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-12s %d requests: median %.2f ms, p99 %.2f ms\n", path, count, ms[ms.size() / 2],
                ms[ms.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    if (argc == 3 && std::string(argv[1]) == "--seconds")
        seconds = std::max(1.0, std::atof(argv[2]));
    const char* paced = "synthetic:0?x=200&y=120&sx=9&sy=6&noise=0";
    for (bool mjpeg : {true, false}) {
        Server s = Start(!mjpeg, paced);
        for (int n : {0, 1, 10, 50})
            Measure(s, mjpeg, n, seconds);
        Stop(s);
    }
    Server fast = Start(false, "synthetic:0?x=200&y=120&sx=9&sy=6&noise=0&pace=0");
    {
        Readers viewer({Connect(fast.web)});
        Latency(fast, "/metrics", 500);
        Latency(fast, "/api/status", 500);
    }
    const double cpu0 = CpuSeconds(fast.pid);
    const uint64_t f0 = Processed(fast.web);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("unpaced: %.0f frames/s\n", double(Processed(fast.web) - f0) / 2);
    (void)cpu0;
    Stop(fast);
    return 0;
}
