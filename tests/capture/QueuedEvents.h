#pragma once

#include "base/MessageQueue.h"
#include "capture/CaptureEvents.h"

// Capture events as messages on a queue the test pumps, as a main thread would see them.
class CQueuedCaptureEvents : public ICaptureEvents {
  public:
    static constexpr uint32_t kFrameQueued = 1;
    static constexpr uint32_t kStreamFailed = 2;

    explicit CQueuedCaptureEvents(CMessageQueue& queue) : queue_(queue) {}
    bool FrameQueued() override { return queue_.PostMessage(kFrameQueued, 0, 0); }
    void StreamFailed() override { queue_.PostMessage(kStreamFailed, 0, 0); }

  private:
    CMessageQueue& queue_;
};
