#pragma once

class CIniFile;

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

// The configuration dialog, run modally by the controller's reconfiguration. The dialog
// edits both stores and saves what it changed. False when it could not be created.
class IConfigDialog {
  public:
    virtual ~IConfigDialog() = default;
    virtual bool Run(CIniFile& config, CIniFile& hardware) = 0;
};

// The environment publication's worker, started at bring-up and stopped by the shutdown.
class IEnvironmentPublisher {
  public:
    virtual ~IEnvironmentPublisher() = default;
    virtual void Start() = 0;
    // The environment timer fired: publish again.
    virtual void Request() = 0;
    // Returns once the worker has ended.
    virtual void Stop() = 0;
};

// The service manager that started the process (systemd), told how the server stands.
// Main thread only.
class IServiceNotifier {
  public:
    virtual ~IServiceNotifier() = default;
    // The frame channels are up: the server serves.
    virtual void Ready() = 0;
    // The shutdown sequence has begun.
    virtual void Stopping() = 0;
};

constexpr int IDOK = 1;
