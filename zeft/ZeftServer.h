#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftConnections.h"
#include "zeft/ZeftMonitors.h"
#include "zeft/ZeftRegistry.h"
#include "zeft/ZeftStats.h"

// Internal to the layer: the access rules in force (ZeftSetAccess).
std::shared_ptr<const ZeftAccess> ZeftCurrentAccess();

// Internal to the layer: the process's server. One network thread owns the connections
// and monitor contracts and hands every call to the main thread of its control.
// Completions and schedule requests reach the thread through a mutex-guarded inbox and
// an eventfd.
class CZeftServer final : public std::enable_shared_from_this<CZeftServer>,
                          private IZeftRequestHandler,
                          private IZeftMonitorHost {
  public:
    CZeftServer(ZeftRegistration reg, ZeftServerLimits limits)
        : reg_(std::move(reg)),
          connections_(limits, stats_, *this),
          monitors_(*this, stats_),
          limits_(limits) {}
    ~CZeftServer() { Stop(); }

    int16_t Listen(uint16_t port);
    // Serves on the listening socket of a stopped predecessor (`port` is its port).
    int16_t Adopt(UniqueFd listener, uint16_t port);
    UniqueFd ReleaseListener() { return connections_.ReleaseListener(); }
    void StartThread() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop();

    const ZeftRegistration& Registration() const { return reg_; }
    CZeftRegistry& Registry() { return registry_; }
    ZeftServerStats Stats() const { return stats_.Snapshot(); }

    // Any thread.
    void Schedule(const std::string& exportName, const std::string& property);

  private:
    struct Completion {
        bool run = false;  // a contract's run, else a call
        uint64_t target = 0;
        uint32_t id = 0;
        std::vector<uint8_t> body;
        // A call with write access: told to the access rules' observer once answered.
        std::shared_ptr<const ZeftAccess> access;
        ZeftWriteNote note;
    };

    void Complete(Completion done);
    void Wake();
    void Run();
    void DrainInbox(int64_t now);
    void HandleRequest(ZeftConn& c, ZeftMsgType type, uint32_t id, const uint8_t* body,
                       size_t length, int64_t now) override;
    void HandleCall(ZeftConn& c, uint32_t id, ZeftWireCall call,
                    std::shared_ptr<const ZeftAccess> access);
    // Refuses a request; a write among them goes to the trail with its refusal.
    void Refuse(ZeftConn& c, uint32_t id, const ZeftWireCall& call, const ZeftAccess& access,
                int16_t status);
    static ZeftWriteNote NoteOf(const ZeftConn& c, const ZeftWireCall& call);
    void HandleMonitor(ZeftConn& c, uint32_t id, ZeftWireCall call, int64_t now);
    void Unsubscribe(ZeftConn& c, uint32_t id);
    // Posts `call` to `core`'s main thread; its reply comes back as a Completion.
    bool Post(const std::shared_ptr<ZeftSrvCore>& core, ZeftWireCall call, Completion done);

    RunStart StartRun(const ZeftWireCall& call, uint64_t contractId) override;
    void SendToSubscriber(uint64_t conn, uint32_t monitor, uint16_t flags, const ZeftBuffer& body,
                          bool droppable) override;
    void EndSubscription(uint64_t conn, uint32_t monitor) override;

    ZeftRegistration reg_;  // port set by Listen, before the thread starts; then fixed
    ZeftStatsCounters stats_;
    CZeftRegistry registry_;
    CZeftConnections connections_;  // network thread only
    CZeftMonitors monitors_;        // network thread only
    const ZeftServerLimits limits_;
    int inflight_ = 0;  // calls and runs waiting for a main thread; network thread only
    UniqueFd wake_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    std::mutex inboxMutex_;  // guards completions_ and schedules_
    std::vector<Completion> completions_;
    std::vector<std::pair<std::string, std::string>> schedules_;
};
