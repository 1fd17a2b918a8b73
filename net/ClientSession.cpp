#include "net/ClientSession.h"

#include <sys/socket.h>

#include <cerrno>

CClientSession::CClientSession(intptr_t id, UniqueFd socket)
    : id_(id), socket_(std::move(socket)) {}

void CClientSession::TrimLocked() {
    if (queue_.size() < static_cast<size_t>(kQueueLimit))
        return;
    dropped_.fetch_add(queue_.size(), std::memory_order_relaxed);
    queue_.clear();
    queued_.store(0, std::memory_order_relaxed);
}

void CClientSession::Enqueue(const CSharedMessageRef& message) {
    std::lock_guard lock(mutex_);
    TrimLocked();
    queue_.push_back(message);
    queued_.store(static_cast<int>(queue_.size()), std::memory_order_relaxed);
}

CClientSession::WriteResult CClientSession::Write() {
    for (;;) {
        if (!writing_) {
            std::lock_guard lock(mutex_);
            TrimLocked();
            if (queue_.empty())
                return WriteResult::Idle;
            writing_ = std::move(queue_.front());
            queue_.pop_front();
            queued_.store(static_cast<int>(queue_.size()), std::memory_order_relaxed);
            written_ = 0;
        }
        // A message is never abandoned halfway while the client stays: the rest of its
        // stream would be unreadable.
        const uint32_t length = writing_->Length();
        while (written_ < length) {
            ssize_t n = ::send(socket_.get(), writing_->Data() + written_, length - written_,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written_ += static_cast<uint32_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return WriteResult::Blocked;
            } else {
                writing_.Reset();
                return WriteResult::Failed;
            }
        }
        writing_.Reset();
        sent_.fetch_add(1, std::memory_order_relaxed);
    }
}

bool CClientSession::Discard(uint8_t* scratch, size_t scratchSize, size_t budget) {
    size_t read = 0;
    while (read < budget) {
        ssize_t n = ::recv(socket_.get(), scratch, scratchSize, MSG_DONTWAIT);
        if (n > 0) {
            read += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}
