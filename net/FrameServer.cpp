#include "net/FrameServer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "base/Listener.h"
#include "base/ThreadName.h"
#include "frame/FrameHeader.h"
#include "net/TcpSocket.h"

namespace {

// Thirty viewers reconnecting together must not overflow the queue (each overflow costs
// a client a retry a second later).
constexpr int kBacklog = 128;
constexpr int64_t kAcceptPauseMs = 100;
// What one readable event of a client may read and throw away, so that a client that
// sends without pause cannot starve the others.
constexpr size_t kDiscardBudget = 256 * 1024;
constexpr size_t kDiscardChunk = 64 * 1024;
constexpr int kMaxEvents = 64;

// epoll tags: session ids count from 1.
constexpr uint64_t kListenTag = 0;
constexpr uint64_t kWakeTag = UINT64_MAX;

// Session ids are unique in the process, so a notice can never name a later session.
std::atomic<intptr_t> g_nextSessionId{1};

// Accept failures that say nothing about the listening socket itself.
bool IsTransientAcceptError(int err) {
    switch (err) {
        case ECONNABORTED:
        case EPROTO:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Watch(int epoll, int op, int fd, uint32_t events, uint64_t tag) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    return ::epoll_ctl(epoll, op, fd, &ev) == 0;
}

}  // namespace

void CFrameServerBase::Shared::Refresh() const {
    if (showCount != 0 && display)
        display(clientCount.load());
}

CFrameServerBase::CFrameServerBase(IMessagePoster* poster, ILogSink* log)
    : poster_(poster), shared_(std::make_shared<Shared>()) {
    shared_->log = log;
    shared_->owner = this;
}

CFrameServerBase::~CFrameServerBase() {
    // The derived destructor has stopped the server already; this is the safety net.
    Stop();
    shared_->owner = nullptr;
}

int CFrameServerBase::GetClientCount() const {
    return shared_->clientCount.load();
}

void CFrameServerBase::SetShowClientCount(int flag) {
    shared_->showCount = flag;
    shared_->Refresh();
}

void CFrameServerBase::SetClientCountDisplay(std::function<void(int)> display) {
    shared_->display = std::move(display);
}

void CFrameServerBase::PostRefresh() {
    if (poster_ == nullptr)
        return;
    poster_->PostTask([weak = std::weak_ptr<Shared>(shared_)] {
        if (auto shared = weak.lock())
            shared->Refresh();
    });
}

void CFrameServerBase::PostGone(intptr_t id) {
    if (poster_ == nullptr)
        return;
    poster_->PostTask([weak = std::weak_ptr<Shared>(shared_), id] {
        if (auto shared = weak.lock(); shared && shared->owner)
            shared->owner->RemoveClient(id);
    });
}

void CFrameServerBase::PostLog(std::string text) {
    if (poster_ == nullptr)
        return;
    poster_->PostTask([weak = std::weak_ptr<Shared>(shared_), text = std::move(text)] {
        if (auto shared = weak.lock())
            LogMessage(shared->log, "%s", text.c_str());
    });
}

int CFrameServerBase::Start(uint16_t port, int clientLimit, const char* address) {
    if (started_)
        return 1;
    shared_->clientCount = 0;
    shared_->Refresh();
    clientLimit_ = clientLimit;
    stopping_ = 0;
    loopStop_ = false;
    acceptPausedUntil_ = 0;

    auto listener = OpenListener(address, port, kBacklog);
    if (!listener)
        return 0;
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll || !wake ||
        !Watch(epoll.get(), EPOLL_CTL_ADD, listener.Value().fd.get(), EPOLLIN, kListenTag) ||
        !Watch(epoll.get(), EPOLL_CTL_ADD, wake.get(), EPOLLIN, kWakeTag))
        return 0;
    listen_ = std::move(listener.Value().fd);
    port_ = listener.Value().port;
    epoll_ = std::move(epoll);
    wakeFd_ = std::move(wake);
    try {
        loop_ = std::thread(&CFrameServerBase::Loop, this);
    } catch (const std::system_error&) {
        listen_.reset();
        epoll_.reset();
        wakeFd_.reset();
        return 0;
    }
    started_ = true;
    return 1;
}

void CFrameServerBase::Wake() {
    const uint64_t one = 1;
    // Fails only when the counter is full, and then the loop is woken anyway.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

void CFrameServerBase::Loop() {
    NameThisThread("lx-frames");
    // Same share of the CPU, but the woken loop does not preempt the main thread in the
    // middle of its frame. Failure only loses that refinement.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    scratch_.resize(kDiscardChunk);
    epoll_event events[kMaxEvents];
    while (!loopStop_.load()) {
        int timeout = -1;
        if (acceptPausedUntil_ != 0)
            timeout = static_cast<int>(std::max<int64_t>(0, acceptPausedUntil_ - NowMs()));
        int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, timeout);
        if (n < 0 && errno != EINTR) {
            // Only a broken descriptor gets here; nothing the loop could retry.
            PostLog("FrameServer: the event loop failed, no more clients are served!");
            return;
        }
        if (acceptPausedUntil_ != 0 && NowMs() >= acceptPausedUntil_) {
            acceptPausedUntil_ = 0;
            Watch(epoll_.get(), EPOLL_CTL_MOD, listen_.get(), EPOLLIN, kListenTag);
        }
        bool woken = false;
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kListenTag) {
                AcceptClients();
            } else if (tag == kWakeTag) {
                uint64_t count;
                [[maybe_unused]] ssize_t k = ::read(wakeFd_.get(), &count, sizeof count);
                woken = true;
            } else {
                OnSessionEvent(static_cast<intptr_t>(tag), events[i].events);
            }
        }
        if (!woken)
            continue;
        std::vector<intptr_t> forget;
        {
            std::lock_guard lock(clientsMutex_);
            forget.swap(forget_);
        }
        for (intptr_t id : forget)
            Forget(id);
        // New messages, most likely: every session not waiting for its socket writes now.
        for (auto it = watched_.begin(); it != watched_.end();) {
            CClientSession& session = *(it++)->second;  // WriteTo may remove it
            if (!session.WaitsForWrite())
                WriteTo(session);
        }
    }
}
void CFrameServerBase::OnSessionEvent(intptr_t id, uint32_t events) {
    // An earlier event of the same batch may have removed it.
    auto it = watched_.find(id);
    if (it == watched_.end())
        return;
    CClientSession& session = *it->second;
    if ((events & (EPOLLERR | EPOLLHUP)) != 0 ||
        ((events & EPOLLIN) != 0 &&
         !session.Discard(scratch_.data(), scratch_.size(), kDiscardBudget))) {
        Gone(session);
        return;
    }
    if ((events & EPOLLOUT) != 0)
        WriteTo(session);
}

void CFrameServerBase::WriteTo(CClientSession& session) {
    switch (session.Write()) {
        case CClientSession::WriteResult::Idle:
            if (session.WaitsForWrite() && Watch(epoll_.get(), EPOLL_CTL_MOD, session.GetHandle(),
                                                 EPOLLIN, static_cast<uint64_t>(session.GetId())))
                session.SetWaitsForWrite(false);
            break;
        case CClientSession::WriteResult::Blocked:
            if (!session.WaitsForWrite() &&
                Watch(epoll_.get(), EPOLL_CTL_MOD, session.GetHandle(), EPOLLIN | EPOLLOUT,
                      static_cast<uint64_t>(session.GetId())))
                session.SetWaitsForWrite(true);
            break;
        case CClientSession::WriteResult::Failed:
            Gone(session);
            break;
    }
}

void CFrameServerBase::AcceptClients() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        int fd = ::accept4(listen_.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (err == EAGAIN || err == EWOULDBLOCK)
                return;
            if (IsTransientAcceptError(err)) {
                // The listening socket stays readable while this lasts: look away a while
                // instead of spinning.
                acceptPausedUntil_ = NowMs() + kAcceptPauseMs;
                Watch(epoll_.get(), EPOLL_CTL_MOD, listen_.get(), 0, kListenTag);
                return;
            }
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listen_.get(), nullptr);
            PostLog(FormatLogText("FrameServer: %s, no more clients are accepted!",
                                  CTcpSocket::ErrorText(CTcpSocket::kErrAccept, err).c_str()));
            return;
        }
        UniqueFd socket(fd);
        if (!viewHosts_.Allows(reinterpret_cast<const sockaddr*>(&peer), peerLength)) {
            refused_.fetch_add(1);
            continue;
        }
        Admit(std::move(socket));
    }
}

void CFrameServerBase::Admit(UniqueFd socket) {
    int count = shared_->clientCount.fetch_add(1) + 1;
    Session session;
    const intptr_t id = g_nextSessionId.fetch_add(1);
    // Over the limit the client sees its connection closed, nothing else.
    if (count <= clientLimit_) {
        try {
            session = std::make_shared<CClientSession>(id, std::move(socket));
        } catch (const std::bad_alloc&) {
        }
    }
    if (!session || !Watch(epoll_.get(), EPOLL_CTL_ADD, session->GetHandle(), EPOLLIN,
                           static_cast<uint64_t>(id))) {
        shared_->clientCount.fetch_sub(1);
        PostRefresh();
        return;
    }
    watched_.emplace(id, session);
    {
        std::lock_guard lock(clientsMutex_);
        clients_.push_back(std::move(session));
    }
    PostRefresh();
}

void CFrameServerBase::Gone(CClientSession& session) {
    const intptr_t id = session.GetId();
    Forget(id);  // may free the session: the main thread may have let it go already
    PostGone(id);
}

void CFrameServerBase::Forget(intptr_t id) {
    auto it = watched_.find(id);
    if (it == watched_.end())
        return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second->GetHandle(), nullptr);
    watched_.erase(it);
}

void CFrameServerBase::Retire(const CClientSession& session) {
    departedSent_ += session.GetSentCount();
    departedDropped_ += session.GetDroppedCount();
    shared_->clientCount.fetch_sub(1);
    shared_->Refresh();
}

int CFrameServerBase::Stop() {
    if (!started_)
        return 1;
    stopping_ = 1;
    loopStop_ = true;
    Wake();
    if (loop_.joinable())
        loop_.join();
    // The loop has ended: its sessions are this thread's now, and none can be added.
    watched_.clear();
    listen_.reset();
    epoll_.reset();
    wakeFd_.reset();
    std::vector<Session> sessions;
    {
        std::lock_guard lock(clientsMutex_);
        sessions.swap(clients_);
        forget_.clear();
    }
    for (const Session& session : sessions)
        Retire(*session);
    sessions.clear();  // closes the sockets and frees the queued messages
    started_ = false;
    if (shared_->clientCount != 0)
        return 0;
    stopping_ = 0;
    return 1;
}

int CFrameServerBase::RemoveClient(intptr_t sessionId) {
    if (stopping_ != 0 || !started_)
        return 0;
    Session found;
    {
        std::lock_guard lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end(); ++it) {
            if ((*it)->GetId() == sessionId) {
                found = std::move(*it);
                clients_.erase(it);
                forget_.push_back(sessionId);
                break;
            }
        }
    }
    if (!found)
        return 0;
    Wake();
    Retire(*found);
    return 0;
}

int CFrameServerBase::Distribute(const void* message, uint32_t length) {
    if (!started_)
        return 1;
    if (message == nullptr || length < kFrameHeaderSize)
        return 0;
    uint32_t total;
    std::memcpy(&total, static_cast<const uint8_t*>(message) + 8, sizeof total);
    // A length the header does not keep would desynchronise every client's stream.
    if (total < kFrameHeaderSize || total > length)
        return 0;
    {
        std::lock_guard lock(clientsMutex_);
        distributing_.assign(clients_.begin(), clients_.end());
    }
    if (distributing_.empty() && !WantsMessages())
        return 1;
    // One copy for every client and the sink; on allocation failure all skip this frame.
    CSharedMessageRef shared = CSharedMessageRef::Create(message, total);
    if (shared && !distributing_.empty()) {
        for (const Session& session : distributing_)
            session->Enqueue(shared);
        Wake();
    }
    distributing_.clear();
    if (shared)
        OnDistributed(shared);
    return 1;
}

std::vector<CFrameServerBase::SessionStats> CFrameServerBase::GetSessionStats() const {
    std::vector<SessionStats> stats;
    std::lock_guard lock(clientsMutex_);
    stats.reserve(clients_.size());
    for (const Session& s : clients_)
        stats.push_back({s->GetId(), s->GetQueueCount(), s->GetSentCount(), s->GetDroppedCount()});
    return stats;
}

CFrameServer::CFrameServer(IMessagePoster* poster, ILogSink* log) : CFrameServerBase(poster, log) {}

CFrameServer::~CFrameServer() {
    Stop();
}

void CFrameServer::OnDistributed(const CSharedMessageRef& message) {
    if (sink_)
        sink_(message);
}

CLossyFrameServer::CLossyFrameServer(IMessagePoster* poster, ILogSink* log)
    : CFrameServerBase(poster, log) {}

CLossyFrameServer::~CLossyFrameServer() {
    Stop();
}
