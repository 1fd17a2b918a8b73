#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/UniqueFd.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftProtocol.h"
#include "zeft/ZeftStats.h"

// Internal to the layer: the listening socket and the connections of the server, owned by
// its network thread. Reads framed requests with every limit on untrusted peers applied,
// and writes replies without ever blocking.

using ZeftBuffer = std::shared_ptr<const std::vector<uint8_t>>;

struct ZeftConn {
    // A shared body (sent to several subscribers), or bytes of this connection alone.
    struct Chunk {
        ZeftBuffer shared;
        std::vector<uint8_t> own;
        size_t offset = 0;
        const uint8_t* Data() const { return shared ? shared->data() : own.data(); }
        size_t Size() const { return shared ? shared->size() : own.size(); }
    };
    uint64_t id = 0;
    UniqueFd fd;
    uint32_t peer = 0;  // IPv4 address, host byte order
    std::vector<uint8_t> in;
    uint64_t discard = 0;  // body bytes of a refused oversized request still to drop
    int64_t partialSince = 0;
    int64_t lastActivity = 0;
    std::deque<Chunk> out;
    size_t queued = 0;
    size_t queuedPeak = 0;
    int64_t writeProgress = 0;  // when the queue last got shorter or stopped being empty
    bool held = false;          // whole requests wait in `in` until the queue drains
    int callsPending = 0;
    std::map<uint32_t, uint64_t> monitors;  // monitor id -> contract
    bool dead = false;
};

// Receives each whole request read from a connection (a call, a monitor or a cancel).
class IZeftRequestHandler {
  public:
    virtual void HandleRequest(ZeftConn& c, ZeftMsgType type, uint32_t id, const uint8_t* body,
                               size_t length, int64_t now) = 0;

  protected:
    ~IZeftRequestHandler() = default;
};

class CZeftConnections {
  public:
    CZeftConnections(const ZeftServerLimits& limits, ZeftStatsCounters& stats,
                     IZeftRequestHandler& handler)
        : limits_(limits), stats_(stats), handler_(handler) {}

    // Binds all interfaces on `port` (0: a free one); `bound` receives the port.
    int16_t Listen(uint16_t port, uint16_t* bound);

    // Appends the listening socket and every connection to `fds`; HandlePoll takes the
    // same entries back after poll.
    void AddPollFds(std::vector<pollfd>& fds, int64_t now);
    void HandlePoll(const pollfd* fds, int64_t now);
    // Closes connections whose message stalled or that sat idle too long.
    void ExpireStale(int64_t now);
    // Forgets closed connections, handing over each monitor they held.
    void RemoveDead(
        const std::function<void(uint64_t conn, uint32_t monitor, uint64_t contract)>& endMonitor);
    void Clear() { conns_.clear(); }
    // The listening socket passes to the server of a new registration on the same port.
    UniqueFd ReleaseListener() { return std::move(listen_); }
    void AdoptListener(UniqueFd fd) { listen_ = std::move(fd); }
    size_t Count() const { return conns_.size(); }

    ZeftConn* Find(uint64_t id);
    // `droppable` replies (monitor runs) are dropped whole when the peer's queue is full.
    void Send(ZeftConn& c, uint32_t id, uint16_t flags, const ZeftBuffer& body, bool droppable);
    void Refuse(ZeftConn& c, uint32_t id, int16_t status);
    void CloseBad(ZeftConn& c);

  private:
    void Accept(int64_t now);
    void Read(ZeftConn& c, int64_t now);
    void ProcessInput(ZeftConn& c, int64_t now);
    void Flush(ZeftConn& c);
    size_t MaxBody() const;
    // The peer leaves its replies unread: read nothing more, so TCP holds it back.
    bool OverQueued(const ZeftConn& c) const { return c.queued >= limits_.maxQueuedBytes; }
    bool Admit(uint32_t peer);

    const ZeftServerLimits limits_;
    ZeftStatsCounters& stats_;
    IZeftRequestHandler& handler_;
    UniqueFd listen_;
    std::map<uint64_t, ZeftConn> conns_;
    std::vector<uint64_t> polled_;  // connection of each entry after the listening socket
    uint64_t nextId_ = 1;
    int64_t acceptPausedUntil_ = 0;  // out of descriptors: retry accepting later
};
