#include "app/QtMessageLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

CQtMessageLoop::CQtMessageLoop()
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), queue_([this] { Wake(); }) {
    if (!wakeFd_) {
        // Without it no posted message would ever be handled: the server could not run.
        std::perror("eventfd");
        std::abort();
    }
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_.get(), QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
}

CQtMessageLoop::~CQtMessageLoop() {
    queue_.Close();
}

void CQtMessageLoop::SetHandlers(MessageHandler onMessage, TimerHandler onTimer) {
    onMessage_ = std::move(onMessage);
    onTimer_ = std::move(onTimer);
}

bool CQtMessageLoop::PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) {
    return queue_.PostMessage(id, wParam, lParam);
}

bool CQtMessageLoop::PostTask(std::function<void()> task) {
    return queue_.PostTask(std::move(task));
}

void CQtMessageLoop::Wake() {
    // One pending wake-up drains everything queued, so a burst costs one write.
    if (wakePending_.exchange(true))
        return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

void CQtMessageLoop::Drain() {
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
    wakePending_.store(false);
    queue_.Pump([this](const PostedMessage& msg) {
        if (onMessage_)
            onMessage_(msg);
    });
}

void CQtMessageLoop::SetTimer(int id, int periodMs) {
    auto& timer = timers_[id];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, this, [this, id] {
            if (onTimer_)
                onTimer_(id);
        });
    }
    timer->start(periodMs);
}

void CQtMessageLoop::KillTimer(int id) {
    // Stopped, not deleted: this may run inside the timer's own timeout.
    auto it = timers_.find(id);
    if (it != timers_.end())
        it->second->stop();
}

void CQtMessageLoop::EndDialog(int result) {
    result_ = result;
    QCoreApplication::exit(result);
}

int CQtMessageLoop::Run() {
    QCoreApplication::exec();
    return result_;
}

void CQtMessageLoop::Close() {
    queue_.Close();
    for (auto& [id, timer] : timers_)
        timer->stop();
}
