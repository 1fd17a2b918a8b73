#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zeft/ZeftConnections.h"
#include "zeft/ZeftProtocol.h"
#include "zeft/ZeftStats.h"

// Internal to the layer: the monitor contracts of the server, owned by its network thread.
// Identical monitor requests share one contract; each run of a contract raises one call
// and its reply goes to every subscriber.

// Most contracts of the process at once.
constexpr size_t kZeftMaxContracts = 256;
// Longest monitor interval; longer ones are cut to it.
constexpr uint32_t kZeftMaxMonitorIntervalMs = 24u * 3600 * 1000;

// What contracts need of the server.
class IZeftMonitorHost {
  public:
    enum class RunStart { Started, Busy, NoControl, NotPosted };
    // Hands one run of `call` to its control; its reply comes back through FinishRun.
    virtual RunStart StartRun(const ZeftWireCall& call, uint64_t contractId) = 0;
    virtual void SendToSubscriber(uint64_t conn, uint32_t monitor, uint16_t flags,
                                  const ZeftBuffer& body, bool droppable) = 0;
    // The subscription got its final reply; the connection forgets it.
    virtual void EndSubscription(uint64_t conn, uint32_t monitor) = 0;

  protected:
    ~IZeftMonitorHost() = default;
};

class CZeftMonitors {
  public:
    CZeftMonitors(IZeftMonitorHost& host, ZeftStatsCounters& stats) : host_(host), stats_(stats) {}

    // Subscribes to the contract of `call` on the control of `equipmentKey`, creating it
    // (and running it at once) when there is none. kZeftOk with `contractId` set, or
    // kZeftServerBusy when the contracts are at their limit.
    int16_t Subscribe(uint64_t conn, uint32_t monitor, ZeftWireCall call,
                      const std::string& equipmentKey, int64_t now, uint64_t* contractId);
    void Unsubscribe(uint64_t conn, uint32_t monitor, uint64_t contractId);
    // Runs the contracts on `property` of a control now, or once more after a running one.
    void Schedule(const std::string& equipmentKey, const std::string& property, int64_t now);
    void RunDue(int64_t now);
    // `timeout` shortened to the next due run.
    int PollTimeout(int64_t now, int timeout) const;
    void FinishRun(uint64_t contractId, std::vector<uint8_t> body, int64_t now);
    size_t Count() const { return contracts_.size(); }
    void Clear() { contracts_.clear(); }

  private:
    struct Contract {
        uint64_t id = 0;
        ZeftWireCall call;
        std::string equipmentKey;
        std::vector<std::pair<uint64_t, uint32_t>> subs;  // connection, monitor id
        int64_t nextDue = 0;
        bool running = false;
        bool rerun = false;
        ZeftBuffer lastBody;
    };
    void Run(Contract& k, int64_t now, bool timed);

    IZeftMonitorHost& host_;
    ZeftStatsCounters& stats_;
    std::map<uint64_t, Contract> contracts_;
    uint64_t nextId_ = 1;
};
