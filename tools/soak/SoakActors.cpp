// The peers of the soak: steady readers, careless and hostile clients, the multiplexer
// coming and going, and the operator's grab stops and camera updates.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <random>

#include "base/LittleEndian.h"
#include "frame/FrameHeader.h"
#include "net/FrameClient.h"
#include "tools/soak/Soak.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftProtocol.h"

namespace soak {
namespace {

constexpr int kStormConnects = 50;
constexpr auto kStormEvery = 5s;
constexpr auto kSelvexEvery = 30s;
constexpr auto kUpdateEvery = 8s;
constexpr auto kStopEvery = 45s;
constexpr auto kStoppedFor = 3s;
// Bound of a reader's loop: a day of frames and more.
constexpr uint64_t kMaxSteps = 100'000'000;

}  // namespace

std::string StatusText(int16_t rc) {
    return rc == 0 ? "ok" : std::to_string(rc);
}

ZeftRequest Int(int32_t v) {
    ZeftRequest r{kZeftFormatInt, 1, std::vector<uint8_t>(4)};
    StoreLE32(r.data.data(), static_cast<uint32_t>(v));
    return r;
}

int16_t Call(Shared& s, const char* property, int16_t access, const ZeftRequest& request,
             uint32_t* value) {
    ZeftWireReply r;
    const int16_t rc = ZeftCall(s.control.c_str(), property, request, access, 5000, &r);
    s.Count(std::string(property) + ": " + StatusText(rc));
    if (rc == 0 && value != nullptr && r.data.size() >= 4)
        *value = LoadLE32(r.data.data());
    return rc;
}

// ---- Frame channels

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

namespace {

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

}  // namespace

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

void Selvex::Start() {
    if (pid > 0)
        return;
    SpawnOptions options;
    options.output = "/dev/null";
    options.dieWithParent = true;
    pid = Spawn(exe,
                {"--dir", dir, "--base-port", std::to_string(port), "--port-offset", "0",
                 "--context", kSelvexContext},
                options);
    ++starts;
    up = true;
}
void Selvex::Stop() {
    if (pid <= 0)
        return;
    failures += Terminate(pid, 5s) != 0;
    pid = -1;
    up = false;
}

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

}  // namespace soak
