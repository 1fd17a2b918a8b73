#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <QTimer>
#include <algorithm>
#include <cstdlib>

namespace {

// The status line is refreshed this often even without a watchdog.
constexpr uint64_t kStatusPeriodMs = 2000;

bool IsSet(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

}  // namespace

CServiceNotifier::CServiceNotifier() {
    if (!IsSet("NOTIFY_SOCKET"))
        return;
    uint64_t usec = 0;
    watchdog_ = sd_watchdog_enabled(0, &usec) > 0;
    // A quarter of the watchdog's time leaves room for a busy machine.
    const uint64_t periodMs =
        watchdog_ ? std::clamp<uint64_t>(usec / 4000, 1, kStatusPeriodMs) : kStatusPeriodMs;
    timer_ = std::make_unique<QTimer>();
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Tick(); });
    timer_->start(static_cast<int>(periodMs));
}

CServiceNotifier::~CServiceNotifier() = default;

void CServiceNotifier::Ready() {
    // The bring-up before this ran without the loop's keep-alives: the time starts afresh.
    if (timer_)
        Send(watchdog_ ? "READY=1\nWATCHDOG=1\n" : "READY=1\n");
}

void CServiceNotifier::Stopping() {
    if (!timer_)
        return;
    timer_->stop();
    Send("STOPPING=1\n");
}

void CServiceNotifier::Tick() {
    Send(watchdog_ ? "WATCHDOG=1\n" : "");
}

void CServiceNotifier::Send(std::string state) {
    // The status goes along only when it changed: systemd keeps the last one.
    std::string status = status_ ? status_() : std::string();
    if (status != lastStatus_) {
        state += "STATUS=" + status + "\n";
        lastStatus_ = std::move(status);
    }
    if (!state.empty())
        sd_notify(0, state.c_str());
}
