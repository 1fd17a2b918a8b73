#include "net/FrameServer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "base/ThreadName.h"
#include "frame/FrameHeader.h"

namespace {

// Thirty viewers reconnecting together must not overflow the queue (each overflow costs
// a client a retry a second later).
constexpr int kBacklog = 128;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

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

    auto listen = std::make_unique<CTcpSocket>();
    if (!listen->Create(port, SOCK_STREAM, address) || !listen->Listen(kBacklog))
        return 0;
    port_ = listen->GetLocalPort();
    listen_ = std::move(listen);
    acceptRunning_ = 1;  // set before the thread runs, so Stop always waits for it
    try {
        acceptThread_ = std::thread(&CFrameServerBase::AcceptThread, this);
    } catch (const std::system_error&) {
        acceptRunning_ = 0;
        listen_.reset();
        return 0;
    }
    started_ = true;
    return 1;
}

void CFrameServerBase::AcceptThread() {
    NameThisThread("lx-accept");
    while (stopping_ == 0) {
        auto socket = std::make_unique<CTcpSocket>();
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        if (!listen_->Accept(*socket, &peer, &peerLength)) {
            if (stopping_ != 0)
                break;
            if (IsTransientAcceptError(listen_->GetLastErrno())) {
                std::this_thread::sleep_for(kAcceptRetry);
                continue;
            }
            PostLog(FormatLogText("FrameServer: %s, no more clients are accepted!",
                                  listen_->GetErrorText().c_str()));
            break;
        }
        if (!viewHosts_.Allows(reinterpret_cast<const sockaddr*>(&peer), peerLength)) {
            socket->Close();
            refused_.fetch_add(1);
            continue;
        }
        int count = shared_->clientCount.fetch_add(1) + 1;
        if (count > clientLimit_) {
            // Over the limit: the client sees its connection closed, nothing else.
            socket->Close();
            shared_->clientCount.fetch_sub(1);
            PostRefresh();
            continue;
        }
        intptr_t id = g_nextSessionId.fetch_add(1);
        CClientSession* session = new (std::nothrow) CClientSession(
            id, std::move(socket), [this](intptr_t gone) { PostGone(gone); }, wakeup_);
        if (session == nullptr) {
            shared_->clientCount.fetch_sub(1);
            PostRefresh();
            continue;
        }
        // Listed before its threads run, so its client-gone notice always finds it.
        clients_.AddTail(session);
        if (!session->StartThreads())
            PostGone(id);
        PostRefresh();
    }
    acceptRunning_ = 0;
}

void CFrameServerBase::DeleteSession(CClientSession* session) {
    session->RequestStop();
    session->JoinThreads();
    departedSent_ += session->GetSentCount();
    departedDropped_ += session->GetDroppedCount();
    delete session;  // closes and frees the socket and the queued messages
    shared_->clientCount.fetch_sub(1);
    shared_->Refresh();
}

int CFrameServerBase::Stop() {
    if (!started_)
        return 1;
    stopping_ = 1;
    // The accept thread goes first, so no session can be added after the list is emptied.
    listen_->Shutdown(SHUT_RDWR);
    if (acceptThread_.joinable())
        acceptThread_.join();
    listen_.reset();
    while (CClientSession* session = clients_.RemoveHead())
        DeleteSession(session);
    started_ = false;
    if (shared_->clientCount != 0)
        return 0;
    stopping_ = 0;
    return 1;
}

int CFrameServerBase::RemoveClient(intptr_t sessionId) {
    if (stopping_ != 0)
        return 0;
    // Only this thread removes sessions, so the one found stays valid.
    CClientSession* found = nullptr;
    int count = clients_.GetCount();
    for (int i = 0; i < count && found == nullptr; ++i) {
        CClientSession* s = clients_.GetAt(i);
        if (s != nullptr && s->GetId() == sessionId)
            found = s;
    }
    if (found == nullptr || !clients_.Remove(found))
        return 0;
    DeleteSession(found);
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
    int count = clients_.GetCount();
    if (count == 0 && !WantsMessages())
        return 1;
    // One copy for every client and the sink; on allocation failure all skip this frame.
    CSharedMessageRef shared = CSharedMessageRef::Create(message, total);
    if (shared && count > 0) {
        for (int i = 0; i < count; ++i) {
            if (CClientSession* s = clients_.GetAt(i))
                s->Enqueue(shared, false);
        }
        wakeup_->WakeAll();
    }
    if (shared)
        OnDistributed(shared);
    return 1;
}

std::vector<CFrameServerBase::SessionStats> CFrameServerBase::GetSessionStats() const {
    std::vector<SessionStats> stats;
    int count = clients_.GetCount();
    for (int i = 0; i < count; ++i) {
        if (const CClientSession* s = clients_.GetAt(i))
            stats.push_back(
                {s->GetId(), s->GetQueueCount(), s->GetSentCount(), s->GetDroppedCount()});
    }
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
