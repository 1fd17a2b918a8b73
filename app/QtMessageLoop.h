#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "base/MessageQueue.h"
#include "base/UniqueFd.h"
#include "core/HostInterfaces.h"

class QSocketNotifier;
class QTimer;

// Message loop glue on the Qt event loop of the main thread: posted messages and tasks
// from any thread are handled in order on the main thread, timers keep their ids, and
// EndDialog leaves the loop. Posting after Close (shutdown) is refused harmlessly.
// Other threads never call into Qt: they queue under a mutex and write an eventfd that
// the main thread watches. Lives until every thread that may post has been joined.
class CQtMessageLoop : public QObject,
                       public IMessagePoster,
                       public ITimerHost,
                       public IDialogHost {
  public:
    using MessageHandler = std::function<void(const PostedMessage&)>;
    using TimerHandler = std::function<void(int id)>;

    CQtMessageLoop();
    ~CQtMessageLoop() override;

    void SetHandlers(MessageHandler onMessage, TimerHandler onTimer);

    bool PostMessage(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
    bool PostTask(std::function<void()> task) override;
    void SetTimer(int id, int periodMs) override;
    void KillTimer(int id) override;
    void EndDialog(int result) override;

    // Runs the loop until EndDialog; returns its result.
    int Run();
    // Refuses later posts and drops what is still queued.
    void Close();

  private:
    void Wake();
    void Drain();

    UniqueFd wakeFd_;  // eventfd, readable while a drain is due
    std::unique_ptr<QSocketNotifier> wakeNotifier_;
    CMessageQueue queue_;
    std::atomic<bool> wakePending_{false};
    MessageHandler onMessage_;
    TimerHandler onTimer_;
    std::map<int, std::unique_ptr<QTimer>> timers_;
    int result_ = 0;
};
