#include "zeft/ZeftServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/ThreadName.h"
#include "zeft/ZeftClient.h"
#include "zeft/ZeftTuning.h"

namespace {

// Longest sleep of the network thread; bounds how late a stop is seen.
constexpr int kPollTimeoutMs = 250;

// Refusal for a call no control serves. Equipment lives in a context, so a call for
// another context names equipment this server does not have, however it was addressed;
// addressed by host and port in our context, it is the device that nobody serves.
int16_t MissCode(const std::string& context, const ZeftWireCall& call) {
    if (!call.context.empty() && ZeftNameKey(call.context) != ZeftNameKey(context))
        return kZeftIllegalEquipment;
    return call.equipment.empty() ? kZeftIllegalDevice : kZeftIllegalEquipment;
}

}  // namespace

int16_t CZeftServer::Listen(uint16_t port) {
    int16_t rc = connections_.Listen(port, &reg_.port);
    if (rc != kZeftOk)
        return rc;
    wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    return wake_ ? kZeftOk : kZeftListenFailed;
}

int16_t CZeftServer::Adopt(UniqueFd listener, uint16_t port) {
    if (!listener)
        return kZeftListenFailed;
    connections_.AdoptListener(std::move(listener));
    reg_.port = port;
    wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    return wake_ ? kZeftOk : kZeftListenFailed;
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

void CZeftServer::Schedule(const std::string& exportName, const std::string& property) {
    {
        std::lock_guard lock(inboxMutex_);
        // Repeated requests for the same property before the thread wakes fold into one.
        auto entry = std::make_pair(ZeftNameKey(exportName), property);
        if (std::find(schedules_.begin(), schedules_.end(), entry) == schedules_.end())
            schedules_.push_back(std::move(entry));
    }
    Wake();
}

void CZeftServer::Complete(Completion done) {
    {
        std::lock_guard lock(inboxMutex_);
        completions_.push_back(std::move(done));
    }
    Wake();
}

void CZeftServer::Run() {
    NameThisThread("lx-zeft");
    std::vector<pollfd> fds;
    while (!stop_.load()) {
        int64_t now = ZeftNowMs();
        int timeout = monitors_.PollTimeout(now, kPollTimeoutMs);
        fds.clear();
        fds.push_back(pollfd{wake_.get(), POLLIN, 0});
        connections_.AddPollFds(fds, now);
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
        DrainInbox(now);
        connections_.HandlePoll(fds.data() + 1, now);
        connections_.ExpireStale(now);
        monitors_.RunDue(now);
        connections_.RemoveDead([this](uint64_t conn, uint32_t monitor, uint64_t contract) {
            monitors_.Unsubscribe(conn, monitor, contract);
        });
        stats_.openConnections.store(static_cast<int>(connections_.Count()));
        stats_.contracts.store(static_cast<int>(monitors_.Count()));

        int delay = g_zeftCycleDelayMs.load();
        if (busy && delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    connections_.Clear();
    monitors_.Clear();
    stats_.openConnections.store(0);
    stats_.contracts.store(0);
}

void CZeftServer::DrainInbox(int64_t now) {
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
            monitors_.FinishRun(d.target, std::move(d.body), now);
        } else {
            if (d.access && d.access->onWrite) {
                ZeftWireReply reply;
                d.note.status = ZeftParseReply(d.body.data(), d.body.size(), &reply) == kZeftOk
                                    ? reply.status
                                    : kZeftProtocolError;
                d.access->onWrite(d.note);
            }
            ZeftConn* c = connections_.Find(d.target);
            if (!c)
                continue;
            --c->callsPending;
            c->lastActivity = now;
            connections_.Send(*c, d.id, kZeftFlagFinal,
                              std::make_shared<const std::vector<uint8_t>>(std::move(d.body)),
                              false);
        }
    }
    for (auto& [equipment, property] : scheduled)
        monitors_.Schedule(equipment, property, now);
}

void CZeftServer::HandleRequest(ZeftConn& c, ZeftMsgType type, uint32_t id, const uint8_t* body,
                                size_t length, int64_t now) {
    if (type == ZeftMsgType::Cancel)
        return Unsubscribe(c, id);
    stats_.calls.fetch_add(1);
    ZeftWireCall call;
    if (ZeftParseCall(body, length, &call) != kZeftOk)
        return connections_.CloseBad(c);
    const std::shared_ptr<const ZeftAccess> access = ZeftCurrentAccess();
    // The host rules come first: a stranger learns nothing, not even which devices exist.
    if (!access->view.Allows(c.peer) ||
        ((call.access & kZeftWrite) && !access->control.Allows(c.peer)))
        return Refuse(c, id, call, *access, kZeftAccessDenied);
    // Access 0 and access the property does not allow are the handler's to answer.
    if (call.access < 0 || call.access > kZeftReadWrite)
        return Refuse(c, id, call, *access, kZeftAccessDenied);
    // A monitor's runs would repeat its write: starting acquisition at every run.
    if (type == ZeftMsgType::Monitor && (call.access & kZeftWrite))
        return Refuse(c, id, call, *access, kZeftMonitorReadOnly);
    if (call.requestCount != 0 && !ZeftFormatKnown(call.requestFormat))
        return Refuse(c, id, call, *access, kZeftIllegalFormat);
    if (call.data.size() > static_cast<size_t>(g_zeftWorkAreaSize.load()))
        return Refuse(c, id, call, *access, kZeftRequestTooLarge);
    if (type == ZeftMsgType::Monitor)
        return HandleMonitor(c, id, std::move(call), now);
    HandleCall(c, id, std::move(call), access);
}

ZeftWriteNote CZeftServer::NoteOf(const ZeftConn& c, const ZeftWireCall& call) {
    // A little over the trail's 64 characters, so it can tell that it cut.
    constexpr size_t kValueText = 80;
    return ZeftWriteNote{c.peer, call.device, call.property, ZeftRequestText(call, kValueText),
                         kZeftOk};
}

void CZeftServer::Refuse(ZeftConn& c, uint32_t id, const ZeftWireCall& call,
                         const ZeftAccess& access, int16_t status) {
    if ((call.access & kZeftWrite) && access.onWrite) {
        ZeftWriteNote note = NoteOf(c, call);
        note.status = status;
        access.onWrite(note);
    }
    connections_.Refuse(c, id, status);
}

void CZeftServer::HandleCall(ZeftConn& c, uint32_t id, ZeftWireCall call,
                             std::shared_ptr<const ZeftAccess> access) {
    if (c.callsPending >= limits_.maxCallsPerConnection || inflight_ >= g_zeftBurstLimit.load())
        return Refuse(c, id, call, *access, kZeftServerBusy);
    std::shared_ptr<ZeftSrvCore> core = registry_.Find(reg_.context, call);
    if (!core)
        return Refuse(c, id, call, *access, MissCode(reg_.context, call));
    Completion done{false, c.id, id, {}, nullptr, {}};
    const bool write = (call.access & kZeftWrite) && access->onWrite;
    if (write) {
        done.note = NoteOf(c, call);
        done.access = access;
    }
    ZeftWriteNote note = done.note;
    if (!Post(core, std::move(call), std::move(done))) {
        if (write) {
            note.status = kZeftServerBusy;
            access->onWrite(note);
        }
        return connections_.Refuse(c, id, kZeftServerBusy);
    }
    ++c.callsPending;
}

void CZeftServer::HandleMonitor(ZeftConn& c, uint32_t id, ZeftWireCall call, int64_t now) {
    Unsubscribe(c, id);  // a reused id replaces its monitor
    if (static_cast<int>(c.monitors.size()) >= limits_.maxMonitorsPerConnection)
        return connections_.Refuse(c, id, kZeftServerBusy);
    std::string key;
    if (!registry_.Find(reg_.context, call, &key))
        return connections_.Refuse(c, id, MissCode(reg_.context, call));
    uint64_t contract = 0;
    int16_t rc = monitors_.Subscribe(c.id, id, std::move(call), key, now, &contract);
    if (rc != kZeftOk)
        return connections_.Refuse(c, id, rc);
    c.monitors[id] = contract;
}

void CZeftServer::Unsubscribe(ZeftConn& c, uint32_t id) {
    auto it = c.monitors.find(id);
    if (it == c.monitors.end())
        return;
    monitors_.Unsubscribe(c.id, id, it->second);
    c.monitors.erase(it);
}

bool CZeftServer::Post(const std::shared_ptr<ZeftSrvCore>& core, ZeftWireCall call,
                       Completion done) {
    std::weak_ptr<CZeftServer> self = weak_from_this();
    auto shared = std::make_shared<ZeftWireCall>(std::move(call));
    auto pending = std::make_shared<Completion>(std::move(done));
    bool posted = core->Post([self, core, shared, pending] {
        pending->body = core->Execute(*shared);
        if (auto server = self.lock())
            server->Complete(std::move(*pending));
    });
    if (posted)
        ++inflight_;
    return posted;
}

IZeftMonitorHost::RunStart CZeftServer::StartRun(const ZeftWireCall& call, uint64_t contractId) {
    if (inflight_ >= g_zeftBurstLimit.load())
        return RunStart::Busy;
    std::shared_ptr<ZeftSrvCore> core = registry_.Find(reg_.context, call);
    if (!core)
        return RunStart::NoControl;
    return Post(core, call, Completion{true, contractId, 0, {}, nullptr, {}}) ? RunStart::Started
                                                                              : RunStart::NotPosted;
}

void CZeftServer::SendToSubscriber(uint64_t conn, uint32_t monitor, uint16_t flags,
                                   const ZeftBuffer& body, bool droppable) {
    if (ZeftConn* c = connections_.Find(conn))
        connections_.Send(*c, monitor, flags, body, droppable);
}

void CZeftServer::EndSubscription(uint64_t conn, uint32_t monitor) {
    if (ZeftConn* c = connections_.Find(conn))
        c->monitors.erase(monitor);
}
