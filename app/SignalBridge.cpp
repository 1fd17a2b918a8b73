#include "app/SignalBridge.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {

volatile sig_atomic_t g_writeFd = -1;
const int kSignals[] = {SIGUSR1, SIGTERM, SIGINT};

extern "C" void OnSignal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    if (g_writeFd >= 0) {
        // A full pipe means the request is already pending; losing a duplicate is fine.
        [[maybe_unused]] ssize_t n = ::write(g_writeFd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

CSignalBridge::CSignalBridge() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd_.reset(fds[0]);
    writeEnd_.reset(fds[1]);
    g_writeFd = writeEnd_.get();

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals)
        ::sigaction(s, &sa, nullptr);

    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    ok_ = true;
}

CSignalBridge::~CSignalBridge() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals) {
        // A late SIGUSR1 must not kill a process that is already leaving cleanly.
        if (s == SIGUSR1)
            sa.sa_handler = SIG_IGN;
        ::sigaction(s, &sa, nullptr);
        sa.sa_handler = SIG_DFL;
    }
    g_writeFd = -1;
}

void CSignalBridge::OnReadable() {
    if (target_ == nullptr)
        return;
    unsigned char buf[64];
    ssize_t n;
    while ((n = ::read(readEnd_.get(), buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGUSR1)
                target_->Post(ControllerCommand::kStart);
            else
                target_->Post(ControllerCommand::kQuit);
        }
    }
}
