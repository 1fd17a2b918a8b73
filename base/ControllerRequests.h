#pragma once

// What the control system, the signals and, later, other front ends may ask of the main
// controller. A request is queued and runs on the main thread after the caller's own work
// (a control-system call is answered first); one that does not fit the state by then (a
// start while grabbing) does nothing. Any thread.
class IControllerRequests {
  public:
    virtual ~IControllerRequests() = default;

    // Start grabbing, when stopped and every subsystem is up.
    virtual void RequestStart() = 0;
    // Stop grabbing, when grabbing.
    virtual void RequestStop() = 0;
    // Stop, make the pending camera settings current, start again.
    virtual void RequestApplySettings() = 0;
    // The normal shutdown sequence.
    virtual void RequestQuit() = 0;
};
