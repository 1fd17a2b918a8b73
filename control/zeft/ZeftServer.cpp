#include "control/zeft/ZeftServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "base/UniqueFd.h"
#include "control/zeft/Srv.h"
#include "control/zeft/ZeftClient.h"
#include "control/zeft/ZeftProtocol.h"

std::atomic<int16_t> MinPollingRate{8};

namespace {

std::atomic<int16_t> g_burstLimit{500};
std::atomic<int16_t> g_cycleDelayMs{0};
std::atomic<int32_t> g_workAreaSize{1024 * 1024};

constexpr size_t kMaxContracts = 256;
constexpr size_t kReadBudget = 1024 * 1024;  // per connection and cycle, for fairness
constexpr uint32_t kMaxIntervalMs = 24u * 3600 * 1000;

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c);
    return s;
}

// Refusals that end a monitor: its request can never succeed as it stands.
bool IsFinalRefusal(int16_t status) {
    return status == kZeftIllegalProperty || status == kZeftIllegalDevice ||
           status == kZeftAccessDenied || status == kZeftRequestTooLarge ||
           status == kZeftIllegalFormat;
}

// Refusal for a call no control serves: addressed by host and port, it is the device
// that nobody serves.
int16_t MissCode(const ZeftWireCall& call) {
    return call.equipment.empty() ? kZeftIllegalDevice : kZeftIllegalEquipment;
}

using Buffer = std::shared_ptr<const std::vector<uint8_t>>;

Buffer MakeHeader(uint32_t id, uint16_t flags, size_t bodyLength) {
    auto h = std::make_shared<std::vector<uint8_t>>(kZeftHeaderSize);
    ZeftWriteHeader(h->data(), ZeftWireHeader{ZeftMsgType::Reply, flags, id,
                                              static_cast<uint32_t>(bodyLength)});
    return h;
}

}  // namespace

bool ZeftSrvCore::Post(std::function<void()> task) {
    posting.fetch_add(1);
    bool ok = false;
    if (!detached.load())
        ok = poster->PostTask(std::move(task));
    posting.fetch_sub(1);
    return ok;
}

void ZeftSrvCore::Detach() {
    detached.store(true);
    while (posting.load() != 0)
        std::this_thread::yield();
}

std::vector<uint8_t> ZeftRefusalBody(int16_t status) {
    return ZeftEncodeReplyBody(status, ZeftStatusText(status), kZeftFormatNone, 0, nullptr, 0);
}

// The process's server: one listening socket and one network thread that owns every
// connection and monitor contract. Controls, completions and schedule requests reach it
// through mutex-guarded lists and an eventfd.
class CZeftServer : public std::enable_shared_from_this<CZeftServer> {
  public:
    CZeftServer(ZeftRegistration reg, ZeftServerLimits limits)
        : reg_(std::move(reg)), limits_(limits) {}
    ~CZeftServer() { Stop(); }

    int16_t Listen(uint16_t port);
    void StartThread() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop();

    const ZeftRegistration& Registration() const { return reg_; }

    int16_t AddControl(const std::string& equipment, const std::vector<std::string>& devices,
                       const std::shared_ptr<ZeftSrvCore>& core);
    void RemoveControl(const ZeftSrvCore* core);
    void UpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices);

    void Schedule(const std::string& exportName, const std::string& property);
    void Complete(bool run, uint64_t target, uint32_t id, std::vector<uint8_t> body);

    ZeftServerStats Stats() const;

  private:
    struct Chunk {
        Buffer buf;
        size_t offset = 0;
    };
    struct Conn {
        uint64_t id = 0;
        UniqueFd fd;
        std::vector<uint8_t> in;
        uint64_t discard = 0;  // body bytes of a refused oversized request still to drop
        int64_t partialSince = 0;
        int64_t lastActivity = 0;
        std::deque<Chunk> out;
        size_t queued = 0;
        int callsPending = 0;
        std::map<uint32_t, uint64_t> monitors;  // monitor id -> contract
        bool dead = false;
    };
    struct Contract {
        uint64_t id = 0;
        ZeftWireCall call;
        std::string equipmentKey;
        std::vector<std::pair<uint64_t, uint32_t>> subs;  // connection, monitor id
        int64_t nextDue = 0;
        bool running = false;
        bool rerun = false;
        Buffer lastBody;
    };
    struct Completion {
        bool run = false;
        uint64_t target = 0;
        uint32_t id = 0;
        std::vector<uint8_t> body;
    };
    struct Control {
        std::string equipmentKey;
        std::vector<std::string> devices;
        std::shared_ptr<ZeftSrvCore> core;
    };

    void Wake();
    void Run();
    void Accept(int64_t now);
    void ReadConn(Conn& c, int64_t now);
    void ProcessInput(Conn& c, int64_t now);
    void HandleRequest(Conn& c, ZeftMsgType type, uint32_t id, const uint8_t* body, size_t len,
                       int64_t now);
    void HandleMonitor(Conn& c, uint32_t id, ZeftWireCall call, int64_t now);
    void Unsubscribe(Conn& c, uint32_t id);
    void RunContract(Contract& k, int64_t now, bool timed);
    void FinishRun(uint64_t contractId, std::vector<uint8_t> body, int64_t now);
    void Send(Conn& c, uint32_t id, uint16_t flags, const Buffer& body, bool droppable);
    void Flush(Conn& c);
    void CloseBad(Conn& c);
    // The control a call addresses, and its equipment key.
    std::shared_ptr<ZeftSrvCore> FindCore(const ZeftWireCall& call,
                                          std::string* key = nullptr) const;
    Conn* FindConn(uint64_t id);
    size_t MaxBody() const;

    ZeftRegistration reg_;  // port set by Listen, before the thread starts; then fixed
    const ZeftServerLimits limits_;
    UniqueFd listen_;
    UniqueFd wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex controlsMutex_;  // guards controls_
    std::vector<Control> controls_;

    std::mutex inboxMutex_;  // guards completions_ and schedules_
    std::vector<Completion> completions_;
    std::vector<std::pair<std::string, std::string>> schedules_;

    // Network thread only.
    std::map<uint64_t, Conn> conns_;
    std::map<uint64_t, Contract> contracts_;
    uint64_t nextConnId_ = 1;
    int64_t acceptPausedUntil_ = 0;  // out of descriptors: retry accepting later
    uint64_t nextContractId_ = 1;
    int inflight_ = 0;

    std::atomic<uint64_t> accepted_{0}, closedBad_{0}, refused_{0}, dropped_{0}, runs_{0};
    std::atomic<int> openConns_{0}, openContracts_{0};
};

int16_t CZeftServer::Listen(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return kZeftListenFailed;
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 64) != 0)
        return kZeftListenFailed;
    socklen_t len = sizeof addr;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return kZeftListenFailed;
    reg_.port = ntohs(addr.sin_port);
    wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_)
        return kZeftListenFailed;
    listen_ = std::move(fd);
    return kZeftOk;
}

void CZeftServer::Stop() {
    stop_.store(true);
    Wake();
    if (thread_.joinable())
        thread_.join();
}

void CZeftServer::Wake() {
    if (wake_) {
        uint64_t one = 1;
        ssize_t n = ::write(wake_.get(), &one, sizeof one);
        (void)n;  // a full counter already wakes the thread
    }
}

int16_t CZeftServer::AddControl(const std::string& equipment,
                                const std::vector<std::string>& devices,
                                const std::shared_ptr<ZeftSrvCore>& core) {
    std::string key = Upper(equipment);
    std::lock_guard lock(controlsMutex_);
    for (const Control& c : controls_) {
        if (c.equipmentKey == key)
            return c.core == core ? kZeftOk : kZeftEquipmentInUse;
    }
    controls_.push_back(Control{key, devices, core});
    return kZeftOk;
}

void CZeftServer::RemoveControl(const ZeftSrvCore* core) {
    std::lock_guard lock(controlsMutex_);
    std::erase_if(controls_, [&](const Control& c) { return c.core.get() == core; });
}

void CZeftServer::UpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices) {
    std::lock_guard lock(controlsMutex_);
    for (Control& c : controls_) {
        if (c.core.get() == core)
            c.devices = devices;
    }
}

std::shared_ptr<ZeftSrvCore> CZeftServer::FindCore(const ZeftWireCall& call,
                                                   std::string* foundKey) const {
    if (!call.context.empty() && Upper(call.context) != Upper(reg_.context))
        return nullptr;
    std::string key = Upper(call.equipment);
    std::lock_guard lock(controlsMutex_);
    for (const Control& c : controls_) {
        if (key.empty()
                ? std::find(c.devices.begin(), c.devices.end(), call.device) != c.devices.end()
                : c.equipmentKey == key) {
            if (foundKey)
                *foundKey = c.equipmentKey;
            return c.core;
        }
    }
    return nullptr;
}

void CZeftServer::Schedule(const std::string& exportName, const std::string& property) {
    {
        std::lock_guard lock(inboxMutex_);
        // Repeated requests for the same property before the thread wakes fold into one.
        auto entry = std::make_pair(Upper(exportName), property);
        if (std::find(schedules_.begin(), schedules_.end(), entry) == schedules_.end())
            schedules_.push_back(std::move(entry));
    }
    Wake();
}

void CZeftServer::Complete(bool run, uint64_t target, uint32_t id, std::vector<uint8_t> body) {
    {
        std::lock_guard lock(inboxMutex_);
        completions_.push_back(Completion{run, target, id, std::move(body)});
    }
    Wake();
}

ZeftServerStats CZeftServer::Stats() const {
    ZeftServerStats s;
    s.connectionsAccepted = accepted_.load();
    s.connectionsClosedBad = closedBad_.load();
    s.connectionsRefused = refused_.load();
    s.monitorRepliesDropped = dropped_.load();
    s.contractRuns = runs_.load();
    s.openConnections = openConns_.load();
    s.contracts = openContracts_.load();
    return s;
}

size_t CZeftServer::MaxBody() const {
    return kZeftCallFixedSize + 4 * (1 + kZeftMaxName) + static_cast<size_t>(g_workAreaSize.load());
}

CZeftServer::Conn* CZeftServer::FindConn(uint64_t id) {
    auto it = conns_.find(id);
    return it == conns_.end() || it->second.dead ? nullptr : &it->second;
}

void CZeftServer::Run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    while (!stop_.load()) {
        int64_t now = ZeftNowMs();
        int timeout = 250;
        for (auto& [id, k] : contracts_) {
            if (k.call.intervalMs > 0 && !k.running)
                timeout = static_cast<int>(std::clamp<int64_t>(k.nextDue - now, 0, timeout));
        }
        fds.clear();
        ids.clear();
        fds.push_back(pollfd{wake_.get(), POLLIN, 0});
        // While accepting fails for want of descriptors the listening socket stays
        // readable; leave it out for a moment instead of spinning.
        fds.push_back(pollfd{now < acceptPausedUntil_ ? -1 : listen_.get(), POLLIN, 0});
        for (auto& [id, c] : conns_) {
            short events = POLLIN;
            if (!c.out.empty())
                events |= POLLOUT;
            fds.push_back(pollfd{c.fd.get(), events, 0});
            ids.push_back(id);
        }
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR)
            break;
        now = ZeftNowMs();
        bool busy = n > 0;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t r = ::read(wake_.get(), &count, sizeof count);
            (void)r;
        }

        std::vector<Completion> done;
        std::vector<std::pair<std::string, std::string>> scheduled;
        {
            std::lock_guard lock(inboxMutex_);
            done.swap(completions_);
            scheduled.swap(schedules_);
        }
        for (Completion& d : done) {
            --inflight_;
            if (d.run) {
                FinishRun(d.target, std::move(d.body), now);
            } else if (Conn* c = FindConn(d.target)) {
                --c->callsPending;
                c->lastActivity = now;
                Send(*c, d.id, kZeftFlagFinal,
                     std::make_shared<const std::vector<uint8_t>>(std::move(d.body)), false);
            }
        }
        for (auto& [eqp, prop] : scheduled) {
            for (auto& [id, k] : contracts_) {
                if (k.equipmentKey != eqp || k.call.property != prop)
                    continue;
                if (k.running)
                    k.rerun = true;
                else
                    RunContract(k, now, false);
            }
        }

        if (fds[1].revents & POLLIN)
            Accept(now);
        for (size_t i = 2; i < fds.size(); ++i) {
            Conn* c = FindConn(ids[i - 2]);
            if (!c)
                continue;
            short re = fds[i].revents;
            if (re & POLLNVAL) {
                c->dead = true;
                continue;
            }
            if (re & (POLLIN | POLLHUP | POLLERR))
                ReadConn(*c, now);
            if (!c->dead && (re & POLLOUT))
                Flush(*c);
        }

        for (auto& [id, c] : conns_) {
            if (c.dead)
                continue;
            if (c.partialSince != 0 && now - c.partialSince > limits_.partialMessageTimeoutMs) {
                CloseBad(c);
            } else if (c.monitors.empty() && c.callsPending == 0 && c.in.empty() && c.out.empty() &&
                       now - c.lastActivity > limits_.idleTimeoutMs) {
                c.dead = true;
            }
        }

        for (auto& [id, k] : contracts_) {
            if (k.call.intervalMs > 0 && !k.running && now >= k.nextDue)
                RunContract(k, now, true);
        }

        // Remove dead connections with their subscriptions.
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (!it->second.dead) {
                ++it;
                continue;
            }
            for (auto& [monitorId, contractId] : it->second.monitors) {
                auto k = contracts_.find(contractId);
                if (k == contracts_.end())
                    continue;
                std::erase(k->second.subs, std::make_pair(it->first, monitorId));
                if (k->second.subs.empty())
                    contracts_.erase(k);
            }
            it = conns_.erase(it);
        }
        openConns_.store(static_cast<int>(conns_.size()));
        openContracts_.store(static_cast<int>(contracts_.size()));

        int delay = g_cycleDelayMs.load();
        if (busy && delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    conns_.clear();
    contracts_.clear();
    openConns_.store(0);
    openContracts_.store(0);
}

void CZeftServer::Accept(int64_t now) {
    for (;;) {
        int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + 100;
            return;
        }
        UniqueFd owned(fd);
        if (static_cast<int>(conns_.size()) >= limits_.maxConnections) {
            refused_.fetch_add(1);
            continue;  // closed at once
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint64_t id = nextConnId_++;
        Conn& c = conns_[id];
        c.id = id;
        c.fd = std::move(owned);
        c.lastActivity = now;
        accepted_.fetch_add(1);
    }
}

void CZeftServer::ReadConn(Conn& c, int64_t now) {
    uint8_t buf[65536];
    size_t total = 0;
    while (total < kReadBudget) {
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            total += static_cast<size_t>(n);
            size_t skip =
                static_cast<size_t>(std::min<uint64_t>(c.discard, static_cast<size_t>(n)));
            c.discard -= skip;
            c.in.insert(c.in.end(), buf + skip, buf + n);
            // Refuse an oversized request as soon as its header is in.
            ProcessInput(c, now);
            if (c.dead)
                return;
            continue;
        }
        if (n == 0) {
            c.dead = true;  // the peer closed
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            c.dead = true;
        return;
    }
}

void CZeftServer::ProcessInput(Conn& c, int64_t now) {
    size_t pos = 0;
    while (c.discard == 0 && c.in.size() - pos >= kZeftHeaderSize) {
        ZeftWireHeader h;
        if (!ZeftParseHeader(c.in.data() + pos, &h) || h.type == ZeftMsgType::Reply ||
            (h.type == ZeftMsgType::Cancel && h.bodyLength != 0)) {
            CloseBad(c);
            return;
        }
        size_t available = c.in.size() - pos - kZeftHeaderSize;
        if (h.bodyLength > MaxBody()) {
            // Larger than the work area: refused without reading it into memory. Its
            // bytes are dropped as they come, within the time allowed for one message.
            Send(
                c, h.id, kZeftFlagFinal,
                std::make_shared<const std::vector<uint8_t>>(ZeftRefusalBody(kZeftRequestTooLarge)),
                false);
            if (c.dead)
                return;
            size_t take = std::min<size_t>(available, h.bodyLength);
            c.discard = h.bodyLength - take;
            pos += kZeftHeaderSize + take;
            c.partialSince = c.discard ? now : 0;
            break;
        }
        if (available < h.bodyLength)
            break;
        c.lastActivity = now;
        HandleRequest(c, h.type, h.id, c.in.data() + pos + kZeftHeaderSize, h.bodyLength, now);
        if (c.dead)
            return;
        pos += kZeftHeaderSize + h.bodyLength;
    }
    if (pos > 0) {
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<ptrdiff_t>(pos));
        if (c.discard == 0)
            c.partialSince = 0;
    }
    if (c.discard > 0) {
        if (c.partialSince == 0)
            c.partialSince = now;
    } else if (c.in.empty()) {
        c.partialSince = 0;
    } else if (c.partialSince == 0) {
        c.partialSince = now;
    }
}

void CZeftServer::HandleRequest(Conn& c, ZeftMsgType type, uint32_t id, const uint8_t* body,
                                size_t len, int64_t now) {
    if (type == ZeftMsgType::Cancel) {
        Unsubscribe(c, id);
        return;
    }
    ZeftWireCall call;
    if (ZeftParseCall(body, len, &call) != kZeftOk) {
        CloseBad(c);
        return;
    }
    auto refuse = [&](int16_t status) {
        Send(c, id, kZeftFlagFinal,
             std::make_shared<const std::vector<uint8_t>>(ZeftRefusalBody(status)), false);
    };
    if (call.access < kZeftRead || call.access > kZeftReadWrite)
        return refuse(kZeftAccessDenied);
    if (call.requestCount != 0 && !ZeftFormatKnown(call.requestFormat))
        return refuse(kZeftIllegalFormat);
    if (call.data.size() > static_cast<size_t>(g_workAreaSize.load()))
        return refuse(kZeftRequestTooLarge);
    if (type == ZeftMsgType::Monitor)
        return HandleMonitor(c, id, std::move(call), now);

    if (c.callsPending >= limits_.maxCallsPerConnection || inflight_ >= g_burstLimit.load())
        return refuse(kZeftServerBusy);
    std::shared_ptr<ZeftSrvCore> core = FindCore(call);
    if (!core)
        return refuse(MissCode(call));
    std::weak_ptr<CZeftServer> self = weak_from_this();
    uint64_t connId = c.id;
    auto shared = std::make_shared<ZeftWireCall>(std::move(call));
    bool posted = core->Post([self, core, connId, id, shared] {
        std::vector<uint8_t> reply =
            core->srv ? core->srv->Execute(*shared) : ZeftRefusalBody(kZeftIllegalEquipment);
        if (auto server = self.lock())
            server->Complete(false, connId, id, std::move(reply));
    });
    if (!posted)
        return refuse(kZeftServerBusy);
    ++inflight_;
    ++c.callsPending;
}

void CZeftServer::HandleMonitor(Conn& c, uint32_t id, ZeftWireCall call, int64_t now) {
    auto refuse = [&](int16_t status) {
        Send(c, id, kZeftFlagFinal,
             std::make_shared<const std::vector<uint8_t>>(ZeftRefusalBody(status)), false);
    };
    Unsubscribe(c, id);  // a reused id replaces its monitor
    if (static_cast<int>(c.monitors.size()) >= limits_.maxMonitorsPerConnection)
        return refuse(kZeftServerBusy);
    std::string key;
    if (!FindCore(call, &key))
        return refuse(MissCode(call));
    call.intervalMs = std::min(call.intervalMs, kMaxIntervalMs);
    call.replyFormat = kZeftFormatNone;  // the server sends its own format to everyone
    call.replyCapacity = 0;

    Contract* found = nullptr;
    for (auto& [kid, k] : contracts_) {
        const ZeftWireCall& o = k.call;
        if (k.equipmentKey == key && Upper(o.context) == Upper(call.context) &&
            o.device == call.device && o.property == call.property && o.access == call.access &&
            o.requestFormat == call.requestFormat && o.requestCount == call.requestCount &&
            o.intervalMs == call.intervalMs && o.data == call.data) {
            found = &k;
            break;
        }
    }
    if (!found) {
        if (contracts_.size() >= kMaxContracts)
            return refuse(kZeftServerBusy);
        uint64_t kid = nextContractId_++;
        Contract& k = contracts_[kid];
        k.id = kid;
        k.call = std::move(call);
        k.equipmentKey = key;
        k.nextDue = now;
        k.subs.emplace_back(c.id, id);
        c.monitors[id] = kid;
        RunContract(k, now, true);  // the subscriber learns the value at once
        return;
    }
    found->subs.emplace_back(c.id, id);
    c.monitors[id] = found->id;
    if (found->lastBody)
        Send(c, id, 0, found->lastBody, true);
}

void CZeftServer::Unsubscribe(Conn& c, uint32_t id) {
    auto it = c.monitors.find(id);
    if (it == c.monitors.end())
        return;
    auto k = contracts_.find(it->second);
    if (k != contracts_.end()) {
        std::erase(k->second.subs, std::make_pair(c.id, id));
        if (k->second.subs.empty())
            contracts_.erase(k);
    }
    c.monitors.erase(it);
}

void CZeftServer::RunContract(Contract& k, int64_t now, bool timed) {
    if (timed && k.call.intervalMs > 0) {
        int64_t interval = std::max<int64_t>(k.call.intervalMs, MinPollingRate.load());
        k.nextDue += interval;
        if (k.nextDue <= now)
            k.nextDue = now + interval;
    }
    if (inflight_ >= g_burstLimit.load())
        return;  // tried again at its next turn
    std::shared_ptr<ZeftSrvCore> core = FindCore(k.call);
    if (!core) {
        // The control is away (disabled for a reconfiguration): say so and keep the
        // contract, so the subscribers are served again when it is back.
        auto body =
            std::make_shared<const std::vector<uint8_t>>(ZeftRefusalBody(kZeftIllegalEquipment));
        for (auto& [connId, monitorId] : k.subs) {
            if (Conn* c = FindConn(connId))
                Send(*c, monitorId, 0, body, true);
        }
        return;
    }
    std::weak_ptr<CZeftServer> self = weak_from_this();
    uint64_t kid = k.id;
    auto shared = std::make_shared<ZeftWireCall>(k.call);
    bool posted = core->Post([self, core, kid, shared] {
        std::vector<uint8_t> reply =
            core->srv ? core->srv->Execute(*shared) : ZeftRefusalBody(kZeftIllegalEquipment);
        if (auto server = self.lock())
            server->Complete(true, kid, 0, std::move(reply));
    });
    if (posted) {
        k.running = true;
        ++inflight_;
    }
}

void CZeftServer::FinishRun(uint64_t contractId, std::vector<uint8_t> body, int64_t now) {
    auto it = contracts_.find(contractId);
    if (it == contracts_.end())
        return;  // every subscriber left meanwhile
    Contract& k = it->second;
    k.running = false;
    runs_.fetch_add(1);
    int16_t status =
        body.size() >= 2 ? static_cast<int16_t>(body[0] | (body[1] << 8)) : kZeftProtocolError;
    bool final = IsFinalRefusal(status);
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(body));
    for (auto& [connId, monitorId] : k.subs) {
        if (Conn* c = FindConn(connId)) {
            Send(*c, monitorId, final ? kZeftFlagFinal : 0, shared, !final);
            if (final)
                c->monitors.erase(monitorId);
        }
    }
    if (final) {
        contracts_.erase(it);
        return;
    }
    k.lastBody = shared;
    if (k.rerun) {
        k.rerun = false;
        RunContract(k, now, false);
    }
}

void CZeftServer::Send(Conn& c, uint32_t id, uint16_t flags, const Buffer& body, bool droppable) {
    if (c.dead)
        return;
    size_t size = kZeftHeaderSize + body->size();
    // A reader that falls behind loses monitor replies, whole ones, never the stream's
    // framing; its queue stays bounded.
    if (droppable && c.queued + size > limits_.maxQueuedBytes && !c.out.empty()) {
        dropped_.fetch_add(1);
        return;
    }
    c.out.push_back(Chunk{MakeHeader(id, flags, body->size()), 0});
    c.out.push_back(Chunk{body, 0});
    c.queued += size;
    Flush(c);
}

void CZeftServer::Flush(Conn& c) {
    while (!c.out.empty()) {
        iovec iov[16];
        int n = 0;
        for (auto it = c.out.begin(); it != c.out.end() && n < 16; ++it, ++n) {
            iov[n].iov_base = const_cast<uint8_t*>(it->buf->data() + it->offset);
            iov[n].iov_len = it->buf->size() - it->offset;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(n);
        ssize_t sent = ::sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.dead = true;
            return;
        }
        size_t left = static_cast<size_t>(sent);
        c.queued -= left;
        while (left > 0) {
            Chunk& front = c.out.front();
            size_t rest = front.buf->size() - front.offset;
            if (left >= rest) {
                left -= rest;
                c.out.pop_front();
            } else {
                front.offset += left;
                left = 0;
            }
        }
        while (!c.out.empty() && c.out.front().offset == c.out.front().buf->size())
            c.out.pop_front();
    }
}

void CZeftServer::CloseBad(Conn& c) {
    if (!c.dead)
        closedBad_.fetch_add(1);
    c.dead = true;
}

// ---------------------------------------------------------------------------------------
// Process-wide registration.

namespace {

std::mutex g_mutex;  // guards g_server, g_basePort and g_limits
std::shared_ptr<CZeftServer> g_server;
uint16_t g_basePort = kZeftBasePort;
ZeftServerLimits g_limits;

std::shared_ptr<CZeftServer> CurrentServer() {
    std::lock_guard lock(g_mutex);
    return g_server;
}

bool SameRegistration(const ZeftRegistration& a, const ZeftRegistration& b) {
    return a.name == b.name && a.subsystem == b.subsystem && a.context == b.context &&
           a.description == b.description && a.location == b.location && a.hardware == b.hardware &&
           a.responsible == b.responsible && a.portOffset == b.portOffset;
}

std::string Text(const char* s) {
    return s ? std::string(s, strnlen(s, 1024)) : std::string();
}

}  // namespace

int16_t RegisterFecInformation(const char* name, const char* subsystem, const char* context,
                               const char* description, const char* location, const char* hardware,
                               const char* responsible, int16_t portOffset) {
    ZeftRegistration reg{Text(name),        Text(subsystem), Text(context),
                         Text(description), Text(location),  Text(hardware),
                         Text(responsible), portOffset,      0};
    if (!ZeftNameValid(reg.name) || !ZeftNameValid(reg.context) || portOffset < 0 ||
        portOffset > kZeftMaxPortOffset)
        return kZeftInvalidArgument;
    uint16_t basePort;
    ZeftServerLimits limits;
    {
        std::lock_guard lock(g_mutex);
        if (g_server)
            return SameRegistration(g_server->Registration(), reg) ? kZeftOk
                                                                   : kZeftRegistrationConflict;
        basePort = g_basePort;
        limits = g_limits;
    }
    auto server = std::make_shared<CZeftServer>(reg, limits);
    int16_t rc = server->Listen(basePort == 0 ? 0 : static_cast<uint16_t>(basePort + portOffset));
    if (rc != kZeftOk)
        return rc;
    {
        std::lock_guard lock(g_mutex);
        if (g_server)  // another thread registered meanwhile
            return SameRegistration(g_server->Registration(), reg) ? kZeftOk
                                                                   : kZeftRegistrationConflict;
        g_server = server;
    }
    server->StartThread();
    return kZeftOk;
}

int16_t SetBurstLimit(int16_t limit) {
    return g_burstLimit.exchange(std::max<int16_t>(limit, 1));
}

int16_t SetCycleDelay(int16_t delayMs) {
    return g_cycleDelayMs.exchange(std::clamp<int16_t>(delayMs, 0, 1000));
}

int16_t setWorkAreaSize(int32_t bytes) {
    if (bytes < 1024 || bytes > 64 * 1024 * 1024)
        return kZeftInvalidArgument;
    g_workAreaSize.store(bytes);
    return kZeftOk;
}

int16_t _SystemScheduleProperty(const char* exportName, const char* property) {
    if (!exportName || !property)
        return kZeftInvalidArgument;
    std::shared_ptr<CZeftServer> server = CurrentServer();
    if (!server)
        return kZeftNotRegistered;
    server->Schedule(Text(exportName), Text(property));
    return kZeftOk;
}

ZeftRegistration ZeftGetRegistration() {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->Registration() : ZeftRegistration{};
}

void ZeftSetBasePort(uint16_t port) {
    std::lock_guard lock(g_mutex);
    g_basePort = port;
}

void ZeftSetServerLimits(const ZeftServerLimits& limits) {
    std::lock_guard lock(g_mutex);
    g_limits = limits;
}

ZeftServerLimits ZeftGetServerLimits() {
    std::lock_guard lock(g_mutex);
    return g_limits;
}

void ZeftShutdown() {
    std::shared_ptr<CZeftServer> server;
    {
        std::lock_guard lock(g_mutex);
        server.swap(g_server);
    }
    if (server)
        server->Stop();
}

ZeftServerStats ZeftGetServerStats() {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->Stats() : ZeftServerStats{};
}

int16_t ZeftAddControl(const std::string& equipment, const std::vector<std::string>& devices,
                       const std::shared_ptr<ZeftSrvCore>& core) {
    std::shared_ptr<CZeftServer> server = CurrentServer();
    return server ? server->AddControl(equipment, devices, core) : kZeftNotRegistered;
}

void ZeftRemoveControl(const ZeftSrvCore* core) {
    if (std::shared_ptr<CZeftServer> server = CurrentServer())
        server->RemoveControl(core);
}

void ZeftUpdateDevices(const ZeftSrvCore* core, const std::vector<std::string>& devices) {
    if (std::shared_ptr<CZeftServer> server = CurrentServer())
        server->UpdateDevices(core, devices);
}
