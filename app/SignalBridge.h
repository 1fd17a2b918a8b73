#pragma once

#include <memory>

#include "base/ControllerRequests.h"
#include "base/UniqueFd.h"

class QSocketNotifier;

// Turns SIGUSR1 into a start request and SIGTERM/SIGINT into a quit request, through a
// self-pipe read by the main loop. The handler only writes one byte, so it is safe on any
// thread. Signals that arrive before the target is set wait in the pipe. One instance per
// process; main thread only.
class CSignalBridge {
  public:
    CSignalBridge();
    ~CSignalBridge();
    bool Ok() const { return ok_; }
    // The controller the requests go to; set before the loop runs.
    void SetTarget(IControllerRequests* target) { target_ = target; }

  private:
    void OnReadable();

    IControllerRequests* target_ = nullptr;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool ok_ = false;
};
