#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "frame/SharedMessage.h"
#include "frame/SyncPtrList.h"
#include "net/TcpSocket.h"

// Wakes idle send threads when messages were queued or a stop was requested. A frame
// server shares one among its sessions, so a Distribute costs one wake-up call however
// many clients there are. Any thread.
class CSendWakeup {
  public:
    int Generation() const { return generation_.load(std::memory_order_acquire); }
    void WakeAll() {
        generation_.fetch_add(1, std::memory_order_acq_rel);
        generation_.notify_all();
    }
    // Returns once the generation differs from `seen` (at once if it already does).
    void Wait(int seen) const { generation_.wait(seen, std::memory_order_acquire); }

  private:
    std::atomic<int> generation_{0};  // wraps; only inequality matters
};

// One connected client of a frame server: its Client queue and its two threads. The
// receive thread reads and discards what the client sends and notices when it goes; the
// send thread writes the queued messages to the socket. Whichever thread notices the
// failure first stops the other and reports the session gone, once.
//
// Created by the server's accept thread, removed and deleted by the server on the main
// thread. Enqueue is called by the main thread; the statistics from any thread.
class CClientSession {
  public:
    // A Client queue is emptied once this many messages wait.
    static constexpr int kQueueLimit = 6;

    // Called once, on a session thread, with the session id when the client has gone.
    using GoneNotice = std::function<void(intptr_t id)>;

    // `wakeup` may be shared with other sessions; null gives the session its own.
    CClientSession(intptr_t id, std::unique_ptr<CTcpSocket> socket, GoneNotice gone,
                   std::shared_ptr<CSendWakeup> wakeup = nullptr);
    // Stops and joins both threads; the queued messages go with the queue.
    virtual ~CClientSession();
    CClientSession(const CClientSession&) = delete;
    CClientSession& operator=(const CClientSession&) = delete;

    // Starts the receive thread, then the send thread. 0 when a thread cannot be started
    // (whatever started is stopped again).
    int StartThreads();
    // Queues the message (one more reference) after the drop rule; always 1. With
    // `wake` false the caller wakes the send thread itself (CSendWakeup::WakeAll).
    int Enqueue(const CSharedMessageRef& message, bool wake = true);
    // Tells both threads to end and wakes them, including a thread blocked in the socket.
    void RequestStop();
    // Waits for both threads to end, including threads whose StartThreads has not
    // returned yet; call after RequestStop.
    void JoinThreads();
    // 1 when neither thread runs.
    int ThreadsStopped() const;

    CTcpSocket* GetSocket() const { return socket_.get(); }
    intptr_t GetId() const { return id_; }
    int GetQueueCount() const { return queue_.GetCount(); }
    uint64_t GetSentCount() const { return sent_.load(std::memory_order_relaxed); }
    uint64_t GetDroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    void ReceiveThread();
    void SendThread();
    // Drop rule shared by both sides: with kQueueLimit or more waiting, empty the queue.
    void Trim();
    void ClientGone();

    const intptr_t id_;
    std::unique_ptr<CTcpSocket> socket_;
    const GoneNotice gone_;

    CSyncList<CSharedMessageRef> queue_;
    // 1 while one side trims, so the two trims never overlap.
    std::atomic<int> purge_{0};

    std::atomic<int> stopReceiving_{0};
    std::atomic<int> stopSending_{0};
    std::atomic<int> receiveRunning_{0};
    std::atomic<int> sendRunning_{0};
    std::atomic<bool> goneNotified_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> dropped_{0};

    const std::shared_ptr<CSendWakeup> wakeup_;

    // StartThreads in progress: the thread objects are not assigned yet.
    enum : int { kNotLaunched, kLaunching, kLaunched };
    std::atomic<int> launch_{kNotLaunched};
    std::thread receiveThread_;
    std::thread sendThread_;
};
