#include "base/MessageQueue.h"

bool CMessageQueue::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
    return Push(Entry{PostedMessage{id, wParam, lParam}, {}});
}

bool CMessageQueue::PostTask(std::function<void()> task) {
    if (!task)
        return false;
    return Push(Entry{{}, std::move(task)});
}

bool CMessageQueue::Push(Entry entry) {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        queue_.push_back(std::move(entry));
    }
    cv_.notify_one();
    if (wake_)
        wake_();
    return true;
}

void CMessageQueue::Close() {
    std::deque<Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
    }
    cv_.notify_all();
    // `dropped` (and any captured state of its tasks) is destroyed outside the lock.
}

bool CMessageQueue::IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

size_t CMessageQueue::Pending() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

int CMessageQueue::Pump(const Handler& handler) {
    std::deque<Entry> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
    }
    int handled = 0;
    for (auto& entry : batch) {
        if (entry.task)
            entry.task();
        else if (handler)
            handler(entry.msg);
        ++handled;
    }
    return handled;
}

int CMessageQueue::WaitAndPump(const Handler& handler, std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; });
    }
    return Pump(handler);
}
