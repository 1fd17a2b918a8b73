#pragma once

#include <cstdint>
#include <functional>

// How any thread reaches the main thread. `app/` implements it on the Qt event loop;
// tests use CMessageQueue and pump it themselves. Messages and tasks posted by one
// thread are handled on the main thread in the order they were posted.
class IMessagePoster {
  public:
    virtual ~IMessagePoster() = default;

    // Any thread. False when the message could not be queued (shutdown has begun).
    virtual bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) = 0;

    // Any thread. Runs `task` on the main thread. False when it was not queued.
    virtual bool PostTask(std::function<void()> task) = 0;
};
