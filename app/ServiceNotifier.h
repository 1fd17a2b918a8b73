#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/HostInterfaces.h"

class QTimer;

// Tells systemd how the server stands, when systemd started it (NOTIFY_SOCKET set): ready
// once the channels serve, stopping at shutdown, and from a timer of the main loop the
// watchdog's keep-alive and a status line. A main loop that stops turning stops the
// keep-alives, and systemd restarts the process. Without NOTIFY_SOCKET it does nothing.
// Owned by the application; main thread only.
class CServiceNotifier : public IServiceNotifier {
  public:
    using StatusText = std::function<std::string()>;

    CServiceNotifier();
    ~CServiceNotifier() override;
    CServiceNotifier(const CServiceNotifier&) = delete;
    CServiceNotifier& operator=(const CServiceNotifier&) = delete;

    // Where the status line comes from; set before the main loop runs.
    void SetStatusText(StatusText status) { status_ = std::move(status); }

    void Ready() override;
    void Stopping() override;

  private:
    void Tick();
    void Send(std::string state);

    StatusText status_;
    std::string lastStatus_;
    bool watchdog_ = false;
    std::unique_ptr<QTimer> timer_;  // null when no service manager listens
};
