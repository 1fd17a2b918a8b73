#pragma once

#include <memory>

#include "base/MessagePoster.h"
#include "base/UniqueFd.h"

class QSocketNotifier;

// Turns SIGUSR1 into WM_GRAB_START and SIGTERM/SIGINT into WM_SERVER_QUIT, posted to the
// main thread through a self-pipe. The handler only writes one byte, so it is safe on any
// thread. One instance per process; main thread only.
class CSignalBridge {
  public:
    explicit CSignalBridge(IMessagePoster* poster);
    ~CSignalBridge();
    bool Ok() const { return ok_; }

  private:
    void OnReadable();

    IMessagePoster* poster_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool ok_ = false;
};
