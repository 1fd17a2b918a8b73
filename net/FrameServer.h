#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/HostList.h"
#include "base/LogSink.h"
#include "base/MessagePoster.h"
#include "base/UniqueFd.h"
#include "net/ClientSession.h"

// One frame channel: listens on its port, accepts up to the client limit, gives every
// client a CClientSession, and hands each message to every session's queue.
//
// Owned by the main controller. Start, Stop, Distribute, RemoveClient and the count
// display run on the main thread. One loop thread per channel accepts, reads and writes
// every client's non-blocking socket, so a client costs its queue and no thread, and
// Distribute never waits for a client. The loop reaches the main thread only through
// tasks posted to the IMessagePoster: one removes a session whose client has gone, others
// refresh the count field or log.
class CFrameServerBase {
  public:
    struct SessionStats {
        intptr_t id;
        int queued;
        uint64_t sent;
        uint64_t dropped;
    };

    virtual ~CFrameServerBase();
    CFrameServerBase(const CFrameServerBase&) = delete;
    CFrameServerBase& operator=(const CFrameServerBase&) = delete;

    // Listens on `port` (0: any free port, see GetPort) on every local address, or on
    // `address`. 1 on success or when already started, 0 on failure.
    int Start(uint16_t port, int clientLimit, const char* address = nullptr);
    // Ends the loop thread, closes the listening socket, then removes every client.
    // 1 when every client was removed; 1 at once when not started.
    int Stop();
    // Queues the message for every client. The message must start with an 88-byte
    // header whose total length (offset 8) is at least 88 and at most `length`; that
    // many bytes are sent. 0 for a message that breaks this rule (nothing is sent), else 1.
    int Distribute(const void* message, uint32_t length);
    // Removes the session with this id (the server does so itself when its client has
    // gone). A stale or repeated id finds nothing and does nothing. Always 0.
    int RemoveClient(intptr_t sessionId);
    // Who may connect, from the next Start on: any other peer is closed at accept,
    // counted, and never takes a client slot.
    void SetViewHosts(CHostList hosts) { viewHosts_ = std::move(hosts); }
    // Connections closed at accept because their peer is not allowed, since construction.
    uint64_t GetRefusedCount() const { return refused_.load(); }
    // Once set, every change of the client count is shown through the count display.
    void SetShowClientCount(int flag);
    // Main thread: writes the count field of the main window. Called with the count
    // whenever it changes while the show flag is set.
    void SetClientCountDisplay(std::function<void(int)> display);

    int IsStarted() const { return started_ ? 1 : 0; }
    int GetClientCount() const;
    uint16_t GetPort() const { return port_; }
    // Main thread.
    std::vector<SessionStats> GetSessionStats() const;
    // Main thread: what the sessions removed since the server was made had been sent and
    // had dropped, so totals over all clients never shrink when one leaves.
    uint64_t DepartedSent() const { return departedSent_; }
    uint64_t DepartedDropped() const { return departedDropped_; }

  protected:
    CFrameServerBase(IMessagePoster* poster, ILogSink* log);
    // Main thread: every message distributed, as the one copy the clients share (empty
    // when the pool had no room).
    virtual void OnDistributed(const CSharedMessageRef&) {}
    // True when OnDistributed wants the message even without clients.
    virtual bool WantsMessages() const { return false; }

    IMessagePoster* const poster_;

  private:
    // What posted tasks need; they hold it weakly, so a task that runs after the server
    // is gone does nothing.
    struct Shared {
        std::atomic<int> clientCount{0};
        int showCount = 0;                 // main thread
        std::function<void(int)> display;  // main thread
        ILogSink* log = nullptr;
        CFrameServerBase* owner = nullptr;  // main thread; null once the server is gone
        void Refresh() const;
    };

    using Session = std::shared_ptr<CClientSession>;

    // Loop thread.
    void Loop();
    void AcceptClients();
    void Admit(UniqueFd socket);
    void OnSessionEvent(intptr_t id, uint32_t events);
    void WriteTo(CClientSession& session);
    void Forget(intptr_t id);
    // The client has gone: the loop stops watching it and the main thread removes it.
    void Gone(CClientSession& session);
    void PostRefresh();
    void PostLog(std::string text);
    void PostGone(intptr_t id);
    // Any thread: makes the loop look at its commands and the queues.
    void Wake();

    void Retire(const CClientSession& session);

    std::shared_ptr<Shared> shared_;
    bool started_ = false;
    std::atomic<int> stopping_{0};
    int clientLimit_ = 0;
    CHostList viewHosts_;  // set on the main thread while no loop runs
    std::atomic<uint64_t> refused_{0};
    uint64_t departedSent_ = 0;  // main thread
    uint64_t departedDropped_ = 0;
    uint16_t port_ = 0;

    UniqueFd listen_;
    UniqueFd epoll_;
    UniqueFd wakeFd_;  // eventfd: Distribute, RemoveClient and Stop wake the loop with it
    std::thread loop_;
    std::atomic<bool> loopStop_{false};

    mutable std::mutex clientsMutex_;  // guards clients_ and forget_
    std::vector<Session> clients_;     // every listed session, in the order they came
    std::vector<intptr_t> forget_;     // sessions the main thread removed, for the loop

    // Loop thread while it runs (the main thread once it is joined): the sessions the
    // loop watches, by id.
    std::unordered_map<intptr_t, Session> watched_;
    int64_t acceptPausedUntil_ = 0;      // loop thread: steady ms; 0 when accepting
    std::vector<uint8_t> scratch_;       // loop thread: where what clients send is thrown
    std::vector<Session> distributing_;  // main thread: Distribute's copy of the list
};

// The Lossless channel (raw or compressed frames behind a FrameHeader).
class CFrameServer : public CFrameServerBase {
  public:
    // Receives the clients' shared copy: holding it costs no copy of its own.
    using MessageSink = std::function<void(const CSharedMessageRef& message)>;

    CFrameServer(IMessagePoster* poster, ILogSink* log);
    ~CFrameServer() override;
    // Optional: called on the main thread with every message the channel distributes,
    // with or without clients (control-system frame transfer), unless no copy could be had.
    void SetMessageSink(MessageSink sink) { sink_ = std::move(sink); }

  protected:
    void OnDistributed(const CSharedMessageRef& message) override;
    bool WantsMessages() const override { return static_cast<bool>(sink_); }

  private:
    MessageSink sink_;
};

// The Lossy channel (JPEG messages behind a JpegFrameHeader).
class CLossyFrameServer : public CFrameServerBase {
  public:
    CLossyFrameServer(IMessagePoster* poster, ILogSink* log);
    ~CLossyFrameServer() override;
};
