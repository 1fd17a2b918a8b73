// lumerix2-soak --minutes N [--exe PATH] [--selvex PATH]
// Runs the real program on the synthetic camera for N minutes under steady readers and a
// mix of hostile and careless peers, samples its memory, threads and descriptors every
// minute, and fails when it leaks, stalls, slows its readers or does not end cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/LittleEndian.h"
#include "base/Version.h"
#include "frame/FrameHeader.h"
#include "net/FrameClient.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"
#include "zeft/ZeftProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
}

constexpr double kFrameRate = 25;
constexpr int kReadersPerChannel = 3;
constexpr int kIdlersPerChannel = 2;
constexpr int kStormConnects = 50;
constexpr auto kStormEvery = 5s;
constexpr auto kSelvexEvery = 30s;
constexpr auto kUpdateEvery = 8s;
constexpr auto kStopEvery = 45s;
constexpr auto kStoppedFor = 3s;
constexpr auto kWarmUp = 20s;
// Bound of a reader's loop: a day of frames and more.
constexpr uint64_t kMaxSteps = 100'000'000;
constexpr char kContext[] = "SOAK";
constexpr char kSelvexContext[] = "TAVO";
constexpr char kCamId[] = "0x0A";
constexpr char kHardware[] =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=0\n";

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return bool(out);
}

uint16_t FreePort() {
    CTcpSocket s;
    s.Create(0, SOCK_STREAM, "127.0.0.1");
    return s.GetLocalPort();
}

bool PortFree(uint16_t port) {
    CTcpSocket s;
    return s.Create(port, SOCK_STREAM, "127.0.0.1") == 1;
}

std::string SelfDir() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
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

std::string StatusText(int16_t rc) {
    return rc == 0 ? "ok" : std::to_string(rc);
}

ZeftRequest Int(int32_t v) {
    ZeftRequest r{kZeftFormatInt, 1, std::vector<uint8_t>(4)};
    StoreLE32(r.data.data(), static_cast<uint32_t>(v));
    return r;
}

// One property call; the status is also counted under "property: status".
int16_t Call(Shared& s, const char* property, int16_t access, const ZeftRequest& request = {},
             uint32_t* value = nullptr) {
    ZeftWireReply r;
    const int16_t rc = ZeftCall(s.control.c_str(), property, request, access, 5000, &r);
    s.Count(std::string(property) + ": " + StatusText(rc));
    if (rc == 0 && value != nullptr && r.data.size() >= 4)
        *value = LoadLE32(r.data.data());
    return rc;
}

// ---- Frame channels

struct Reader {
    const char* channel = "";
    uint16_t port = 0;
    std::atomic<uint64_t> frames{0};  // inside the measured window
    std::atomic<uint64_t> total{0};
    std::atomic<uint64_t> backwards{0};  // frame numbers not above the previous one
    std::atomic<uint64_t> reconnects{0};
    std::atomic<uint64_t> renumbered{0};  // the count starting again after a grab restart
};

void ReadAll(Shared& s, Reader& r, const std::atomic<double>& windowStart) {
    for (int attempt = 0; attempt < 100000 && !s.stop; ++attempt) {
        CFrameClient c;
        std::string error;
        if (!c.Connect("127.0.0.1", r.port, error)) {
            s.Sleep(200ms);
            continue;
        }
        if (attempt > 0)
            ++r.reconnects;
        // A message that has begun arrives whole well within this.
        c.SetReceiveTimeout(5000);
        uint32_t last = 0;
        bool first = true;
        for (uint64_t n = 0; n < kMaxSteps && !s.stop; ++n) {
            pollfd p{c.GetHandle(), POLLIN, 0};
            const int ready = ::poll(&p, 1, 500);
            if (ready == 0)
                continue;
            FrameMessage m;
            if (ready < 0 || c.ReadMessage(m, error) != kReadMessage)
                break;
            ++r.total;
            const double now = s.Now();
            if (windowStart.load() > 0 && now >= windowStart.load())
                ++r.frames;
            // Every grab start counts from 1 again.
            if (!first && m.info.frameNumber <= last)
                ++(m.info.frameNumber <= kFrameRate ? r.renumbered : r.backwards);
            first = false;
            last = m.info.frameNumber;
        }
    }
}

// Bursts of connections that are closed without reading.
void Storms(Shared& s) {
    for (int burst = 0; burst < 100000 && s.Park() && s.Sleep(kStormEvery); ++burst) {
        if (!s.Park())
            break;
        for (uint16_t port : {s.lossless, s.lossy}) {
            std::vector<std::unique_ptr<CFrameClient>> clients;
            int connected = 0;
            for (int i = 0; i < kStormConnects; ++i) {
                auto c = std::make_unique<CFrameClient>();
                std::string error;
                connected += c->Connect("127.0.0.1", port, error);
                clients.push_back(std::move(c));
            }
            clients.clear();
            s.Count("storm connects: " +
                    std::string(connected == kStormConnects ? "all" : "some refused"));
        }
    }
}

// ---- ZEFT abuse

// Waits up to `limit` for the server to close `fd`; replies are read and discarded.
bool ClosedByPeer(int fd, Clock::duration limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
    }
    return false;
}

std::vector<uint8_t> CallMessage(uint32_t id, const char* device, const char* property,
                                 const ZeftRequest& request = {}) {
    ZeftWireCall call;
    call.access = kZeftRead;
    call.requestFormat = request.format;
    call.requestCount = request.count;
    call.data = request.data;
    call.context = kContext;
    call.device = device;
    call.property = property;
    call.replyFormat = kZeftFormatByte;
    call.replyCapacity = 1u << 20;
    return ZeftEncodeCall(ZeftMsgType::Call, id, call);
}

// Raw peers that break the protocol in turn: garbage, a header of another version, a reply
// sent to the server, an announced body far beyond any request, a truncated call, and a
// call that stops half way and lingers.
void Malformed(Shared& s) {
    std::mt19937 rng(7);
    const std::vector<uint8_t> good = CallMessage(1, "LUMERIX", "C_WIDTH");
    for (int round = 0; round < 100000 && s.Park() && s.Sleep(300ms); ++round) {
        UniqueFd fd;
        const int64_t deadline = ZeftNowMs() + 2000;
        if (ZeftConnect("127.0.0.1", s.zeftPort, deadline, &fd) != kZeftOk) {
            s.Count("malformed: connect failed");
            continue;
        }
        std::vector<uint8_t> bytes;
        std::string kind;
        switch (round % 6) {
            case 0:
                kind = "garbage";
                bytes.resize(512);
                for (auto& b : bytes)
                    b = static_cast<uint8_t>(rng());
                bytes[0] = 'x';
                break;
            case 1:
                kind = "wrong version";
                bytes = good;
                bytes[4] = 99;
                break;
            case 2: {
                kind = "reply to server";
                ZeftWireReply r;
                bytes = ZeftEncodeReply(1, kZeftFlagFinal, r);
                break;
            }
            case 3: {
                kind = "huge body";
                bytes.resize(kZeftHeaderSize + 65536);
                ZeftWriteHeader(bytes.data(), {ZeftMsgType::Call, 0, 1, 0x7FFFFFF0u});
                break;
            }
            case 4:
                kind = "truncated";
                bytes.assign(good.begin(), good.begin() + long(good.size() / 2));
                break;
            default:
                kind = "half then silent";
                bytes.assign(good.begin(), good.begin() + long(good.size() / 2));
                break;
        }
        const int16_t sent = ZeftSendAll(fd.get(), bytes.data(), bytes.size(), deadline);
        std::string result;
        if (kind == "huge body") {
            ZeftWireHeader h;
            std::vector<uint8_t> body;
            ZeftWireReply r;
            if (ZeftReadMessage(fd.get(), ZeftNowMs() + 3000, 4096, &h, &body) == kZeftOk &&
                ZeftParseReply(body.data(), body.size(), &r) == kZeftOk)
                result = "answered " + std::to_string(r.status);
            else
                result = sent == kZeftOk ? "no answer" : "send failed";
        } else if (kind == "truncated") {
            result = "dropped by us";
        } else if (kind == "half then silent") {
            result = ClosedByPeer(fd.get(), 8s) ? "closed by server" : "still open after 8 s";
        } else {
            result = ClosedByPeer(fd.get(), 3s) ? "closed by server" : "still open after 3 s";
        }
        s.Count("malformed " + kind + ": " + result);
    }
}

// Peers that send valid calls, frames among them, and never read the replies.
void NonReaders(Shared& s) {
    constexpr int kConnections = 2, kCalls = 20;
    for (int round = 0; round < 100000 && s.Park(); ++round) {
        std::vector<UniqueFd> fds;
        for (int i = 0; i < kConnections; ++i) {
            UniqueFd fd;
            const int64_t deadline = ZeftNowMs() + 2000;
            if (ZeftConnect("127.0.0.1", s.zeftPort, deadline, &fd) != kZeftOk) {
                s.Count("non-reader: connect failed");
                continue;
            }
            int sent = 0;
            for (uint32_t id = 1; id <= kCalls; ++id) {
                const auto m =
                    id % 2 ? CallMessage(id, "device_0", "FRAME.GET", {kZeftFormatByte, 1, {0}})
                           : CallMessage(id, "LUMERIX", "S_SPOTDATA");
                // The server may stop reading once replies pile up; that is the point.
                sent += ZeftSendAll(fd.get(), m.data(), m.size(), ZeftNowMs() + 1000) == kZeftOk;
            }
            s.Count("non-reader: " + std::to_string(sent) + " calls sent");
            fds.push_back(std::move(fd));
        }
        for (int i = 0; i < 200 && !s.pause && !s.stop; ++i)
            std::this_thread::sleep_for(100ms);
    }
}

// ---- Control

// SIGTERM, then up to `grace` for the exit, SIGKILL after that. The wait status, or -1 when
// the process had to be killed.
int Terminate(pid_t pid, std::chrono::milliseconds grace) {
    ::kill(pid, SIGTERM);
    int raw = 0;
    for (auto end = Clock::now() + grace; Clock::now() < end; std::this_thread::sleep_for(50ms))
        if (::waitpid(pid, &raw, WNOHANG) != 0)
            return raw;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &raw, 0);
    return -1;
}

struct Selvex {
    std::string exe, dir;
    uint16_t port = 0;
    pid_t pid = -1;
    int starts = 0, failures = 0;
    std::atomic<bool> up{false};

    void Start() {
        if (pid > 0)
            return;
        // Nothing may allocate between fork and exec: other threads run.
        const std::string p = std::to_string(port);
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(exe.c_str(), exe.c_str(), "--dir", dir.c_str(), "--base-port", p.c_str(),
                    "--port-offset", "0", "--context", kSelvexContext, static_cast<char*>(nullptr));
            _exit(127);
        }
        ++starts;
        up = true;
    }
    void Stop() {
        if (pid <= 0)
            return;
        const int status = Terminate(pid, 5s);
        failures += !(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid = -1;
        up = false;
    }
};

// The multiplexer comes and goes; it is up whenever the sampler wants quiet, so that the
// program's kept connection to it is the same at every sample.
void SelvexCycle(Shared& s, Selvex& x) {
    for (int i = 0; i < 100000 && s.Park([&] { x.Start(); }); ++i) {
        if (!s.Nap(kSelvexEvery))
            continue;
        if (x.pid > 0)
            x.Stop();
        else
            x.Start();
    }
}

// Grab stop and start now and then, camera updates every few seconds, a spot read between.
void Control(Shared& s, const std::atomic<bool>& selvexUp) {
    auto update = [&] {
        if (Call(s, "S_UPDATE", kZeftWrite, Int(1)) != 0)
            return;
        ++s.grabStarts;
        uint32_t updated = 0;
        for (int i = 0; i < 100 && !s.stop && updated != 1; ++i) {
            std::this_thread::sleep_for(100ms);
            Call(s, "S_isUpdated", kZeftRead, {}, &updated);
        }
        s.Count(std::string("update confirmed: ") + (updated == 1 ? "yes" : "no"));
    };
    auto nextStop = Clock::now() + kStopEvery;
    auto nextUpdate = Clock::now() + kUpdateEvery;
    // Parks after an update that reached the multiplexer.
    auto settle = [&] {
        for (int i = 0; i < 400 && !selvexUp && !s.stop; ++i)
            std::this_thread::sleep_for(100ms);
        std::this_thread::sleep_for(500ms);
        update();
    };
    for (int i = 0; i < 1000000 && s.Park(settle); ++i) {
        if (!s.Sleep(1s))
            break;
        Call(s, "S_SPOTDATA", kZeftRead);
        if (Clock::now() >= nextUpdate) {
            update();
            nextUpdate = Clock::now() + kUpdateEvery;
        }
        if (Clock::now() >= nextStop) {
            const double from = s.Now();
            Call(s, "S_STOP", kZeftWrite, Int(1));
            std::this_thread::sleep_for(kStoppedFor);
            s.grabStarts += Call(s, "S_START", kZeftWrite, Int(1)) == 0;
            uint32_t started = 0;
            for (int k = 0; k < 100 && started != 1; ++k) {
                std::this_thread::sleep_for(100ms);
                Call(s, "S_isStarted", kZeftRead, {}, &started);
            }
            {
                std::lock_guard lock(s.mutex);
                s.stopped.emplace_back(from, s.Now());
            }
            nextStop = Clock::now() + kStopEvery;
        }
    }
}

struct MonitorCounts {
    std::atomic<uint64_t> delivered{0}, missed{0}, refused{0}, reopened{0};
};

void FrameMonitor(Shared& s, MonitorCounts& m) {
    for (int attempt = 0; attempt < 100000 && !s.stop; ++attempt) {
        CZeftMonitor monitor;
        ZeftRequest request{kZeftFormatByte, 1, {0}};
        if (monitor.Open(s.frames.c_str(), "FRAME.GET", request, kZeftRead, 0, 5000) != 0) {
            s.Sleep(500ms);
            continue;
        }
        if (attempt > 0)
            ++m.reopened;
        uint32_t last = 0;
        for (uint64_t step = 0; step < kMaxSteps && !s.stop && !monitor.Ended(); ++step) {
            ZeftWireReply r;
            const int16_t rc = monitor.Next(500, &r);
            if (rc == kZeftTimeout)
                continue;
            if (rc != kZeftOk)
                break;
            if (r.status != 0 || r.data.size() < kFrameHeaderSize) {
                ++m.refused;
                continue;
            }
            const uint32_t n = ReadHeader<FrameHeader>(r.data.data()).frameNumber;
            if (last != 0 && n > last + 1)
                m.missed += n - last - 1;
            last = n;
            ++m.delivered;
        }
    }
}

// ---- Process figures

struct Sample {
    double at = 0;
    long rssKb = -1;
    long threads = -1;
    long fds = -1;
    std::map<std::string, int> kinds;  // what the descriptors are, by kind
};

// Socket inode -> "tcp LOCAL>REMOTE STATE" with the tool's ports named.
std::map<std::string, std::string> TcpSockets(pid_t pid,
                                              const std::map<unsigned, std::string>& names) {
    std::map<std::string, std::string> out;
    auto name = [&](const std::string& address) {
        const unsigned port =
            unsigned(std::strtoul(address.substr(address.find(':') + 1).c_str(), nullptr, 16));
        auto it = names.find(port);
        return it != names.end() ? it->second : std::string("other");
    };
    for (const char* table : {"tcp", "tcp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
        std::string line;
        std::getline(in, line);
        for (int i = 0; i < 100000 && std::getline(in, line); ++i) {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            out["socket:[" + inode + "]"] =
                "tcp " + name(local) + ">" + name(remote) + " state " + state;
        }
    }
    return out;
}

Sample Measure(pid_t pid, double at, const std::map<unsigned, std::string>& names) {
    Sample out;
    out.at = at;
    const auto sockets = TcpSockets(pid, names);
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            out.rssKb = std::atol(line.c_str() + 6);
        else if (line.rfind("Threads:", 0) == 0)
            out.threads = std::atol(line.c_str() + 8);
    }
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        out.fds = 0;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            ++out.fds;
            std::error_code ec;
            std::string target = std::filesystem::read_symlink(fdDir + e->d_name, ec).string();
            auto it = sockets.find(target);
            if (it != sockets.end())
                target = it->second;
            else if (auto bracket = target.find(":[");
                     bracket != std::string::npos && target.rfind("anon_inode", 0) != 0)
                target.resize(bracket);  // pipes and other sockets: the kind, not the inode
            ++out.kinds[target];
        }
        ::closedir(d);
    }
    return out;
}

bool Alive(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

struct Options {
    double minutes = 0;
    std::string exe, selvex;
};

const char kUsage[] =
    "usage: lumerix2-soak --minutes N [--exe PATH] [--selvex PATH]\n"
    "       lumerix2-soak --help | --version\n"
    "Runs the server for N minutes under readers and hostile peers, then checks it.\n";

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

    selvex.Start();
    const pid_t server = ::fork();
    if (server == 0) {
        const int log = ::open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT, 0644);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(exe.c_str(), exe.c_str(), "/a", static_cast<char*>(nullptr));
        _exit(127);
    }
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
        ::kill(server, SIGKILL);
        ::waitpid(server, nullptr, 0);
        selvex.Stop();
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
        std::this_thread::sleep_for(3s);  // the server notices the closed connections
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
        const auto next = std::min(end, t0 + std::chrono::minutes(m)) - 5s;
        while (Clock::now() < next && Alive(server) && !g_interrupted)
            std::this_thread::sleep_for(200ms);
        samples.push_back(sample(("minute " + std::to_string(m)).c_str()));
    }
    const double windowEnd = s.Now();
    s.stop = true;
    for (auto& t : threads)
        t.join();
    selvex.Stop();

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
    // The heap breathes by a few megabytes (the pool's cached frame blocks, the allocator's
    // trimming), so single samples are compared low to low: the lower of the first two
    // minutes against the lower of the last two. A leak raises both of the last.
    auto low = [](const Sample& a, const Sample& b) { return std::min(a.rssKb, b.rssKb); };
    const size_t count = samples.size();
    const long before = count > 2 ? low(samples[1], samples[2]) : first.rssKb;
    const long after = count > 4 ? low(samples[count - 2], samples[count - 1]) : last.rssKb;
    const double growth = before > 0 ? 100.0 * double(after - before) / double(before) : 100;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%+.2f %% from the first minutes' low to the last minutes' low (%ld -> %ld kB)",
                  growth, before, after);
    check(growth < 5, "rss", text);
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
        const int raw = Terminate(server, 30s);
        status = raw < 0 ? -2 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
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
