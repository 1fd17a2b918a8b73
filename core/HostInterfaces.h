#pragma once

// What the main controller needs of the event loop besides posting messages.
// Implemented by app/ on Qt; main thread only.
class ITimerHost {
  public:
    virtual ~ITimerHost() = default;
    // Starts (or restarts) the periodic timer `id`; the controller's OnTimer(id) runs
    // every `periodMs`.
    virtual void SetTimer(int id, int periodMs) = 0;
    virtual void KillTimer(int id) = 0;
};

class IDialogHost {
  public:
    virtual ~IDialogHost() = default;
    // Leaves the main window's loop; the application then runs its exit steps.
    virtual void EndDialog(int result) = 0;
};

constexpr int IDOK = 1;
