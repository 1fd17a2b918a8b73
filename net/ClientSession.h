#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "base/UniqueFd.h"
#include "frame/SharedMessage.h"

// One connected client of a frame server: its non-blocking socket, its Client queue and
// how far the message being written has gone. The server's loop thread alone reads and
// writes the socket; the main thread queues; the statistics may be read from any thread.
class CClientSession {
  public:
    // A Client queue is emptied once this many messages wait.
    static constexpr int kQueueLimit = 6;

    enum class WriteResult {
        Idle,     // everything queued is written
        Blocked,  // the socket takes no more for now; go on when it is writable
        Failed,   // the client has gone
    };

    CClientSession(intptr_t id, UniqueFd socket);
    CClientSession(const CClientSession&) = delete;
    CClientSession& operator=(const CClientSession&) = delete;

    // Queues the message (one more reference) after the drop rule.
    void Enqueue(const CSharedMessageRef& message);
    // Loop thread: writes queued messages until the queue is empty or the socket is full,
    // resuming a message where the last call stopped.
    WriteResult Write();
    // Loop thread: reads and throws away what the client sent, at most `budget` bytes.
    // False when the client has closed its side or the connection failed.
    bool Discard(uint8_t* scratch, size_t scratchSize, size_t budget);

    int GetHandle() const { return socket_.get(); }
    intptr_t GetId() const { return id_; }
    int GetQueueCount() const { return queued_.load(std::memory_order_relaxed); }
    uint64_t GetSentCount() const { return sent_.load(std::memory_order_relaxed); }
    uint64_t GetDroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

    // Loop thread: whether the loop waits for the socket to become writable.
    bool WaitsForWrite() const { return waitsForWrite_; }
    void SetWaitsForWrite(bool waits) { waitsForWrite_ = waits; }

  private:
    // With mutex_ held: the drop rule, applied before every add and every take.
    void TrimLocked();

    const intptr_t id_;
    const UniqueFd socket_;

    mutable std::mutex mutex_;  // guards queue_
    std::deque<CSharedMessageRef> queue_;
    std::atomic<int> queued_{0};  // queue_.size(), for readers that take no lock

    CSharedMessageRef writing_;   // loop thread: the message on the wire
    uint32_t written_ = 0;        // loop thread: bytes of it written
    bool waitsForWrite_ = false;  // loop thread

    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> dropped_{0};
};
