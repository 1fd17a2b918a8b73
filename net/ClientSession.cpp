#include "net/ClientSession.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <system_error>

#include "base/ThreadName.h"

namespace {
constexpr int kDiscardUnit = 1000;
}  // namespace

CClientSession::CClientSession(intptr_t id, std::unique_ptr<CTcpSocket> socket, GoneNotice gone,
                               std::shared_ptr<CSendWakeup> wakeup)
    : id_(id),
      socket_(std::move(socket)),
      gone_(std::move(gone)),
      wakeup_(wakeup ? std::move(wakeup) : std::make_shared<CSendWakeup>()) {}

CClientSession::~CClientSession() {
    RequestStop();
    JoinThreads();
}

int CClientSession::StartThreads() {
    stopReceiving_ = 0;
    stopSending_ = 0;
    launch_ = kLaunching;
    int rc = 1;
    try {
        receiveThread_ = std::thread(&CClientSession::ReceiveThread, this);
        sendThread_ = std::thread(&CClientSession::SendThread, this);
    } catch (const std::system_error&) {
        rc = 0;
    }
    // A thread that has started may already have posted the client-gone notice; the
    // removal on the main thread waits here until the thread objects are complete.
    launch_.store(kLaunched, std::memory_order_release);
    launch_.notify_all();
    if (rc == 0) {
        RequestStop();
        JoinThreads();
    }
    return rc;
}

void CClientSession::RequestStop() {
    stopSending_ = 1;
    stopReceiving_ = 1;
    if (socket_ && socket_->IsOpen())
        socket_->Shutdown(SHUT_RDWR);
    wakeup_->WakeAll();
}

void CClientSession::JoinThreads() {
    while (launch_.load(std::memory_order_acquire) == kLaunching)
        launch_.wait(kLaunching, std::memory_order_acquire);
    if (receiveThread_.joinable())
        receiveThread_.join();
    if (sendThread_.joinable())
        sendThread_.join();
}

int CClientSession::ThreadsStopped() const {
    return receiveRunning_ == 0 && sendRunning_ == 0 ? 1 : 0;
}

void CClientSession::Trim() {
    int expected = 0;
    if (!purge_.compare_exchange_strong(expected, 1))
        return;  // the other side is trimming
    int count = queue_.GetCount();
    if (count >= kQueueLimit) {
        for (int i = 0; i < count; ++i) {
            if (queue_.RemoveHead())
                dropped_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    purge_ = 0;
}

int CClientSession::Enqueue(const CSharedMessageRef& message, bool wake) {
    Trim();
    queue_.AddTail(message);
    if (wake)
        wakeup_->WakeAll();
    return 1;
}

void CClientSession::ClientGone() {
    if (goneNotified_.exchange(true))
        return;
    if (gone_)
        gone_(id_);
}

void CClientSession::ReceiveThread() {
    NameThisThread("lx-receive");
    receiveRunning_ = 1;
    char buffer[1024];
    while (stopReceiving_ == 0) {
        if (socket_->Receive(buffer, kDiscardUnit, 0) == -1) {
            if (stopReceiving_ == 0) {
                stopSending_ = 1;
                wakeup_->WakeAll();
                ClientGone();
            }
            break;
        }
    }
    receiveRunning_ = 0;
}

void CClientSession::SendThread() {
    NameThisThread("lx-send");
    sendRunning_ = 1;
    // Same share of the CPU, but a woken sender does not preempt the running thread:
    // without this, one Distribute that wakes 100 senders leaves the main thread waiting
    // behind all of them for milliseconds. Failure only loses that refinement.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    for (;;) {
        // Read before looking at the stop flag and the queue: a stop or a message that
        // comes after the look changes it, so the wait below cannot miss either.
        int seen = wakeup_->Generation();
        if (stopSending_ != 0)
            break;
        Trim();
        CSharedMessageRef m = queue_.RemoveHead();
        if (!m) {
            wakeup_->Wait(seen);
            continue;
        }
        int64_t rc = socket_->Send(m->Data(), m->Length(), 0);
        m.Reset();
        if (rc == -1) {
            if (stopSending_ == 0) {
                stopReceiving_ = 1;
                // Wakes the receive thread; the descriptor stays open until the session dies.
                socket_->Shutdown(SHUT_RDWR);
                ClientGone();
            }
            break;
        }
        sent_.fetch_add(1, std::memory_order_relaxed);
    }
    sendRunning_ = 0;
}
