#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "base/MessagePoster.h"

struct PostedMessage {
    uint32_t id = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

// A thread-safe queue of posted messages and tasks. Any thread posts; one thread (the
// main thread) drains it with Pump. `wake`, when given, is called after each post,
// outside the lock, so an event loop can schedule a Pump.
class CMessageQueue : public IMessagePoster {
  public:
    using Handler = std::function<void(const PostedMessage&)>;

    explicit CMessageQueue(std::function<void()> wake = {}) : wake_(std::move(wake)) {}

    bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
    bool PostTask(std::function<void()> task) override;

    // Refuses every later post and discards what is still queued.
    void Close();
    bool IsClosed() const;

    // Main thread: handles everything queued now (messages through `handler`, tasks by
    // running them). Returns how many entries were handled.
    int Pump(const Handler& handler);

    // Main thread: waits up to `timeout` for at least one entry, then pumps.
    int WaitAndPump(const Handler& handler, std::chrono::milliseconds timeout);

    size_t Pending() const;

  private:
    struct Entry {
        PostedMessage msg;
        std::function<void()> task;  // set for tasks, empty for messages
    };
    bool Push(Entry entry);

    std::function<void()> wake_;
    mutable std::mutex mutex_;  // guards queue_ and closed_
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    bool closed_ = false;
};
