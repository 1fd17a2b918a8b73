#include "zeft/ZeftConnections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <malloc.h>

#include <algorithm>
#include <cerrno>

#include "base/Listener.h"
#include "zeft/ZeftClient.h"
#include "zeft/ZeftTuning.h"

namespace {

constexpr int kListenBacklog = 64;
constexpr size_t kReadBudget = 1024 * 1024;  // per connection and cycle, for fairness
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kAcceptPauseMs = 100;
constexpr int kMaxIovecs = 16;
// Replies up to this size are copied into one buffer of up to kOwnChunk bytes: a queue of
// many small refusals costs the bytes it holds, not an allocation or two each.
constexpr size_t kCopyBelow = 4096;
constexpr size_t kOwnChunk = 64 * 1024;
// A connection that held this much gives its memory back to the system when it closes;
// the allocator would keep it otherwise.
constexpr size_t kTrimAfter = 1024 * 1024;

bool Idle(const ZeftConn& c) {
    return c.monitors.empty() && c.callsPending == 0 && c.in.empty() && c.out.empty() &&
           c.discard == 0;
}

}  // namespace

int16_t CZeftConnections::Listen(uint16_t port, uint16_t* bound) {
    auto listener = OpenListener(nullptr, port, kListenBacklog);
    if (!listener)
        return kZeftListenFailed;
    *bound = listener.Value().port;
    listen_ = std::move(listener.Value().fd);
    return kZeftOk;
}

void CZeftConnections::AddPollFds(std::vector<pollfd>& fds, int64_t now) {
    // While accepting fails for want of descriptors the listening socket stays readable;
    // leave it out for a moment instead of spinning.
    fds.push_back(pollfd{now < acceptPausedUntil_ ? -1 : listen_.get(), POLLIN, 0});
    polled_.clear();
    for (auto& [id, c] : conns_) {
        short events = OverQueued(c) ? 0 : POLLIN;
        if (!c.out.empty())
            events |= POLLOUT;
        fds.push_back(pollfd{c.fd.get(), events, 0});
        polled_.push_back(id);
    }
}

void CZeftConnections::HandlePoll(const pollfd* fds, int64_t now) {
    if (fds[0].revents & POLLIN)
        Accept(now);
    for (size_t i = 0; i < polled_.size(); ++i) {
        ZeftConn* c = Find(polled_[i]);
        if (!c)
            continue;
        short re = fds[i + 1].revents;
        if (re & POLLNVAL) {
            c->dead = true;
            continue;
        }
        if (re & (POLLIN | POLLHUP | POLLERR))
            Read(*c, now);
        if (!c->dead && (re & POLLOUT))
            Flush(*c);
        if (!c->dead && c->held && !OverQueued(*c))
            ProcessInput(*c, now);
    }
}

void CZeftConnections::ExpireStale(int64_t now) {
    for (auto& [id, c] : conns_) {
        if (c.dead)
            continue;
        if (c.partialSince != 0 && now - c.partialSince > limits_.partialMessageTimeoutMs) {
            CloseBad(c);
        } else if (!c.out.empty() && now - c.writeProgress > limits_.writeTimeoutMs) {
            CloseBad(c);
        } else if (Idle(c) && now - c.lastActivity > limits_.idleTimeoutMs) {
            c.dead = true;
        }
    }
}

void CZeftConnections::RemoveDead(
    const std::function<void(uint64_t conn, uint32_t monitor, uint64_t contract)>& endMonitor) {
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (!it->second.dead) {
            ++it;
            continue;
        }
        for (auto& [monitorId, contractId] : it->second.monitors)
            endMonitor(it->first, monitorId, contractId);
        bool trim = it->second.queuedPeak >= kTrimAfter || it->second.in.capacity() >= kTrimAfter;
        it = conns_.erase(it);
        if (trim)
            ::malloc_trim(0);
    }
}

ZeftConn* CZeftConnections::Find(uint64_t id) {
    auto it = conns_.find(id);
    return it == conns_.end() || it->second.dead ? nullptr : &it->second;
}

size_t CZeftConnections::MaxBody() const {
    return kZeftCallFixedSize + 4 * (1 + kZeftMaxName) +
           static_cast<size_t>(g_zeftWorkAreaSize.load());
}

// One host gets a share of the connections; at the total, the connection silent longest
// that waits for nothing makes room, so idle sockets never lock operators out.
bool CZeftConnections::Admit(uint32_t peer) {
    int live = 0, fromPeer = 0;
    ZeftConn* oldestIdle = nullptr;
    for (auto& [id, c] : conns_) {
        if (c.dead)
            continue;
        ++live;
        fromPeer += c.peer == peer;
        if (Idle(c) && (!oldestIdle || c.lastActivity < oldestIdle->lastActivity))
            oldestIdle = &c;
    }
    if (fromPeer >= limits_.maxConnectionsPerPeer)
        return false;
    if (live < limits_.maxConnections)
        return true;
    if (!oldestIdle)
        return false;
    oldestIdle->dead = true;
    return true;
}

void CZeftConnections::Accept(int64_t now) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int fd = ::accept4(listen_.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + kAcceptPauseMs;
            return;
        }
        UniqueFd owned(fd);
        uint32_t address = 0;
        PeerIPv4(reinterpret_cast<const sockaddr*>(&peer), peerLength, &address);
        if (!Admit(address)) {
            stats_.refused.fetch_add(1);
            continue;  // closed at once
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint64_t id = nextId_++;
        ZeftConn& c = conns_[id];
        c.id = id;
        c.fd = std::move(owned);
        c.peer = address;
        c.lastActivity = now;
        stats_.accepted.fetch_add(1);
    }
}

void CZeftConnections::Read(ZeftConn& c, int64_t now) {
    uint8_t buf[kReadChunk];
    size_t total = 0;
    while (total < kReadBudget && !OverQueued(c)) {
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            total += static_cast<size_t>(n);
            size_t skip =
                static_cast<size_t>(std::min<uint64_t>(c.discard, static_cast<size_t>(n)));
            c.discard -= skip;
            c.in.insert(c.in.end(), buf + skip, buf + n);
            // Refuse an oversized request as soon as its header is in.
            ProcessInput(c, now);
            if (c.dead)
                return;
            continue;
        }
        if (n == 0) {
            c.dead = true;  // the peer closed
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            c.dead = true;
        return;
    }
}

void CZeftConnections::ProcessInput(ZeftConn& c, int64_t now) {
    size_t pos = 0;
    c.held = false;
    while (c.discard == 0 && c.in.size() - pos >= kZeftHeaderSize) {
        if (OverQueued(c)) {
            c.held = true;
            break;
        }
        ZeftWireHeader h;
        if (!ZeftParseHeader(c.in.data() + pos, &h) || h.type == ZeftMsgType::Reply ||
            (h.type == ZeftMsgType::Cancel && h.bodyLength != 0)) {
            CloseBad(c);
            return;
        }
        size_t available = c.in.size() - pos - kZeftHeaderSize;
        if (h.bodyLength > MaxBody()) {
            // Larger than the work area: refused without reading it into memory. Its
            // bytes are dropped as they come, within the time allowed for one message.
            stats_.calls.fetch_add(1);
            Refuse(c, h.id, kZeftRequestTooLarge);
            if (c.dead)
                return;
            size_t take = std::min<size_t>(available, h.bodyLength);
            c.discard = h.bodyLength - take;
            pos += kZeftHeaderSize + take;
            c.partialSince = c.discard ? now : 0;
            break;
        }
        if (available < h.bodyLength)
            break;
        c.lastActivity = now;
        handler_.HandleRequest(c, h.type, h.id, c.in.data() + pos + kZeftHeaderSize, h.bodyLength,
                               now);
        if (c.dead)
            return;
        pos += kZeftHeaderSize + h.bodyLength;
    }
    if (pos > 0) {
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<ptrdiff_t>(pos));
        if (c.discard == 0)
            c.partialSince = 0;
    }
    if (c.held) {
        c.partialSince = 0;  // waiting for this server, not for the peer
    } else if (c.discard > 0) {
        if (c.partialSince == 0)
            c.partialSince = now;
    } else if (c.in.empty()) {
        c.partialSince = 0;
    } else if (c.partialSince == 0) {
        c.partialSince = now;
    }
}

void CZeftConnections::Send(ZeftConn& c, uint32_t id, uint16_t flags, const ZeftBuffer& body,
                            bool droppable) {
    if (c.dead)
        return;
    size_t size = kZeftHeaderSize + body->size();
    // A reader that falls behind loses monitor replies, whole ones, never the stream's
    // framing; its queue stays bounded.
    if (droppable && c.queued + size > limits_.maxQueuedBytes && !c.out.empty()) {
        stats_.dropped.fetch_add(1);
        return;
    }
    if (c.out.empty())
        c.writeProgress = ZeftNowMs();
    uint8_t header[kZeftHeaderSize];
    ZeftWriteHeader(
        header, ZeftWireHeader{ZeftMsgType::Reply, flags, id, static_cast<uint32_t>(body->size())});
    if (body->size() >= kCopyBelow) {
        c.out.push_back(
            ZeftConn::Chunk{nullptr, std::vector<uint8_t>(header, header + kZeftHeaderSize), 0});
        c.out.push_back(ZeftConn::Chunk{body, {}, 0});
    } else {
        if (c.out.empty() || c.out.back().shared || c.out.back().own.size() + size > kOwnChunk)
            c.out.push_back(ZeftConn::Chunk{});
        std::vector<uint8_t>& own = c.out.back().own;
        own.insert(own.end(), header, header + kZeftHeaderSize);
        own.insert(own.end(), body->begin(), body->end());
    }
    c.queued += size;
    c.queuedPeak = std::max(c.queuedPeak, c.queued);
    if (c.queued > stats_.queuedPeak.load())
        stats_.queuedPeak.store(c.queued);
    Flush(c);
}

void CZeftConnections::Refuse(ZeftConn& c, uint32_t id, int16_t status) {
    stats_.callsRefused.fetch_add(1);
    Send(c, id, kZeftFlagFinal,
         std::make_shared<const std::vector<uint8_t>>(ZeftRefusalBody(status)), false);
}

void CZeftConnections::Flush(ZeftConn& c) {
    while (!c.out.empty()) {
        iovec iov[kMaxIovecs];
        int n = 0;
        for (auto it = c.out.begin(); it != c.out.end() && n < kMaxIovecs; ++it, ++n) {
            iov[n].iov_base = const_cast<uint8_t*>(it->Data() + it->offset);
            iov[n].iov_len = it->Size() - it->offset;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(n);
        ssize_t sent = ::sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.dead = true;
            return;
        }
        size_t left = static_cast<size_t>(sent);
        c.queued -= left;
        if (left > 0)
            c.writeProgress = ZeftNowMs();
        while (left > 0) {
            ZeftConn::Chunk& front = c.out.front();
            size_t rest = front.Size() - front.offset;
            if (left >= rest) {
                left -= rest;
                c.out.pop_front();
            } else {
                front.offset += left;
                left = 0;
            }
        }
        while (!c.out.empty() && c.out.front().offset == c.out.front().Size())
            c.out.pop_front();
    }
}

void CZeftConnections::CloseBad(ZeftConn& c) {
    if (!c.dead)
        stats_.closedBad.fetch_add(1);
    c.dead = true;
}
