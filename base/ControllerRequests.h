#pragma once

// What the buttons, the autostart, the signals, the control system, the web and a settings
// apply may ask of the main controller. Each goes through one state table, which takes the
// command or refuses it with a reason.
enum class ControllerCommand {
    kStart,          // start grabbing
    kStop,           // stop grabbing
    kApplySettings,  // stop, make the pending camera settings current, start again
    kQuit,           // the normal shutdown sequence
    kConfigure,      // tear down, run the configuration dialog, bring up again
};

struct Outcome {
    enum Code {
        kAccepted,  // carried out
        kRefused,   // the state does not allow it; nothing was done
        kFailed,    // allowed, tried, and it did not work (the log tells why)
    };
    Code code = kAccepted;
    const char* reason = "";  // one line for the asker; "" when accepted
    bool Accepted() const { return code == kAccepted; }
};

class IControllerRequests {
  public:
    virtual ~IControllerRequests() = default;

    // Carries `command` out when the state allows it. Main thread.
    virtual Outcome Request(ControllerCommand command) = 0;
    // What Request would answer now, without acting. Main thread.
    virtual Outcome Check(ControllerCommand command) const = 0;
    // Request, queued for the main thread after the caller's own work (a control-system
    // call is answered first). Any thread.
    virtual void Post(ControllerCommand command) = 0;
};
