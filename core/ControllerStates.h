#pragma once

#include <array>

#include "base/ControllerRequests.h"

// The controller's states. Starting, stopping and applying run to their end inside one call
// on the main thread, so nothing else ever sees them; the configuration dialog runs a loop of
// its own, so requests do arrive while it is open.
enum class ControllerState {
    kDown,         // a subsystem did not come up: nothing can grab
    kStopped,      // everything up, not grabbing
    kGrabbing,     // the camera delivers
    kReopening,    // grabbing, but the camera went away and is being opened again
    kConfiguring,  // torn down while the configuration dialog is open
    kShutDown,     // the shutdown sequence ran; nothing more happens
};

struct StateRule {
    ControllerState state;
    ControllerCommand command;
    Outcome::Code code;    // kAccepted: carry it out; kRefused: say `reason`
    const char* reason;    // "" when accepted
    ControllerState next;  // where a command carried out without a failure leads
};

// One row for every state and command.
extern const std::array<StateRule, 30> kStateRules;

// The row of `command` in `state`.
const StateRule& Rule(ControllerState state, ControllerCommand command);
